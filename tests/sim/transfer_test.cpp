// Write to RAM and Read Memory: UU-encoded lines, a checksum after every 20 lines and at the
// end, OK or RESEND, as the ISP protocol prescribes.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/uu_codec.h"
#include "tests/sim/host_port.h"

namespace simtest {
namespace {

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = seed;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return v;
}

// The lines of one block (at most 20 lines of 45 bytes) and its checksum line.
std::string blockText(const std::vector<std::uint8_t>& data, std::size_t from, std::size_t n) {
  std::string text;
  std::uint32_t sum = 0;
  for (std::size_t at = from; at < from + n; at += 45) {
    std::size_t len = std::min<std::size_t>(45, from + n - at);
    text += sim::uuEncodeLine(data.data() + at, len) + "\r\n";
  }
  for (std::size_t i = from; i < from + n; ++i) sum += data[i];
  return text + std::to_string(sum) + "\r\n";
}

using Transfer = SimTest;

TEST_F(Transfer, WorkedExampleWriteAndReadBack) {
  startSynced();
  expectReply("W 268435456 4\r\n", "0\r\n");
  expectReply("$$C16>```\r\n276\r\n", "OK\r\n");
  expectReply("R 268435456 4\r\n", "0\r\n$$C16>```\r\n276\r\n");
  // The chip waits for the host's OK; then it is back at its command prompt.
  expectReply("OK\r\n", "");
  expectReply("K\r\n", "0\r\n1\r\n13\r\n");
}

TEST_F(Transfer, SpaceForZeroIsAccepted) {
  startSynced();
  expectReply("W 268435456 4\r\n", "0\r\n");
  expectReply("$$C16>   \r\n276\r\n", "OK\r\n");
  expectReply("R 268435456 4\r\n", "0\r\n$$C16>```\r\n276\r\n");
  expectReply("OK\r\n", "");
}

TEST_F(Transfer, FourKilobytesInBlocksOfTwentyLines) {
  startSynced();
  std::vector<std::uint8_t> data = pattern(4096, 7);
  expectReply("W 268435456 4096\r\n", "0\r\n");
  // 4096 bytes: four blocks of 900 and one of 496, each answered OK.
  for (std::size_t at = 0; at < data.size(); at += 900) {
    std::size_t n = std::min<std::size_t>(900, data.size() - at);
    expectReply(blockText(data, at, n), "OK\r\n");
  }
  // Read back: the same blocks come from the chip, each waiting for OK.
  port.send("R 268435456 4096\r\n");
  EXPECT_EQ(port.read(3), "0\r\n");
  for (std::size_t at = 0; at < data.size(); at += 900) {
    std::size_t n = std::min<std::size_t>(900, data.size() - at);
    std::string expected = blockText(data, at, n);
    EXPECT_EQ(port.read(expected.size()), expected) << "block at " << at;
    EXPECT_EQ(port.readFor(30), "") << "the chip waits for OK";
    port.send("OK\r\n");
  }
  expectReply("M 268435456 268435456 4096\r\n", "0\r\n");
}

TEST_F(Transfer, WrongChecksumGetsResendAndTheSameBlockAgain) {
  startSynced();
  std::vector<std::uint8_t> data = pattern(1000, 3);
  expectReply("W 268435456 1000\r\n", "0\r\n");
  std::string first = blockText(data, 0, 900);
  std::string spoiled = first.substr(0, first.rfind("\r\n", first.size() - 3) + 2) + "1\r\n";
  expectReply(spoiled, "RESEND\r\n");
  expectReply(first, "OK\r\n");
  expectReply(blockText(data, 900, 100), "OK\r\n");
  port.send("R 268435456 1000\r\n");
  std::string expected = "0\r\n" + blockText(data, 0, 900);
  EXPECT_EQ(port.read(expected.size()), expected);
  port.send("OK\r\n");
  expected = blockText(data, 900, 100);
  EXPECT_EQ(port.read(expected.size()), expected);
  expectReply("OK\r\n", "");
}

TEST_F(Transfer, ReadResendRepeatsTheBlock) {
  startSynced();
  expectReply("W 268435456 4\r\n", "0\r\n");
  expectReply("$$C16>```\r\n276\r\n", "OK\r\n");
  expectReply("R 268435456 4\r\n", "0\r\n$$C16>```\r\n276\r\n");
  expectReply("RESEND\r\n", "$$C16>```\r\n276\r\n");
  expectReply("OK\r\n", "");
  expectReply("J\r\n", "0\r\n2684471344\r\n0\r\n");
}

TEST_F(Transfer, ReadOfErasedFlashUsesBackticks) {
  startSynced();
  std::string ffLine = sim::uuEncodeLine(std::vector<std::uint8_t>(8, 0xFF).data(), 8);
  expectReply("R 436207616 8\r\n", "0\r\n" + ffLine + "\r\n2040\r\n");
  expectReply("OK\r\n", "");
  std::string zero = sim::uuEncodeLine(std::vector<std::uint8_t>(4, 0).data(), 4);
  EXPECT_EQ(zero, "$````````");
  EXPECT_EQ(zero.find(' '), std::string::npos);
}

TEST_F(Transfer, EchoCoversDataLines) {
  startSynced(blankBootloader(), /*echoOff=*/false);
  expectReply("W 268435456 4\r\n", "W 268435456 4\r\n0\r\n");
  expectReply("$$C16>```\r\n276\r\n", "$$C16>```\r\n276\r\nOK\r\n");
}

}  // namespace
}  // namespace simtest
