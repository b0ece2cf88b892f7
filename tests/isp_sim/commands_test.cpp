// Every simple command against the simulated bootloader, with the replies it refuses with.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "isp/isp_transfer.h"
#include "sim_fixture.h"

namespace {

using isptest::kBankA;
using isptest::kRamBase;
using isptest::SimTest;

using Commands = SimTest;

// Sector 9 of bank A: the second 64 KB sector, well away from the boot code.
constexpr std::uint8_t kSector = 9;
constexpr std::uint32_t kSectorAddress = kBankA + 0x20000u;

TEST_F(Commands, LockedBootloaderRefusesEraseCopyAndGo) {
  startSyncedBootloader();
  // Prepare needs no unlock; Erase, Copy and Go do (CMD_LOCKED).
  EXPECT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  EXPECT_EQ(nxpEraseSectors(kSector, kSector, 0), 1);
  EXPECT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  EXPECT_EQ(nxpCopyRamToFlash(kSectorAddress, kRamBase, 512), 1);
  EXPECT_EQ(nxpGo(kBankA), 1);
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderSynced);
}

TEST_F(Commands, EraseProgramAndCompareASector) {
  startSyncedBootloader();
  ASSERT_EQ(nxpUnlock(), 0);
  // Without Prepare the sector is protected.
  EXPECT_EQ(nxpEraseSectors(kSector, kSector, 0), 1);
  ASSERT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  ASSERT_EQ(nxpEraseSectors(kSector, kSector, 0), 0);

  std::vector<std::uint8_t> page(512);
  for (std::size_t i = 0; i < page.size(); ++i) {
    page[i] = static_cast<std::uint8_t>(i * 7);
  }
  ASSERT_EQ(nxpWriteRam(kRamBase, page.data(), 512), 0);
  // A successful erase took the preparation away again.
  EXPECT_EQ(nxpCopyRamToFlash(kSectorAddress, kRamBase, 512), 1);
  ASSERT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  ASSERT_EQ(nxpCopyRamToFlash(kSectorAddress, kRamBase, 512), 0);
  EXPECT_EQ(nxpCompare(kSectorAddress, kRamBase, 512), 0);

  std::vector<std::uint8_t> back(512);
  ASSERT_EQ(nxpReadMemory(back.data(), kSectorAddress, 512), 512);
  EXPECT_EQ(back, page);
}

TEST_F(Commands, CompareReportsADifferenceAndConsumesItsOffset) {
  startSyncedBootloader();
  std::vector<std::uint8_t> a(64, 0x11);
  std::vector<std::uint8_t> b = a;
  b[40] = 0x12;
  ASSERT_EQ(nxpWriteRam(kRamBase, a.data(), 64), 0);
  ASSERT_EQ(nxpWriteRam(kRamBase + 0x1000, b.data(), 64), 0);
  // > M 268435456 268439552 64    < 10, 40
  EXPECT_EQ(nxpCompare(kRamBase, kRamBase + 0x1000, 64), 2);
  // The offset line is gone: the next command reads its own reply.
  EXPECT_EQ(nxpCompare(kRamBase, kRamBase + 0x1000, 40), 0);
  EXPECT_EQ(nxpCompare(kRamBase, kRamBase + 0x1000, 3), 1) << "count not a word multiple";
}

TEST_F(Commands, CopyRefusesBadArguments) {
  startSyncedBootloader();
  ASSERT_EQ(nxpUnlock(), 0);
  ASSERT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  EXPECT_EQ(nxpCopyRamToFlash(kSectorAddress + 4, kRamBase, 512), 1) << "not a 512-byte boundary";
  ASSERT_EQ(nxpPrepareSectors(kSector, kSector, 0), 0);
  EXPECT_EQ(nxpCopyRamToFlash(kSectorAddress, kRamBase, 100), 1) << "count";
  EXPECT_EQ(nxpPrepareSectors(5, 2, 0), 1) << "end before start";
}

TEST_F(Commands, PartIdentificationGivesTheFlashSizeCode) {
  sim::Options options;
  options.startInBootloader = true;
  options.bank256K = true;
  startSwitch(options);
  ASSERT_EQ(nxpSync(), kSyncBootloader);
  std::uint32_t words[2] = {0, 0};
  // > J   < 0, word 0, word 1
  EXPECT_EQ(nxpReadPartId(words), 0);
  EXPECT_LE(words[0], 0xFFFFu);
  EXPECT_NE(words[0], 0u);
  EXPECT_EQ(words[1] & 0xFFu, 0x44u);
  EXPECT_EQ(nxpUnlock(), 0) << "all three lines were read";
}

TEST_F(Commands, GoStartsTheFirmwareAndTheBootloaderFallsSilent) {
  sim::Options options;
  options.installImage = isptest::installedImage();
  options.startInBootloader = true;
  startSwitch(options);
  ASSERT_EQ(nxpSync(), kSyncBootloader);
  // The firmware's entry is its reset vector, the second word of bank A (Thumb bit set).
  std::uint8_t vectors[8] = {};
  ASSERT_EQ(nxpReadMemory(vectors, kBankA, 8), 8);
  const std::uint32_t entry = (vectors[4] | vectors[5] << 8 | vectors[6] << 16 |
                               static_cast<std::uint32_t>(vectors[7]) << 24) & ~1u;
  EXPECT_EQ(nxpGo(entry), 1) << "locked";
  ASSERT_EQ(nxpUnlock(), 0);
  // > G <entry> T   < 0, then the jump
  EXPECT_EQ(nxpGo(entry), 0);
  EXPECT_EQ(device->mode(), sim::Mode::Firmware);
  EXPECT_EQ(nxpUnlock(), 1) << "no bootloader answers any more";
}

}  // namespace
