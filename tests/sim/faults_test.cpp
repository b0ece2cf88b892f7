// Injected faults: each strikes at its numbered event, and the flash keeps exactly what was
// written before it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "sim/uu_codec.h"
#include "tests/sim/host_port.h"

namespace simtest {
namespace {

// Fills 512 bytes of RAM at 0x10000000 with value.
void fill512(HostPort& port, std::uint8_t value) {
  std::vector<std::uint8_t> data(512, value);
  port.send("W 268435456 512\r\n");
  ASSERT_EQ(port.read(3), "0\r\n");
  std::string text;
  for (std::size_t at = 0; at < 512; at += 45)
    text += sim::uuEncodeLine(data.data() + at, std::min<std::size_t>(45, 512 - at)) + "\r\n";
  text += std::to_string(512u * value) + "\r\n";
  ASSERT_EQ(port.exchange(text, 4), "OK\r\n");
}

using Faults = SimTest;

TEST_F(Faults, PowerLossAfterACopyKeepsWhatWasWritten) {
  std::string file = tempPath("power-loss.bin");
  unlink(file.c_str());
  sim::Options o = blankBootloader();
  o.flashFile = file;
  o.faults.powerLossAfterCopy = 2;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  fill512(port, 0x11);
  expectReply("P 0 0 0\r\n", "0\r\n");
  expectReply("C 436207616 268435456 512\r\n", "0\r\n");
  fill512(port, 0x22);
  expectReply("P 0 0 0\r\n", "0\r\n");
  // The second copy is done and answered, then the power goes: silence from then on.
  expectReply("C 436208128 268435456 512\r\n", "0\r\n");
  port.send("M 436208128 268435456 512\r\n");
  EXPECT_EQ(port.readFor(200), "");
  EXPECT_TRUE(device->poweredOff());
  EXPECT_EQ(device->mode(), sim::Mode::Off);
  port.send("K\r\n?");
  EXPECT_EQ(port.readFor(150), "");
  std::vector<std::uint8_t> flash = device->flash();
  EXPECT_EQ(flash[0], 0x11);
  EXPECT_EQ(flash[512], 0x22);
  EXPECT_EQ(flash[1024], 0xFF);
  EXPECT_EQ(device->copiesDone(), 2u);
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(onDisk, flash);
  unlink(file.c_str());
}

TEST_F(Faults, PowerLossAfterNBytes) {
  sim::Options o = blankBootloader();
  o.faults.powerLossAfterBytes = 16;  // "?" + "Synchronized\r\n" is 15 bytes
  start(o);
  expectReply("?", "Synchronized\r\n");
  expectReply("Synchronized\r\n", "Synchronized\r\nOK\r\n");
  port.send("O\r\n");
  EXPECT_EQ(port.readFor(150), "");
  EXPECT_TRUE(device->poweredOff());
}

TEST_F(Faults, PowerLossBetweenTableEraseAndItsWrite) {
  sim::Options o = installedSwitch();
  o.startInBootloader = true;
  o.faults.powerLossBeforeTableWrite = true;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  // Erasing other sectors is harmless.
  expectReply("P 0 9 0\r\n", "0\r\n");
  expectReply("E 0 9 0\r\n", "0\r\n");
  expectReply("P 14 14 0\r\n", "0\r\n");
  // The erase is answered; the power goes before anything is written to the sector.
  expectReply("E 14 14 0\r\n", "0\r\n");
  port.send("W 268435456 4\r\n");
  EXPECT_EQ(port.readFor(150), "");
  EXPECT_TRUE(device->poweredOff());
  std::vector<std::uint8_t> flash = device->flash();
  EXPECT_EQ(flash[0x7FE00], 0xFF) << "the table's sector was erased";
  EXPECT_EQ(flash[0x7FE28], 0xFF);
}

TEST_F(Faults, CorruptedWriteLineGetsResendThenTheBlockIsAccepted) {
  sim::Options o = blankBootloader();
  o.faults.corruptWriteLine = 2;
  startSynced(o);
  std::vector<std::uint8_t> data(88, 0x41);
  expectReply("W 268435456 88\r\n", "0\r\n");
  std::string block = sim::uuEncodeLine(data.data(), 45) + "\r\n" + sim::uuEncodeLine(data.data() + 45, 43) +
          "\r\n" + std::to_string(88 * 0x41) + "\r\n";
  expectReply(block, "RESEND\r\n");
  expectReply(block, "OK\r\n");
  expectReply("R 268435456 8\r\n", "0\r\n" + sim::uuEncodeLine(data.data(), 8) + "\r\n520\r\n");
  expectReply("OK\r\n", "");
}

TEST_F(Faults, WeakCellIsFoundByTheCompare) {
  sim::Options o = blankBootloader();
  o.faults.weakCellCopy = 1;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  fill512(port, 0xFE);
  expectReply("P 0 0 0\r\n", "0\r\n");
  expectReply("C 436207616 268435456 512\r\n", "0\r\n");
  expectReply("M 436207616 268435456 512\r\n", "10\r\n0\r\n");
  EXPECT_EQ(device->flash()[0], 0xFF) << "bit 0 of the first byte stayed set";
  EXPECT_EQ(device->flash()[1], 0xFE);
}

TEST_F(Faults, DroppedReplyLine) {
  sim::Options o = blankBootloader();
  o.faults.dropReplyLine = 5;  // Synchronized, OK, OK, "0" of A 0, then the J's return code
  startSynced(o);
  expectReply("J\r\n", "2684471344\r\n0\r\n");
  EXPECT_EQ(port.readFor(100), "");
}

TEST_F(Faults, DelayedReplyLine) {
  sim::Options o = blankBootloader();
  o.faults.delayReplyLine = 5;
  startSynced(o);
  port.send("K\r\n");
  EXPECT_EQ(port.read(3, 300), "") << "nothing within 300 ms";
  EXPECT_EQ(port.read(10, 3000), "0\r\n1\r\n13\r\n");
}

TEST_F(Faults, ConsoleNoiseBetweenFrames) {
  sim::Options o = installedSwitch();
  o.faults.consoleNoise = true;
  start(o, 19200);
  port.send("^P$");
  std::string got = port.readUntil("^+$", 1000);
  ASSERT_NE(got.find("^+$"), std::string::npos);
  std::string before = got.substr(0, got.find("^+$"));
  ASSERT_FALSE(before.empty());
  for (char c : before) {
    unsigned char u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u < 0x20 || u >= 0x80) << "noise must not look like text";
    EXPECT_NE(u, '\r');
  }
}

TEST_F(Faults, PortVanishesAfterACopy) {
  std::string link = tempPath("vanish-link");
  sim::Options o = blankBootloader();
  o.link = link;
  o.faults.vanishAfterCopy = 1;
  start(o);
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  port.close();
  ASSERT_TRUE(port.open(link, 115200));
  ASSERT_TRUE(syncBootloader(port));
  expectReply("U 23130\r\n", "0\r\n");
  fill512(port, 0x00);
  expectReply("P 0 0 0\r\n", "0\r\n");
  port.send("C 436207616 268435456 512\r\n");
  // The other end is gone: reads end with a hang-up, and the link is removed.
  EXPECT_EQ(port.readFor(200), "");
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  char c;
  EXPECT_LE(::read(port.fd(), &c, 1), 0);
  EXPECT_EQ(device->flash()[0], 0x00) << "the copy itself was done";
}

}  // namespace
}  // namespace simtest
