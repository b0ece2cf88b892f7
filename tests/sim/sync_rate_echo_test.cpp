// Synchronisation, the line-rate model, echo and the line discipline of the ISP bootloader,
// as transcripts over a real pseudo-terminal.
#include <gtest/gtest.h>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using Sync = SimTest;

TEST_F(Sync, HandshakeWithEchoThenEchoOff) {
  start(blankBootloader());
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  // Bytes other than '?' are ignored while the rate is being measured.
  expectReply("\x1b^P$*\r", "");
  EXPECT_EQ(port.readFor(100), "");
  expectReply("?", "Synchronized\r\n");
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderSynced);
  EXPECT_EQ(device->uartBaud(), 115200);
  expectReply("Synchronized\r\n", "Synchronized\r\nOK\r\n");
  // The utility's frequency line is the letter O: these parts ignore the value.
  expectReply("O\r", "O\rOK\r\n");
  expectReply("A 0\r\n", "A 0\r\n0\r\n");
  expectReply("K\r\n", "0\r\n1\r\n13\r\n");
}

TEST_F(Sync, TheUtilitysProbeSequenceWorksFromWaiting) {
  start(blankBootloader());
  // ESC, ^P$, '?', CR: the '?' is the auto-baud character, the CR comes at the new rate and
  // is echoed as an empty line ahead of the next answer.
  port.send("\x1b");
  port.send("^P$");
  port.send("?");
  port.send("\r");
  EXPECT_EQ(port.read(15), "Synchronized\r\n\r");
  expectReply("Synchronized\r\n", "Synchronized\r\nOK\r\n");
  expectReply("O\r", "O\rOK\r\n");
}

TEST_F(Sync, WrongAnswerSendsTheChipBackToWaitingSilently) {
  start(blankBootloader());
  expectReply("?", "Synchronized\r\n");
  // The echo only; no OK.
  expectReply("Synchronised\r\n", "Synchronised\r\n");
  EXPECT_EQ(port.readFor(150), "");
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  // A new measurement, at another rate this time.
  port.setBaud(57600);
  expectReply("?", "Synchronized\r\n");
  EXPECT_EQ(device->uartBaud(), 57600);
}

TEST_F(Sync, RateIsKeptAfterSynchronisation) {
  startSynced();
  // At 19200 the chip (at 115200) receives garbage: no line end, so no answer at all.
  port.setBaud(19200);
  port.send("K\r\n");
  EXPECT_EQ(port.readFor(200), "");
  // '?' is an ordinary character now: no new measurement.
  port.send("?");
  EXPECT_EQ(port.readFor(150), "");
  EXPECT_EQ(device->uartBaud(), 115200);
  // Back at the right rate, ESC clears the garbage and commands work again.
  port.setBaud(115200);
  expectReply("\x1bK\r\n", "0\r\n1\r\n13\r\n");
}

TEST_F(Sync, WrongRateEchoArrivesAsNoiseBothWays) {
  startSynced(blankBootloader(), /*echoOff=*/false);
  port.setBaud(38400);
  port.send("J");
  std::string got = port.read(1, 1000);
  ASSERT_FALSE(got.empty()) << "echo of the byte expected";
  EXPECT_TRUE(allNoise(got));
}

TEST_F(Sync, EchoOnByDefaultAndSwitchable) {
  startSynced(blankBootloader(), /*echoOff=*/false);
  expectReply("K\r\n", "K\r\n0\r\n1\r\n13\r\n");
  // The A 0 line is still echoed; its answer is not.
  expectReply("A 0\r\n", "A 0\r\n0\r\n");
  expectReply("K\r\n", "0\r\n1\r\n13\r\n");
  expectReply("A 1\r\n", "0\r\n");
  expectReply("J\r\n", "J\r\n0\r\n2684471344\r\n0\r\n");
  expectReply("A 2\r\n", "A 2\r\n12\r\n");
}

TEST_F(Sync, EveryLineEndWorksAndEmptyLinesGetNothing) {
  startSynced();
  expectReply("K\r", "0\r\n1\r\n13\r\n");
  expectReply("K\n", "0\r\n1\r\n13\r\n");
  expectReply("K\r\n", "0\r\n1\r\n13\r\n");
  port.send("\r\n\r\n\n\r");
  EXPECT_EQ(port.readFor(150), "");
}

TEST_F(Sync, EscAbortsTheLine) {
  startSynced();
  expectReply("U 23\x1bK\r\n", "0\r\n1\r\n13\r\n");
  // The aborted unlock did not happen.
  expectReply("E 0 0 0\r\n", "15\r\n");
}

TEST_F(Sync, ProbeToASynchronisedChipIsAnInvalidCommand) {
  startSynced(blankBootloader(), /*echoOff=*/false);
  port.send("\x1b^P$?\r");
  const std::string echoAndCode = "\x1b^P$?\r1\r\n";
  EXPECT_EQ(port.read(echoAndCode.size()), echoAndCode);
  expectReply("A 0\r", "A 0\r0\r\n");
  expectReply("\x1b^P$?\r", "1\r\n");
}

}  // namespace
}  // namespace simtest
