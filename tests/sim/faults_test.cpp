// Injected faults: each strikes at its numbered event, and the flash keeps exactly what was
// written before it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using Faults = SimTest;

TEST_F(Faults, PowerLossAfterACopyKeepsWhatWasWritten) {
  std::string file = tempPath("power-loss.bin");
  unlink(file.c_str());
  sim::Options o = blankBootloader();
  o.flashFile = file;
  o.faults.powerLossAfterCopy = 2;
  startUnlocked(o);
  fillRam(0x11);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"}});
  fillRam(0x22);
  // The second copy is done and answered, then the power goes: silence from then on.
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436208128 268435456 512\r\n", "0\r\n"}});
  port.send("M 436208128 268435456 512\r\nK\r\n?");
  EXPECT_EQ(port.readFor(200), "");
  EXPECT_TRUE(device->poweredOff());
  EXPECT_EQ(device->mode(), sim::Mode::Off);
  std::vector<std::uint8_t> flash = device->flash();
  EXPECT_EQ(flash[0], 0x11);
  EXPECT_EQ(flash[512], 0x22);
  EXPECT_EQ(flash[1024], 0xFF);
  EXPECT_EQ(device->copiesDone(), 2u);
  EXPECT_EQ(readFile(file), flash);
  unlink(file.c_str());
}

TEST_F(Faults, PowerLossAfterNBytes) {
  sim::Options o = blankBootloader();
  o.faults.powerLossAfterBytes = 16;  // "?" and "Synchronized\r\n" are 15
  start(o);
  run({{"?", "Synchronized\r\n"}, {"Synchronized\r\n", "Synchronized\r\nOK\r\n"}});
  port.send("O\r\n");
  EXPECT_EQ(port.readFor(150), "");
  EXPECT_TRUE(device->poweredOff());
}

TEST_F(Faults, PowerLossBetweenTableEraseAndItsWrite) {
  sim::Options o = installedSwitch();
  o.startInBootloader = true;
  o.faults.powerLossBeforeTableWrite = true;
  startSynced(o);
  // Erasing other sectors is harmless; the table's erase is answered, then the power goes.
  run({{"U 23130\r\n", "0\r\n"}, {"P 0 9 0\r\n", "0\r\n"}, {"E 0 9 0\r\n", "0\r\n"},
       {"P 14 14 0\r\n", "0\r\n"}, {"E 14 14 0\r\n", "0\r\n"}});
  port.send("W 268435456 4\r\n");
  EXPECT_EQ(port.readFor(150), "");
  EXPECT_TRUE(device->poweredOff());
  EXPECT_EQ(device->flash()[0x7FE00], 0xFF) << "the table's sector was erased";
  EXPECT_EQ(device->flash()[0x7FE28], 0xFF);
}

TEST_F(Faults, CorruptedWriteLineGetsResendThenTheBlockIsAccepted) {
  sim::Options o = blankBootloader();
  o.faults.corruptWriteLine = 2;
  startSynced(o);
  std::vector<std::uint8_t> data(88, 0x41);
  std::string block = uuBlocks(data)[0];
  run({{"W 268435456 88\r\n", "0\r\n"}, {block.c_str(), "RESEND\r\n"}, {block.c_str(), "OK\r\n"},
       {"R 268435456 8\r\n", "0\r\n(04%!04%!04$`\r\n520\r\n"}, {"OK\r\n", ""}});
}

TEST_F(Faults, WeakCellIsFoundByTheCompare) {
  sim::Options o = blankBootloader();
  o.faults.weakCellCopy = 1;
  startUnlocked(o);
  fillRam(0xFE);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"},
       {"M 436207616 268435456 512\r\n", "10\r\n0\r\n"}});
  EXPECT_EQ(device->flash()[0], 0xFF) << "bit 0 of the first byte stayed set";
  EXPECT_EQ(device->flash()[1], 0xFE);
}

TEST_F(Faults, DroppedAndDelayedReplyLines) {
  sim::Options o = blankBootloader();
  o.faults.dropReplyLine = 5;  // Synchronized, OK, OK, "0" of A 0, then J's return code
  startSynced(o);
  expectReply("J\r\n", "2684471344\r\n0\r\n");
  EXPECT_EQ(port.readFor(100), "");
  TearDown();
  o.faults.dropReplyLine = -1;
  o.faults.delayReplyLine = 5;
  startSynced(o);
  port.send("K\r\n");
  EXPECT_EQ(port.read(3, 300), "") << "nothing within 300 ms";
  EXPECT_EQ(port.read(10, 3000), "0\r\n1\r\n13\r\n");
}

TEST_F(Faults, ConsoleNoiseBetweenFramesLooksLikeNoText) {
  sim::Options o = installedSwitch();
  o.faults.consoleNoise = true;
  start(o, 19200);
  port.send("^P$");
  std::string got = port.readUntil("^+$", 1000);
  ASSERT_NE(got.find("^+$"), std::string::npos);
  std::string before = got.substr(0, got.find("^+$"));
  ASSERT_FALSE(before.empty());
  for (unsigned char c : before) EXPECT_TRUE((c < 0x20 && c != '\r') || c >= 0x80) << int{c};
}

TEST_F(Faults, PortVanishesAfterACopy) {
  std::string link = tempPath("vanish-link");
  sim::Options o = blankBootloader();
  o.link = link;
  o.faults.vanishAfterCopy = 1;
  start(o);
  ASSERT_TRUE(port.open(link, 115200));
  ASSERT_TRUE(syncBootloader(port));
  expectReply("U 23130\r\n", "0\r\n");
  fillRam(0x00);
  expectReply("P 0 0 0\r\n", "0\r\n");
  port.send("C 436207616 268435456 512\r\n");
  // The other end is gone: reads end with a hang-up, and the link is removed.
  EXPECT_EQ(port.readFor(200), "");
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  char c;
  EXPECT_LE(::read(port.fd(), &c, 1), 0);
  EXPECT_EQ(device->flash()[0], 0x00) << "the copy itself was done";
}

}  // namespace
}  // namespace simtest
