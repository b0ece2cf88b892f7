// Write to RAM and Read Memory against a scripted far end: the exact lines on the wire and
// every result code.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "isp/isp_transfer.h"
#include "port_fixture.h"

namespace {

using isptest::countOf;
using isptest::PortTest;

using IspTransfer = PortTest;

const std::vector<std::uint8_t> kFour = {0x12, 0x34, 0x56, 0x78};

TEST_F(IspTransfer, WritesTheWorkedExample) {
  peer.runScript({{"W 268435456 4\r\n", "0\r\n"}, {"276\r\n", "OK\r\n"}});
  EXPECT_EQ(nxpWriteRam(268435456u, kFour.data(), 4), 0);
  peer.stopScript();
  EXPECT_EQ(peer.transcript(), "W 268435456 4\r\n$$C16>```\r\n276\r\n");
}

TEST_F(IspTransfer, ReadsTheWorkedExample) {
  peer.runScript({{"R 268435456 4\r\n", "0\r\n$$C16>```\r\n276\r\n"}});
  std::uint8_t got[4] = {};
  EXPECT_EQ(nxpReadMemory(got, 268435456u, 4), 4);
  EXPECT_EQ(std::vector<std::uint8_t>(got, got + 4), kFour);
  peer.stopScript();
  EXPECT_EQ(peer.transcript(), "R 268435456 4\r\nOK\r\n");
}

TEST_F(IspTransfer, NothingToMoveSendsNothing) {
  EXPECT_EQ(nxpWriteRam(268435456u, kFour.data(), 0), 0);
  std::uint8_t got[4] = {};
  EXPECT_EQ(nxpReadMemory(got, 268435456u, 0), 0);
  EXPECT_EQ(peer.receive(), "");
}

TEST_F(IspTransfer, OddLengthsAnnounceWholeWordsButSendOnlyTheirBytes) {
  const std::vector<std::uint8_t> three = {'a', 'b', 'c'};
  peer.runScript({{"W 268435456 4\r\n", "0\r\n"}, {"294\r\n", "OK\r\n"}});
  EXPECT_EQ(nxpWriteRam(268435456u, three.data(), 3), 0);
  peer.stopScript();
  EXPECT_EQ(peer.transcript(), "W 268435456 4\r\n#86)C\r\n294\r\n");
}

TEST_F(IspTransfer, RejectedWriteSendsNoData) {
  peer.runScript({{"W 1 4\r\n", "13\r\n"}});
  EXPECT_EQ(nxpWriteRam(1u, kFour.data(), 4), 2);
  peer.stopScript();
  EXPECT_EQ(peer.transcript(), "W 1 4\r\n");
}

TEST_F(IspTransfer, MissingRepliesEndTheWriteWithOne) {
  EXPECT_EQ(nxpWriteRam(268435456u, kFour.data(), 4), 1) << "no return code";
  peer.receive();
  peer.runScript({{"W 268435456 4\r\n", "\r\n"}});
  EXPECT_EQ(nxpWriteRam(268435456u, kFour.data(), 4), 1) << "empty return code";
  peer.stopScript();
  peer.runScript({{"W 268435456 4\r\n", "0\r\n"}});
  EXPECT_EQ(nxpWriteRam(268435456u, kFour.data(), 4), 1) << "no acknowledgement";
}

// Bytes 0, 1, 2, ... and the checksum line of their first block.
std::vector<std::uint8_t> counting(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i);
  }
  return bytes;
}

std::string firstSumLine(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < bytes.size() && i < 900; ++i) {
    sum += bytes[i];
  }
  return std::to_string(sum) + "\r\n";
}

TEST_F(IspTransfer, ResentBlockGoesAgainUntilAccepted) {
  // Two blocks: the first is refused twice, the second accepted at once.
  const std::vector<std::uint8_t> bytes = counting(904);
  const std::string sumLine = firstSumLine(bytes);
  peer.runScript({{"W 268435456 900\r\n", "0\r\n"},
                  {sumLine, "RESEND\r\n"},
                  {sumLine, "RESEND\r\n"},
                  {sumLine, "OK\r\n"},
                  {"W 268436356 4\r\n", "0\r\n"},
                  {"\r\n", ""},
                  {"\r\n", "OK\r\n"}});
  EXPECT_EQ(nxpWriteRam(268435456u, bytes.data(), 904), 0);
  peer.stopScript();
  const std::string sent = peer.transcript();
  EXPECT_EQ(countOf(sent, sumLine), 3);
  EXPECT_EQ(countOf(sent, "W "), 2) << "a resend repeats the lines, not the command";
  EXPECT_EQ(countOf(sent, "\r\nM"), 3 * 20);  // every full line, each time
}

TEST_F(IspTransfer, BlockRefusedFourTimesFailsWithOne) {
  const std::vector<std::uint8_t> bytes = counting(904);
  const std::string sumLine = firstSumLine(bytes);
  peer.runScript({{"W 268435456 900\r\n", "0\r\n"},
                  {sumLine, "RESEND\r\n"},
                  {sumLine, "RESEND\r\n"},
                  {sumLine, "RESEND\r\n"},
                  {sumLine, "RESEND\r\n"}});
  EXPECT_EQ(nxpWriteRam(268435456u, bytes.data(), 904), 1);
  peer.stopScript();
  const std::string sent = peer.transcript();
  EXPECT_EQ(countOf(sent, sumLine), 4);
  EXPECT_EQ(countOf(sent, "W "), 1) << "the write stops at the refused block";
}

TEST_F(IspTransfer, AnyOtherAcknowledgementGoesOn) {
  peer.runScript({{"W 0 4\r\n", "0\r\n"}, {"276\r\n", "RESEN\r\n"}});
  EXPECT_EQ(nxpWriteRam(0, kFour.data(), 4), 0);
  peer.stopScript();
  EXPECT_EQ(countOf(peer.transcript(), "276\r\n"), 1);
}

TEST_F(IspTransfer, FirstRejectedReadGivesZeroLaterOnesMinusTheBytesReceived) {
  peer.runScript({{"R 7 4\r\n", "14\r\n"}});
  std::vector<std::uint8_t> got(1800);
  EXPECT_EQ(nxpReadMemory(got.data(), 7, 4), 0);
  peer.stopScript();

  std::string block;
  const std::string zeros = "M" + std::string(60, '`') + "\r\n";
  for (int i = 0; i < 20; ++i) {
    block += zeros;
  }
  peer.runScript({{"R 0 900\r\n", "0\r\n" + block + "0\r\n"}, {"R 900 900\r\n", "14\r\n"}});
  EXPECT_EQ(nxpReadMemory(got.data(), 0, 1800), -900);
}

TEST_F(IspTransfer, MissingLinesEndTheReadWithTimeout) {
  std::uint8_t got[8] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(nxpReadMemory(got, 0, 4), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no return code, no message";
  peer.receive();

  peer.runScript({{"R 0 8\r\n", "0\r\n$$C16>```\r\n"}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(nxpReadMemory(got, 0, 8), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Timeout\n") << "data line missing";
  peer.stopScript();

  peer.runScript({{"R 0 4\r\n", "0\r\n$$C16>```\r\n"}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(nxpReadMemory(got, 0, 4), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Timeout\n") << "checksum line missing";
  peer.stopScript();
  EXPECT_EQ(countOf(peer.transcript(), "OK\r\n"), 0);
}

TEST_F(IspTransfer, EmptyLengthLinesAreSkippedAndLongLinesCutToTheBlock) {
  // A zero-length line decodes nothing; a line that carries more than the block still wants
  // gives only what is wanted, and the checksum covers just those bytes.
  peer.runScript({{"R 0 4\r\n", "0\r\n`\r\n&$C16>`ab\r\n276\r\n"}});
  std::uint8_t got[4] = {};
  EXPECT_EQ(nxpReadMemory(got, 0, 4), 4);
  EXPECT_EQ(std::vector<std::uint8_t>(got, got + 4), kFour);
}

}  // namespace
