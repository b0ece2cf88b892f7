// Write to RAM and Read Memory against the simulated bootloader, and the one damaged read
// that only a scripted peer can produce.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "isp/isp_transfer.h"
#include "sim_fixture.h"

namespace {

using isptest::kRamBase;
using isptest::PtyPeer;
using isptest::SimTest;

using Transfer = SimTest;

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> bytes(n);
  std::uint32_t x = seed * 2654435761u + 1u;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

TEST_F(Transfer, BlocksOfEveryShapeComeBackIntact) {
  startSyncedBootloader();
  // 0: nothing; 4: one short line; 48: a full line and a short one; 900: one full block;
  // 904: a full block and a short one; 4096: four full blocks and a short one.
  for (const std::uint32_t count : {0u, 4u, 48u, 900u, 904u, 4096u}) {
    SCOPED_TRACE(count);
    const std::vector<std::uint8_t> sent = pattern(count, count);
    ASSERT_EQ(nxpWriteRam(kRamBase, sent.data(), count), 0);
    std::vector<std::uint8_t> back(count + 1, 0xA5);
    ASSERT_EQ(nxpReadMemory(back.data(), kRamBase, count), static_cast<int>(count));
    EXPECT_EQ(back[count], 0xA5) << "read wrote past the count";
    back.resize(count);
    EXPECT_EQ(back, sent);
  }
}

TEST_F(Transfer, BlocksLandAtTheirOwnAddresses) {
  startSyncedBootloader();
  const std::vector<std::uint8_t> first = pattern(904, 1);
  const std::vector<std::uint8_t> second = pattern(8, 2);
  ASSERT_EQ(nxpWriteRam(kRamBase, first.data(), 904), 0);
  ASSERT_EQ(nxpWriteRam(kRamBase + 900, second.data(), 8), 0);  // overlaps the tail
  std::vector<std::uint8_t> back(908);
  ASSERT_EQ(nxpReadMemory(back.data(), kRamBase, 908), 908);
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + 900, back.begin()));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), back.begin() + 900));
}

TEST_F(Transfer, CorruptedLineIsAnsweredResendAndTheBlockSentAgain) {
  // > W 268435456 900, < 0, > 20 lines (the second damaged on the way), > checksum
  // < RESEND, > the same 20 lines and checksum, < OK
  sim::Options options;
  options.startInBootloader = true;
  options.faults.corruptWriteLine = 2;
  startSwitch(options);
  ASSERT_EQ(nxpSync(), kSyncBootloader);
  const std::vector<std::uint8_t> sent = pattern(900, 7);
  ASSERT_EQ(nxpWriteRam(kRamBase, sent.data(), 900), 0);
  // Had the resend been skipped, the bootloader would take this command as block data.
  std::vector<std::uint8_t> back(900);
  ASSERT_EQ(nxpReadMemory(back.data(), kRamBase, 900), 900);
  EXPECT_EQ(back, sent);
  EXPECT_EQ(nxpUnlock(), 0) << "still in step with the bootloader";
}

TEST_F(Transfer, RejectedWriteCommandIsCodeTwo) {
  startSyncedBootloader();
  const std::vector<std::uint8_t> bytes = pattern(8, 3);
  EXPECT_EQ(nxpWriteRam(kRamBase + 2, bytes.data(), 8), 2) << "not word-aligned";
  EXPECT_EQ(nxpWriteRam(0x00000000u, bytes.data(), 8), 2) << "not RAM";
  // Nothing was sent after the rejection: the next command is answered normally.
  ASSERT_EQ(nxpWriteRam(kRamBase, bytes.data(), 8), 0);
}

TEST_F(Transfer, RejectedReadCommandReportsTheBytesAlreadyReceived) {
  startSyncedBootloader();
  std::vector<std::uint8_t> back(8);
  EXPECT_EQ(nxpReadMemory(back.data(), kRamBase + 2, 8), 0) << "not word-aligned";
  // The read runs off the end of the 32 KB local SRAM after its first block.
  std::vector<std::uint8_t> tail(1800);
  EXPECT_EQ(nxpReadMemory(tail.data(), kRamBase + 0x8000 - 900, 1800), -900);
}

TEST(TransferScripted, ChecksumMismatchFailsAfterAcknowledging) {
  // A correct chip never sends a wrong checksum, so a scripted peer plays it:
  // > R 268435456 4     < 0, $$C16>```, 277 (one too many)     > OK
  PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  isptest::mapComPort(isptest::kSimComPort, peer.slavePath());
  ASSERT_EQ(comOpen(&devicePort, isptest::kSimComPort, 115200), 1);
  currentBaud = 115200;
  peer.runScript({{"R 268435456 4\r\n", "0\r\n$$C16>```\r\n277\r\n"}});
  std::uint8_t back[4] = {};
  EXPECT_EQ(nxpReadMemory(back, kRamBase, 4), 0);
  peer.stopScript();
  EXPECT_EQ(peer.transcript(), "R 268435456 4\r\nOK\r\n");
  comClose(&devicePort);
  currentBaud = 0;
}

}  // namespace
