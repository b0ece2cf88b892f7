// The flash behind the bootloader (prepare, copy, erase, blank check, compare), the boot
// decision by the valid-code mark, Go, and the flash file that outlives the simulator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using Flash = SimTest;

TEST_F(Flash, ProgrammingOnlyClearsBitsAndCompareFindsTheFirstDifferingWord) {
  startUnlocked();
  fillRam(0xF0);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"},
       {"M 436207616 268435456 512\r\n", "0\r\n"}});
  fillRam(0x3C);
  // Each copy protects its sector again; a copy over unerased flash ANDs old and new.
  run({{"C 436207616 268435456 512\r\n", "9\r\n"}, {"P 0 0 0\r\n", "0\r\n"},
       {"C 436207616 268435456 512\r\n", "0\r\n"}, {"M 436207616 268435456 512\r\n", "10\r\n0\r\n"}});
  std::vector<std::uint8_t> flash = device->flash();
  EXPECT_EQ(flash[0], 0x30);
  EXPECT_EQ(flash[511], 0x30);
  EXPECT_EQ(flash[512], 0xFF);
  EXPECT_EQ(device->copiesDone(), 2u);
  // RAM now equals the flash in its first 300 bytes only (word 75 has the first difference).
  writeRam(std::vector<std::uint8_t>(300, 0x30));
  run({{"M 436207616 268435456 512\r\n", "10\r\n300\r\n"}, {"M 436207616 268435456 300\r\n", "0\r\n"},
       {"M 268435456 436207616 304\r\n", "10\r\n300\r\n"}});
}

TEST_F(Flash, EraseAndBlankCheck) {
  startUnlocked();
  run({{"I 0 14 0\r\n", "0\r\n"}});
  fillRam(0x00);
  // 0x1A020200: sector 9, 0x200 into it. Not blank: the offset of the first non-blank word
  // from the start of the range (sector 8 is 64 KB), then its value.
  run({{"P 9 9 0\r\n", "0\r\n"}, {"C 436339200 268435456 512\r\n", "0\r\n"},
       {"I 8 9 0\r\n", "8\r\n66048\r\n0\r\n"}, {"I 9 9 1\r\n", "0\r\n"},
       {"E 9 9 0\r\n", "9\r\n"}, {"P 8 9 0\r\n", "0\r\n"}, {"E 8 9 0\r\n", "0\r\n"},
       {"I 8 9 0\r\n", "0\r\n"}});
  EXPECT_EQ(device->flash()[0x20200], 0xFF);
}

TEST_F(Flash, BootDependsOnTheValidCodeMark) {
  sim::Options held = installedSwitch();
  held.startInBootloader = true;
  for (auto [options, mode] : {std::pair{blankBootloader(), sim::Mode::BootloaderWaiting},
                               std::pair{installedSwitch(), sim::Mode::Firmware},
                               std::pair{held, sim::Mode::BootloaderWaiting}}) {
    sim::Switch sw(options);
    std::string error;
    ASSERT_TRUE(sw.start(&error)) << error;
    EXPECT_EQ(sw.mode(), mode) << options.installImage << options.startInBootloader;
  }
}

TEST_F(Flash, GoRunsValidCodeOnlyAtItsEntry) {
  startSynced();
  // No valid code: the chip resets into its bootloader and waits for '?'.
  run({{"U 23130\r\n", "0\r\n"}, {"G 436207616 T\r\n", "0\r\n"}});
  EXPECT_EQ(port.readFor(100), "");
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  expectReply("?", "Synchronized\r\n");
  TearDown();

  sim::Options o = restartable();
  startUnlocked(o);
  // The entry is the reset vector with its Thumb bit cleared.
  std::vector<std::uint8_t> f = device->flash();
  std::uint32_t entry = (f[4] | f[5] << 8 | f[6] << 16 | std::uint32_t{f[7]} << 24) & ~1u;
  expectReply("G " + std::to_string(entry) + " T\r\n", "0\r\n");
  EXPECT_EQ(device->mode(), sim::Mode::Firmware);
  port.setBaud(19200);
  run({{"^P$", "^+$"}, {"^BOOTL$", ""}});
  EXPECT_EQ(port.readFor(100), "");
  ASSERT_TRUE(syncBootloader(port));
  // Anywhere else the jump crashes the chip: silence at every rate.
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("G " + std::to_string(entry + 4) + " T\r\n", "0\r\n");
  EXPECT_EQ(device->mode(), sim::Mode::Off);
  port.setBaud(19200);
  port.send("^P$");
  EXPECT_EQ(port.readFor(150), "");
}

TEST_F(Flash, FlashFileIsWrittenThroughAndIsTheSameChipNextTime) {
  std::string file = tempPath("flash-file.bin");
  unlink(file.c_str());
  sim::Options o = installedSwitch();
  o.flashFile = file;
  o.startInBootloader = true;
  startUnlocked(o);
  fillRam(0x5A);
  // 0x1B00E000: bank B, sector 7. The file is bank A, then bank B, written at once.
  run({{"P 7 7 1\r\n", "0\r\n"}, {"C 453042176 268435456 512\r\n", "0\r\n"}});
  std::vector<std::uint8_t> onDisk = readFile(file);
  ASSERT_EQ(onDisk.size(), 2u * 512 * 1024);
  EXPECT_EQ(onDisk[512 * 1024 + 0xE000], 0x5A);
  EXPECT_EQ(onDisk[512 * 1024 + 0xE000 + 512], 0xFF);
  EXPECT_EQ(onDisk, device->flash());
  // Erasing sector 0 removes the valid-code mark: the next power-on stays in the bootloader.
  run({{"P 0 0 0\r\n", "0\r\n"}, {"E 0 0 0\r\n", "0\r\n"}});
  TearDown();
  onDisk = readFile(file);
  EXPECT_EQ(onDisk[0], 0xFF);
  EXPECT_EQ(onDisk[512 * 1024 + 0xE000], 0x5A);
  sim::Options again;  // no seeding option: a power cycle of the same chip
  again.flashFile = file;
  start(again);
  EXPECT_EQ(device->flash(), onDisk);
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  unlink(file.c_str());

  { std::ofstream(file) << "too short"; }
  sim::Switch wrongSize(again);
  std::string error;
  EXPECT_FALSE(wrongSize.start(&error));
  EXPECT_NE(error.find("bytes"), std::string::npos) << error;
  unlink(file.c_str());
}

TEST_F(Flash, EraseTakesItsDataSheetTimeAtWireSpeed) {
  sim::Options o = blankBootloader();
  o.wireSpeed = true;
  startUnlocked(o);
  run({{"P 0 3 0\r\n", "0\r\n"}});
  auto t0 = std::chrono::steady_clock::now();
  expectReply("E 0 3 0\r\n", "0\r\n");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(90));
}

}  // namespace
}  // namespace simtest
