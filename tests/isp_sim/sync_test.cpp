// Synchronisation against the simulated switch in each state it can be found in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim_fixture.h"

namespace {

using isptest::countOf;
using isptest::millisecondsOf;
using isptest::PtyPeer;
using isptest::SimTest;

using Sync = SimTest;

// Echo is off when a command's first reply line is its return code, not its own echo.
void expectEchoOff() {
  EXPECT_EQ(nxpUnlock(), 0);
  EXPECT_EQ(comBytesWaiting(&devicePort), 1) << "only the LF of the reply may be left";
}

TEST_F(Sync, BootloaderWaitingForItsBaudRateCharacter) {
  // > ESC ^P$ ? CR        < Synchronized
  // > Synchronized        < Synchronized, OK
  // > O                   < O, OK
  // > A 0                 < A 0, 0
  sim::Options options;
  options.startInBootloader = true;
  startSwitch(options);
  ASSERT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  EXPECT_EQ(nxpSync(), kSyncBootloader);
  EXPECT_EQ(currentBaud, 115200);
  EXPECT_EQ(device->uartBaud(), 115200);
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderSynced);
  expectEchoOff();
}

TEST_F(Sync, BootloaderSynchronisedWithEchoOn) {
  sim::Options options;
  options.startInBootloader = true;
  startSwitch(options);
  // Bring it to "synchronised, echo on" by hand, as a terminal user would.
  comSetBaud(&devicePort, 115200);
  currentBaud = 115200;
  char line[20];
  devSend("?");
  ASSERT_EQ(devReadCrLine(line, sizeof line), 12);
  ASSERT_STREQ(line, "Synchronized");
  devSend("Synchronized\r\n");
  ASSERT_EQ(devReadCrLine(line, sizeof line), 12);  // echo
  ASSERT_EQ(devReadCrLine(line, sizeof line), 2);
  ASSERT_STREQ(line, "OK");
  devSend("12000\r\n");
  ASSERT_EQ(devReadCrLine(line, sizeof line), 5);  // echo
  ASSERT_EQ(devReadCrLine(line, sizeof line), 2);
  ASSERT_STREQ(line, "OK");
  ASSERT_EQ(device->mode(), sim::Mode::BootloaderSynced);
  devFlushInput();

  // > ESC ^P$ ? CR     < ^P$ (echo, ends the first line), ? CR (echo), 1 (rejected)
  // > A 0              < A 0 (echo), 0
  currentBaud = 19200;  // so that the first attempt runs at 115200
  EXPECT_EQ(nxpSync(), kSyncBootloader);
  EXPECT_EQ(currentBaud, 115200);
  expectEchoOff();
}

TEST_F(Sync, BootloaderSynchronisedWithEchoOff) {
  startSyncedBootloader();
  // > ESC ^P$ ? CR     < 1 (INVALID_COMMAND)
  // > A 0              < 0
  currentBaud = 19200;
  EXPECT_EQ(nxpSync(), kSyncBootloader);
  EXPECT_EQ(currentBaud, 115200);
  expectEchoOff();
}

TEST_F(Sync, BootloaderFoundAfterAFailedAttemptAtTheWrongRate) {
  startSyncedBootloader();
  // currentBaud 115200: the first attempt runs at 19200 and finds nothing, the second
  // reaches the bootloader at 115200.
  EXPECT_EQ(nxpSync(), kSyncBootloader);
  EXPECT_EQ(currentBaud, 115200);
  expectEchoOff();
}

TEST_F(Sync, FirmwareAcknowledges) {
  // Attempt 1 at 115200: garbage to the firmware, no answer. Attempt 2 at 19200:
  // > ESC ^P$ * CR     < ^+$
  sim::Options options;
  options.installImage = isptest::installedImage();
  options.probeAnswer = sim::ProbeAnswer::Ack;
  startSwitch(options);
  ASSERT_EQ(device->mode(), sim::Mode::Firmware);
  EXPECT_EQ(nxpSync(), kSyncFirmware);
  EXPECT_EQ(currentBaud, 19200);
  EXPECT_EQ(device->uartBaud(), 19200);
  EXPECT_EQ(comBytesWaiting(&devicePort), 0) << "input is flushed after ^+";
}

TEST_F(Sync, FirmwareAnswersWithItsReadyLine) {
  // > ESC ^P$ * CR     < ^=P..$
  sim::Options options;
  options.installImage = isptest::installedImage();
  options.probeAnswer = sim::ProbeAnswer::ReadyLine;
  startSwitch(options);
  EXPECT_EQ(nxpSync(), kSyncFirmware);
  EXPECT_EQ(currentBaud, 19200);
}

TEST(SyncSilentPort, FourAttemptsThenNothing) {
  PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  isptest::mapComPort(isptest::kSimComPort, peer.slavePath());
  ASSERT_EQ(comOpen(&devicePort, isptest::kSimComPort, 19200), 1);
  currentBaud = 19200;
  int result = -1;
  const long long ms = millisecondsOf([&] { result = nxpSync(); });
  EXPECT_EQ(result, kSyncNothing);
  EXPECT_EQ(currentBaud, 19200);
  EXPECT_EQ(peer.slaveBaud(), 19200);
  // About 530 ms each: three 10 ms gaps and the 500 ms line wait.
  EXPECT_GE(ms, 4 * 520);
  EXPECT_LT(ms, 4 * 1000);
  const std::string sent = peer.receive();
  EXPECT_EQ(sent, "\x1b^P$?\r\x1b^P$*\r\x1b^P$?\r\x1b^P$*\r");
  comClose(&devicePort);
  currentBaud = 0;
}

TEST(SyncSilentPort, StartsAt19200WhenNoRateIsKnown) {
  PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  isptest::mapComPort(isptest::kSimComPort, peer.slavePath());
  ASSERT_EQ(comOpen(&devicePort, isptest::kSimComPort, 19200), 1);
  currentBaud = 0;
  EXPECT_EQ(nxpSync(), kSyncNothing);
  EXPECT_EQ(currentBaud, 115200);
  EXPECT_EQ(peer.slaveBaud(), 115200);
  EXPECT_EQ(countOf(peer.receive(), "\x1b^P$*\r"), 2);
  comClose(&devicePort);
  currentBaud = 0;
}

TEST(SyncScripted, FirmwareReadyLineOfOtherLengthIsNotRecognised) {
  // "^=P$" alone (four characters before the dollar would be five) is not the answer.
  PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  isptest::mapComPort(isptest::kSimComPort, peer.slavePath());
  ASSERT_EQ(comOpen(&devicePort, isptest::kSimComPort, 19200), 1);
  currentBaud = 115200;  // every attempt's probe is answered the same
  peer.runScript({{"*\r", "^=P$"}, {"?\r", ""}, {"*\r", "^=P12$"}});
  EXPECT_EQ(nxpSync(), kSyncFirmware);
  EXPECT_EQ(currentBaud, 19200);
  peer.stopScript();
  EXPECT_EQ(countOf(peer.transcript(), "\x1b"), 3) << "answered on the third attempt";
  comClose(&devicePort);
  currentBaud = 0;
}

}  // namespace
