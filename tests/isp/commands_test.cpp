// The simple ISP commands against a scripted far end: what goes out, and how each reply is
// judged.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "port_fixture.h"
#include "transport/serial.h"

namespace {

using isptest::PortTest;

using IspCommand = PortTest;

TEST_F(IspCommand, UnlockSendsTheDocumentedCode) {
  peer.send("0\r\n");
  EXPECT_EQ(nxpUnlock(), 0);
  EXPECT_EQ(peer.receive(), "U 23130\r\n");

  peer.send("16\r\n");  // INVALID_CODE
  EXPECT_EQ(nxpUnlock(), 1);
  EXPECT_EQ(nxpUnlock(), 1) << "no reply within 500 ms";
}

TEST_F(IspCommand, SectorCommandsFormatTheirArgumentsAsDecimals) {
  peer.send("0\r\n0\r\n");
  EXPECT_EQ(nxpPrepareSectors(0, 14, 1), 0);
  EXPECT_EQ(nxpEraseSectors(8, 10, 0), 0);
  EXPECT_EQ(peer.receive(), "P 0 14 1\r\nE 8 10 0\r\n");

  peer.send("9\r\n15\r\n");  // not prepared; locked
  EXPECT_EQ(nxpPrepareSectors(255, 255, 255), 1);
  EXPECT_EQ(nxpEraseSectors(1, 1, 0), 1);
  EXPECT_EQ(peer.receive(), "P 255 255 255\r\nE 1 1 0\r\n");
}

TEST_F(IspCommand, CopyJudgesByTheFirstCharacter) {
  peer.send("0\r\n");
  EXPECT_EQ(nxpCopyRamToFlash(436207616u, 268435456u, 4096u), 0);
  EXPECT_EQ(peer.receive(), "C 436207616 268435456 4096\r\n");
  peer.send("\r\n");  // an empty line is no success
  EXPECT_EQ(nxpCopyRamToFlash(4294967295u, 0, 512), 1);
  EXPECT_EQ(peer.receive(), "C 4294967295 0 512\r\n");
  peer.send("05\r\n");  // only the first character counts
  EXPECT_EQ(nxpCopyRamToFlash(0, 0, 512), 0);
}

TEST_F(IspCommand, GoTakesSilenceAsSuccess) {
  EXPECT_EQ(nxpGo(436207616u), 0);
  EXPECT_EQ(peer.receive(), "G 436207616 T\r\n");
  peer.send("0\r\n");
  EXPECT_EQ(nxpGo(0), 0);
  peer.send("15\r\n");
  EXPECT_EQ(nxpGo(0), 1);
  peer.send("\r\n");
  EXPECT_EQ(nxpGo(0), 0) << "an empty line counts as silence";
}

TEST_F(IspCommand, CompareTellsDifferenceFromOtherFailures) {
  peer.send("0\r\n");
  EXPECT_EQ(nxpCompare(436207616u, 268435968u, 4u), 0);
  EXPECT_EQ(peer.receive(), "M 436207616 268435968 4\r\n");

  peer.send("10\r\n1024\r\n");
  EXPECT_EQ(nxpCompare(1, 2, 4096), 2);
  // The offset line was read too: nothing of the reply is left behind.
  char rest[20];
  EXPECT_EQ(devReadCrLine(rest, sizeof rest), -1);

  peer.send("13\r\n");  // ADDR_ERROR begins with '1' but is not a difference
  EXPECT_EQ(nxpCompare(1, 2, 4), 1);
  peer.send("1\r\n");
  EXPECT_EQ(nxpCompare(1, 2, 4), 1);
  EXPECT_EQ(nxpCompare(1, 2, 4), 1) << "no reply";
}

TEST_F(IspCommand, ReadPartIdTakesTheLowHalfOfTheFirstWord) {
  peer.send("0\r\n4026652720\r\n68\r\n");
  std::uint32_t words[2] = {99, 99};
  EXPECT_EQ(nxpReadPartId(words), 0);
  EXPECT_EQ(peer.receive(), "J\r\n");
  EXPECT_EQ(words[0], 4026652720u & 0xFFFFu);
  EXPECT_EQ(words[1], 68u);

  peer.send("0\r\n70000\r\n0\r\n");
  EXPECT_EQ(nxpReadPartId(words), 0);
  EXPECT_EQ(words[0], 70000u - 65536u);
  EXPECT_EQ(words[1], 0u);
}

TEST_F(IspCommand, ReadPartIdReadsNumbersLikeAtoi) {
  peer.send("0\r\n 12abc\r\nxyz\r\n");
  std::uint32_t words[2] = {99, 99};
  EXPECT_EQ(nxpReadPartId(words), 0);
  EXPECT_EQ(words[0], 12u);
  EXPECT_EQ(words[1], 0u);

  peer.send("0\r\n-1\r\n-2\r\n");
  EXPECT_EQ(nxpReadPartId(words), 0);
  EXPECT_EQ(words[0], 0xFFFFu);
  EXPECT_EQ(words[1], static_cast<std::uint32_t>(-2));
}

TEST_F(IspCommand, ReadPartIdWithoutAnswerGivesZeros) {
  std::uint32_t words[2] = {99, 99};
  EXPECT_EQ(nxpReadPartId(words), 0);
  EXPECT_EQ(words[0], 0u);
  EXPECT_EQ(words[1], 0u);
}

}  // namespace
