// The flash behind the bootloader (prepare, copy, erase, blank check, compare), the boot
// decision by the valid-code mark, Go, and the flash file that outlives the simulator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "sim/uu_codec.h"
#include "tests/sim/host_port.h"

namespace simtest {
namespace {

constexpr std::uint32_t kBankA = 0x1A000000;

// Writes n bytes of value to RAM at 0x10000000 through W (n a multiple of 4, at most 900).
void fillRam(SimTest& t, HostPort& port, std::uint8_t value, std::size_t n) {
  std::vector<std::uint8_t> data(n, value);
  port.send("W 268435456 " + std::to_string(n) + "\r\n");
  ASSERT_EQ(port.read(3), "0\r\n");
  std::string text;
  for (std::size_t at = 0; at < n; at += 45)
    text += sim::uuEncodeLine(data.data() + at, std::min<std::size_t>(45, n - at)) + "\r\n";
  text += std::to_string(static_cast<std::uint32_t>(value) * n) + "\r\n";
  (void)t;
  ASSERT_EQ(port.exchange(text, 4), "OK\r\n");
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

using Flash = SimTest;

TEST_F(Flash, ProgrammingOnlyClearsBits) {
  startSynced();
  expectReply("U 23130\r\n", "0\r\n");
  fillRam(*this, port, 0xF0, 512);
  expectReply("P 0 0 0\r\n", "0\r\n");
  expectReply("C 436207616 268435456 512\r\n", "0\r\n");
  expectReply("M 436207616 268435456 512\r\n", "0\r\n");
  // A second copy over it without an erase: old AND new.
  fillRam(*this, port, 0x3C, 512);
  expectReply("C 436207616 268435456 512\r\n", "9\r\n");  // the copy protected the sector
  expectReply("P 0 0 0\r\n", "0\r\n");
  expectReply("C 436207616 268435456 512\r\n", "0\r\n");
  std::vector<std::uint8_t> flash = device->flash();
  EXPECT_EQ(flash[0], 0x30);
  EXPECT_EQ(flash[511], 0x30);
  EXPECT_EQ(flash[512], 0xFF);
  // The compare finds the first differing word at offset 0.
  expectReply("M 436207616 268435456 512\r\n", "10\r\n0\r\n");
  EXPECT_EQ(device->copiesDone(), 2u);
}

TEST_F(Flash, CompareReportsTheOffsetOfTheFirstDifferingWord) {
  startSynced();
  expectReply("U 23130\r\n", "0\r\n");
  fillRam(*this, port, 0x00, 512);
  expectReply("P 0 0 0\r\n", "0\r\n");
  expectReply("C 436207616 268435456 512\r\n", "0\r\n");
  // Change one byte of RAM at offset 301: the word at 300 differs.
  expectReply("W 268435756 4\r\n", "0\r\n");
  std::uint8_t word[4] = {0, 1, 0, 0};
  expectReply(sim::uuEncodeLine(word, 4) + "\r\n1\r\n", "OK\r\n");
  expectReply("M 436207616 268435456 512\r\n", "10\r\n300\r\n");
  expectReply("M 436207616 268435456 300\r\n", "0\r\n");
}

TEST_F(Flash, EraseAndBlankCheck) {
  startSynced();
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("I 0 14 0\r\n", "0\r\n");
  fillRam(*this, port, 0x00, 512);
  expectReply("P 9 9 0\r\n", "0\r\n");
  // 0x1A020000 + 0x200: sector 9, byte 0x200 into it.
  expectReply("C 436339200 268435456 512\r\n", "0\r\n");
  // Not blank: offset of the first non-blank word from the start of the range, and its value.
  expectReply("I 8 9 0\r\n", "8\r\n66048\r\n0\r\n");
  expectReply("E 9 9 0\r\n", "9\r\n");
  expectReply("P 8 9 0\r\n", "0\r\n");
  expectReply("E 8 9 0\r\n", "0\r\n");
  expectReply("I 8 9 0\r\n", "0\r\n");
  std::vector<std::uint8_t> flash = device->flash();
  EXPECT_EQ(flash[0x20200], 0xFF);
}

TEST_F(Flash, BootDependsOnTheValidCodeMark) {
  {
    sim::Switch blank(blankBootloader());
    std::string error;
    ASSERT_TRUE(blank.start(&error)) << error;
    EXPECT_EQ(blank.mode(), sim::Mode::BootloaderWaiting);
  }
  {
    sim::Switch installed(installedSwitch());
    std::string error;
    ASSERT_TRUE(installed.start(&error)) << error;
    EXPECT_EQ(installed.mode(), sim::Mode::Firmware);
    EXPECT_EQ(installed.uartBaud(), 19200);
  }
  sim::Options held = installedSwitch();
  held.startInBootloader = true;
  sim::Switch forced(held);
  std::string error;
  ASSERT_TRUE(forced.start(&error)) << error;
  EXPECT_EQ(forced.mode(), sim::Mode::BootloaderWaiting);
}

TEST_F(Flash, GoWithoutValidCodeStaysInTheBootloader) {
  startSynced();
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("G 436207616 T\r\n", "0\r\n");
  EXPECT_EQ(port.readFor(100), "");
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  expectReply("?", "Synchronized\r\n");
}

TEST_F(Flash, GoToTheEntryStartsTheFirmwareAndElsewhereCrashes) {
  sim::Options o = installedSwitch();
  o.startInBootloader = true;
  o.dspBanks = 0;
  o.readyMessage = false;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  // The entry is the reset vector with its Thumb bit cleared.
  std::vector<std::uint8_t> flash = device->flash();
  std::uint32_t entry = (flash[4] | flash[5] << 8 | flash[6] << 16 |
                         static_cast<std::uint32_t>(flash[7]) << 24) & ~1u;
  expectReply("G " + std::to_string(entry) + " T\r\n", "0\r\n");
  EXPECT_EQ(device->mode(), sim::Mode::Firmware);
  port.setBaud(19200);
  expectReply("^P$", "^+$");

  // Into the bootloader again, and a jump to an address that is no entry point.
  port.send("^BOOTL$");
  EXPECT_EQ(port.readFor(100), "");  // the firmware answers nothing, and the utility waits
  ASSERT_TRUE(syncBootloader(port));
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("G " + std::to_string(entry + 4) + " T\r\n", "0\r\n");
  EXPECT_EQ(device->mode(), sim::Mode::Off);
  port.setBaud(19200);
  port.send("^P$");
  EXPECT_EQ(port.readFor(150), "");
}

TEST_F(Flash, FlashFileIsWrittenThroughAndReloaded) {
  std::string file = tempPath("flash-file.bin");
  unlink(file.c_str());
  sim::Options o = blankBootloader();
  o.flashFile = file;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  fillRam(*this, port, 0x5A, 512);
  expectReply("P 7 7 1\r\n", "0\r\n");
  // 0x1B00E000: bank B, sector 7.
  expectReply("C 453042176 268435456 512\r\n", "0\r\n");
  // Written through at once, before any stop: the file is bank A then bank B.
  std::vector<std::uint8_t> onDisk = readFile(file);
  ASSERT_EQ(onDisk.size(), 2u * 512 * 1024);
  EXPECT_EQ(onDisk[512 * 1024 + 0xE000], 0x5A);
  EXPECT_EQ(onDisk[512 * 1024 + 0xE000 + 512], 0xFF);
  EXPECT_EQ(onDisk, device->flash());
  port.close();
  device->stop();

  // Same file, no seeding option: a power cycle of the same chip.
  sim::Options again;
  again.flashFile = file;
  start(again);
  EXPECT_EQ(device->flash(), onDisk);
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  unlink(file.c_str());
}

TEST_F(Flash, ErasingSectorZeroMakesTheNextPowerOnStayInTheBootloader) {
  std::string file = tempPath("boot-mark.bin");
  unlink(file.c_str());
  sim::Options o = installedSwitch();
  o.flashFile = file;
  o.startInBootloader = true;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("P 0 0 0\r\n", "0\r\n");
  expectReply("E 0 0 0\r\n", "0\r\n");
  port.close();
  device->stop();
  sim::Options again;
  again.flashFile = file;
  start(again);
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  unlink(file.c_str());
}

TEST_F(Flash, WrongSizedFlashFileIsRefused) {
  std::string file = tempPath("short.bin");
  { std::ofstream(file) << "too short"; }
  sim::Options o;
  o.flashFile = file;
  sim::Switch sw(o);
  std::string error;
  EXPECT_FALSE(sw.start(&error));
  EXPECT_NE(error.find("bytes"), std::string::npos) << error;
  unlink(file.c_str());
}

TEST_F(Flash, EraseTakesItsDataSheetTimeWithWireTiming) {
  sim::Options o = blankBootloader();
  o.wireSpeed = true;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("P 0 3 0\r\n", "0\r\n");
  auto t0 = std::chrono::steady_clock::now();
  expectReply("E 0 3 0\r\n", "0\r\n");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 90) << "an erase takes about 100 ms";
}

}  // namespace
}  // namespace simtest
