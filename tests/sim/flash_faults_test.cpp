// The flash behind the bootloader (prepare, copy, erase, blank check, compare), boot by the
// valid-code mark, Go, the flash file that outlives the simulator, and the injected faults:
// each strikes at its numbered event, and the flash keeps exactly what was written before it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using Flash = SimTest;
using Faults = SimTest;
using O = sim::Options;

TEST_F(Flash, ProgrammingOnlyClearsBitsAndCompareFindsTheFirstDifferingWord) {
  startUnlocked();
  fillRam(0xF0);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"},
       {"M 436207616 268435456 512\r\n", "0\r\n"}});
  fillRam(0x3C);
  // Each copy protects its sector again; a copy over unerased flash ANDs old and new.
  run({{"C 436207616 268435456 512\r\n", "9\r\n"}, {"P 0 0 0\r\n", "0\r\n"},
       {"C 436207616 268435456 512\r\n", "0\r\n"},
       {"M 436207616 268435456 512\r\n", "10\r\n0\r\n"}});
  EXPECT_EQ(bytesAt(device->flash(), {0, 511, 512}), (Bytes{0x30, 0x30, 0xFF}));
  EXPECT_EQ(device->copiesDone(), 2u);
  // RAM now equals the flash in its first 300 bytes only: word 75 is the first difference.
  writeRam(std::vector<std::uint8_t>(300, 0x30));
  run({{"M 436207616 268435456 512\r\n", "10\r\n300\r\n"},
       {"M 436207616 268435456 300\r\n", "0\r\n"},
       {"M 268435456 436207616 304\r\n", "10\r\n300\r\n"}});
}

TEST_F(Flash, EraseAndBlankCheck) {
  startUnlocked();
  expectReply("I 0 14 0\r\n", "0\r\n");
  fillRam(0x00);
  // 0x1A020200: sector 9, 0x200 into it. Not blank: the offset of the first non-blank word
  // from the start of the range (sector 8 is 64 KB), then its value.
  run({{"P 9 9 0\r\n", "0\r\n"}, {"C 436339200 268435456 512\r\n", "0\r\n"},
       {"I 8 9 0\r\n", "8\r\n66048\r\n0\r\n"}, {"I 9 9 1\r\n", "0\r\n"}, {"E 9 9 0\r\n", "9\r\n"},
       {"P 8 9 0\r\n", "0\r\n"}, {"E 8 9 0\r\n", "0\r\n"}, {"I 8 9 0\r\n", "0\r\n"}});
  EXPECT_EQ(device->flash()[0x20200], 0xFF);
}

TEST_F(Flash, GoRunsValidCodeOnlyAtItsEntry) {
  // No valid code: the chip resets into its bootloader and waits for '?'.
  startUnlocked();
  expectReply("G 436207616 T\r\n", "0\r\n");
  EXPECT_EQ(port.readFor(100), "");
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  expectReply("?", "Synchronized\r\n");
  startUnlocked(restartable());
  // The entry is the reset vector with its Thumb bit cleared.
  std::vector<std::uint8_t> f = device->flash();
  std::uint32_t entry = (f[4] | f[5] << 8 | f[6] << 16 | std::uint32_t{f[7]} << 24) & ~1u;
  expectReply("G " + std::to_string(entry) + " T\r\n", "0\r\n");
  EXPECT_EQ(device->mode(), sim::Mode::Firmware);
  port.setBaud(19200);
  expectReply("^P$", "^+$");
  // Anywhere else the jump crashes the chip: silence at every rate.
  startUnlocked(restartable());
  expectReply("G " + std::to_string(entry + 4) + " T\r\n", "0\r\n");
  EXPECT_EQ(device->mode(), sim::Mode::Off);
  port.setBaud(19200);
  expectQuiet("^P$");
}

TEST_F(Flash, FlashFileIsWrittenThroughAndBootIsByTheValidCodeMark) {
  std::string file = tempPath("flash-file.bin");
  unlink(file.c_str());
  startUnlocked(with(restartable(), [&](O& o) { o.flashFile = file; }));
  fillRam(0x5A);
  // 0x1B00E000: bank B, sector 7. The file is bank A, then bank B, written at once.
  run({{"P 7 7 1\r\n", "0\r\n"}, {"C 453042176 268435456 512\r\n", "0\r\n"}});
  std::vector<std::uint8_t> onDisk = readFile(file);
  ASSERT_EQ(onDisk.size(), 2u * 512 * 1024);
  EXPECT_EQ(bytesAt(onDisk, {0x8E000, 0x8E200}), (Bytes{0x5A, 0xFF}));
  EXPECT_EQ(onDisk, device->flash());
  // Power cycles of the same chip (no seeding option): the firmware runs while its mark is
  // there, and the bootloader waits once sector 0 is erased.
  O again = with(restartable(), [&](O& o) { o.installImage.clear(), o.flashFile = file; });
  again.startInBootloader = false;
  start(again, 19200);
  EXPECT_EQ(device->flash(), onDisk);
  expectReply("^P$", "^+$");
  expectQuiet("^BOOTL$", 100);
  ASSERT_TRUE(syncBootloader(port));
  run({{"U 23130\r\n", "0\r\n"}, {"P 0 0 0\r\n", "0\r\n"}, {"E 0 0 0\r\n", "0\r\n"}});
  TearDown();
  onDisk = readFile(file);
  EXPECT_EQ(bytesAt(onDisk, {0, 0x8E000}), (Bytes{0xFF, 0x5A}));
  start(again);
  EXPECT_EQ(device->flash(), onDisk);
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  TearDown();
  { std::ofstream(file) << "too short"; }
  sim::Switch wrongSize(again);
  std::string error;
  EXPECT_FALSE(wrongSize.start(&error));
  EXPECT_NE(error.find("bytes"), std::string::npos) << error;
  unlink(file.c_str());
}

TEST_F(Flash, EraseTakesItsDataSheetTimeAtWireSpeed) {
  startUnlocked(with(blankBootloader(), [](O& o) { o.wireSpeed = true; }));
  expectReply("P 0 3 0\r\n", "0\r\n");
  auto t0 = std::chrono::steady_clock::now();
  expectReply("E 0 3 0\r\n", "0\r\n");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(90));
}

TEST_F(Faults, PowerLossAfterACopyKeepsWhatWasWritten) {
  std::string file = tempPath("power-loss.bin");
  unlink(file.c_str());
  startUnlocked(
      with(blankBootloader(), [&](O& o) { o.flashFile = file, o.faults.powerLossAfterCopy = 2; }));
  fillRam(0x11);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"}});
  fillRam(0x22);
  // The second copy is done and answered, then the power goes: silence from then on.
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436208128 268435456 512\r\n", "0\r\n"}});
  expectQuiet("M 436208128 268435456 512\r\nK\r\n?", 200);
  EXPECT_TRUE(device->poweredOff());
  EXPECT_EQ(device->mode(), sim::Mode::Off);
  std::vector<std::uint8_t> flash = device->flash();
  EXPECT_EQ(bytesAt(flash, {0, 512, 1024}), (Bytes{0x11, 0x22, 0xFF}));
  EXPECT_EQ(device->copiesDone(), 2u);
  EXPECT_EQ(readFile(file), flash);
  unlink(file.c_str());
}

TEST_F(Faults, PowerLossAfterNBytes) {
  start(with(blankBootloader(), [](O& o) { o.faults.powerLossAfterBytes = 16; }));
  // "?" and "Synchronized\r\n" are 15 bytes; the 16th is the last the chip takes.
  run({{"?", "Synchronized\r\n"}, {"Synchronized\r\n", "Synchronized\r\nOK\r\n"}});
  expectQuiet("O\r\n");
  EXPECT_TRUE(device->poweredOff());
}

TEST_F(Faults, PowerLossBetweenTableEraseAndItsWrite) {
  startUnlocked(with(restartable(), [](O& o) { o.faults.powerLossBeforeTableWrite = true; }));
  // Erasing other sectors is harmless; the table's erase is answered, then the power goes.
  run({{"P 0 9 0\r\n", "0\r\n"}, {"E 0 9 0\r\n", "0\r\n"}, {"P 14 14 0\r\n", "0\r\n"},
       {"E 14 14 0\r\n", "0\r\n"}});
  expectQuiet("W 268435456 4\r\n");
  EXPECT_TRUE(device->poweredOff());
  EXPECT_EQ(bytesAt(device->flash(), {0x70000, 0x7FE00, 0x7FE28}), (Bytes{0xFF, 0xFF, 0xFF}));
}

TEST_F(Faults, CorruptedWriteLineGetsResendThenTheBlockIsAccepted) {
  startSynced(with(blankBootloader(), [](O& o) { o.faults.corruptWriteLine = 2; }));
  std::string block = uuBlocks(std::vector<std::uint8_t>(88, 0x41))[0];
  run({{"W 268435456 88\r\n", "0\r\n"}, {block.c_str(), "RESEND\r\n"}, {block.c_str(), "OK\r\n"},
       {"R 268435456 8\r\n", "0\r\n(04%!04%!04$`\r\n520\r\n"}, {"OK\r\n", ""}});
}

TEST_F(Faults, WeakCellIsFoundByTheCompare) {
  startUnlocked(with(blankBootloader(), [](O& o) { o.faults.weakCellCopy = 1; }));
  fillRam(0xFE);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"},
       {"M 436207616 268435456 512\r\n", "10\r\n0\r\n"}});
  EXPECT_EQ(bytesAt(device->flash(), {0, 1}), (Bytes{0xFF, 0xFE})) << "bit 0 of byte 0 stayed set";
}

TEST_F(Faults, RefusedCommandsAreAnsweredWithTheirCodeAndNotActedOn) {
  // The second and third Prepare are refused with BUSY; the first and the fourth are not.
  startUnlocked(with(blankBootloader(), [](O& o) {
    o.faults.refuseLetter = 'P', o.faults.refuseFrom = 2, o.faults.refuseTimes = 2;
    o.faults.refuseCode = 11;
  }));
  fillRam(0x00);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"},
       {"P 1 1 0\r\n", "11\r\n"}, {"C 436215808 268435456 512\r\n", "9\r\n"},
       {"P 1 1 0\r\n", "11\r\n"}, {"P 1 1 0\r\n", "0\r\n"},
       {"C 436215808 268435456 512\r\n", "0\r\n"}});
  EXPECT_EQ(bytesAt(device->flash(), {0, 0x2000, 0x4000}), (Bytes{0x00, 0x00, 0xFF}));
}

TEST_F(Faults, DroppedAndDelayedReplyLines) {
  // The fifth reply line: Synchronized, OK, OK and A 0's "0" come before it.
  startSynced(with(blankBootloader(), [](O& o) { o.faults.dropReplyLine = 5; }));
  expectReply("J\r\n", "2684471344\r\n0\r\n");
  EXPECT_EQ(port.readFor(100), "");
  startSynced(with(blankBootloader(), [](O& o) { o.faults.delayReplyLine = 5; }));
  port.send("K\r\n");
  EXPECT_EQ(port.read(3, 300), "") << "nothing within 300 ms";
  EXPECT_EQ(port.read(10, 3000), "0\r\n1\r\n13\r\n");
}

TEST_F(Faults, ConsoleNoiseBetweenFramesLooksLikeNoText) {
  start(with(installedSwitch(), [](O& o) { o.faults.consoleNoise = true; }), 19200);
  port.send("^P$");
  std::string got = port.read(1 << 20, 1000, "^+$");
  ASSERT_NE(got.find("^+$"), std::string::npos);
  std::string before = got.substr(0, got.find("^+$"));
  ASSERT_FALSE(before.empty());
  for (unsigned char c : before) EXPECT_TRUE((c < 0x20 && c != '\r') || c >= 0x80) << int{c};
}

TEST_F(Faults, PortVanishesAfterACopy) {
  std::string link = tempPath("vanish-link");
  startUnlocked(
      with(blankBootloader(), [&](O& o) { o.link = link, o.faults.vanishAfterCopy = 1; }));
  ASSERT_TRUE(port.open(link, 115200));  // the same chip through its link
  fillRam(0x00);
  expectReply("P 0 0 0\r\n", "0\r\n");
  expectQuiet("C 436207616 268435456 512\r\n", 200);
  // The other end is gone: the host sees a hang-up, and the link is removed.
  pollfd p{port.fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_EQ(device->flash()[0], 0x00) << "the copy itself was done";
}

}  // namespace
}  // namespace simtest
