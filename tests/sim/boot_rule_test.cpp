// What the chip starts after power-on or the bootloader's Go: the ROM runs whatever has the
// valid vector sum in sector 0's first page; code that carries the mark but is damaged (its
// firmware region fails its own CRC-32, or its vectors point nowhere) crashes at once and the
// switch is silent, until a power cycle with the ISP pin held reaches the bootloader.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using BootRule = SimTest;
using O = sim::Options;

// The first demo image's entry, the reset vector with its Thumb bit cleared.
constexpr const char* kGoEntry = "G 436263100 T\r\n";

// The same chip powered up again from its flash file, the ISP pin held or not.
O powerCycle(const std::string& file, bool pinHeld) {
  return with(restartable(), [&](O& o) {
    o.installImage.clear(), o.flashFile = file, o.startInBootloader = pinHeld;
  });
}

TEST_F(BootRule, DamagedFirmwareWithAValidVectorSumIsSilentUntilThePinIsHeld) {
  std::string file = tempPath("damaged-boot.bin");
  startUnlocked(with(restartable(), [&](O& o) { o.flashFile = file; }));
  // Sector 5 erased: the vector table in sector 0 still has its mark, the region's CRC fails.
  run({{"P 5 5 0\r\n", "0\r\n"}, {"E 5 5 0\r\n", "0\r\n"}});
  expectReply(kGoEntry, "0\r\n");
  EXPECT_EQ(device->mode(), sim::Mode::Off) << "the Go starts the damaged code";
  port.setBaud(19200);
  expectQuiet("\x1b^P$*\r^V$");

  start(powerCycle(file, false), 19200);
  EXPECT_EQ(device->mode(), sim::Mode::Off);
  expectQuiet("\x1b^P$*\r^V$");
  port.setBaud(115200);
  expectQuiet("\x1b^P$?\r");

  // The held ISP pin still reaches the bootloader, which can repair the sector.
  startUnlocked(powerCycle(file, true));
  expectReply("I 5 5 0\r\n", "0\r\n");
  unlink(file.c_str());
}

TEST_F(BootRule, AnAllZeroHeadPageHasTheMarkAndCrashes) {
  std::string file = tempPath("zero-head.bin");
  startUnlocked(with(restartable(), [&](O& o) { o.flashFile = file; }));
  fillRam(0x00);  // programmed over the vector table: old AND 0 is 0
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"}});
  start(powerCycle(file, false), 19200);
  EXPECT_EQ(device->mode(), sim::Mode::Off);
  expectQuiet("\x1b^P$*\r");
  unlink(file.c_str());
}

TEST_F(BootRule, SoundFirmwareRunsAndAnErasedHeadPageLeavesTheBootloader) {
  std::string file = tempPath("sound-boot.bin");
  startUnlocked(with(restartable(), [&](O& o) { o.flashFile = file; }));
  // Changing the table's check CRC does not touch the firmware: it still starts.
  start(with(installedSwitch(), [&](O& o) { o.flashFile = file, o.badCheckCrc = true; }), 19200);
  expectReply("^P$", "^+$");
  start(powerCycle(file, true));
  ASSERT_TRUE(syncBootloader(port));
  run({{"U 23130\r\n", "0\r\n"}, {"P 0 0 0\r\n", "0\r\n"}, {"E 0 0 0\r\n", "0\r\n"}});
  start(powerCycle(file, false));
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  expectReply("?", "Synchronized\r\n");
  unlink(file.c_str());
}

}  // namespace
}  // namespace simtest
