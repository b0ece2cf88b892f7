// Write to RAM and Read Memory against a scripted far end whose replies wait in the queue:
// the exact bytes on the wire and every result code.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "isp/isp_transfer.h"
#include "isp_port.h"

namespace {

using Transfer = isptest::PortTest;
using Bytes = std::vector<std::uint8_t>;

const Bytes kFour = {0x12, 0x34, 0x56, 0x78};
const std::string kFourLine = "$$C16>```\r\n";

int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

TEST_F(Transfer, WriteTranscripts) {
  const struct { Bytes bytes; const char* replies; int result; std::string sent; } cases[] = {
      {kFour, "0\r\nOK\r\n", 0, "W 268435456 4\r\n" + kFourLine + "276\r\n"},
      {{'a', 'b', 'c'}, "0\r\nOK\r\n", 0, "W 268435456 4\r\n#86)C\r\n294\r\n"},  // whole words
      {{}, "", 0, ""},
      {kFour, "13\r\n", 2, "W 268435456 4\r\n"},  // rejected: no data follows
      {kFour, "", 1, "W 268435456 4\r\n"},
      {kFour, "\r\n", 1, "W 268435456 4\r\n"},
      {kFour, "0\r\n", 1, "W 268435456 4\r\n" + kFourLine + "276\r\n"},  // no acknowledgement
      // Only RESEND is acted on.
      {kFour, "0\r\nRESEN\r\n", 0, "W 268435456 4\r\n" + kFourLine + "276\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent + " answered " + c.replies);
    pty.write(c.replies);
    EXPECT_EQ(nxpWriteRam(268435456u, c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size())),
              c.result);
    EXPECT_EQ(sent(), c.sent);
    devFlushInput();
  }
}

TEST_F(Transfer, RefusedBlockIsSentAgainUpToThreeTimes) {
  Bytes bytes(904);
  unsigned sum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i);
    sum += i < 900 ? bytes[i] : 0u;
  }
  const std::string sumLine = "\r\n" + std::to_string(sum) + "\r\n";
  // Refused twice, then accepted; the second block at once.
  pty.write("0\r\nRESEND\r\nRESEND\r\nOK\r\n0\r\nOK\r\n");
  EXPECT_EQ(nxpWriteRam(268435456u, bytes.data(), 904), 0);
  std::string wire = sent();
  EXPECT_EQ(countOf(wire, sumLine), 3);
  EXPECT_EQ(countOf(wire, "\r\nM"), 3 * 20) << "every line, each time";
  EXPECT_EQ(countOf(wire, "W "), 2) << "a resend repeats the lines, not the command";
  EXPECT_NE(wire.find("W 268436356 4\r\n"), std::string::npos);

  // Refused a fourth time: the write fails at that block.
  pty.write("0\r\nRESEND\r\nRESEND\r\nRESEND\r\nRESEND\r\n");
  EXPECT_EQ(nxpWriteRam(268435456u, bytes.data(), 904), 1);
  wire = sent();
  EXPECT_EQ(countOf(wire, sumLine), 4);
  EXPECT_EQ(countOf(wire, "W "), 1);
}

TEST_F(Transfer, ReadTranscripts) {
  std::string zeroBlock;
  for (int i = 0; i < 20; ++i) {
    zeroBlock += "M" + std::string(60, '`') + "\r\n";
  }
  const struct { std::uint32_t count; std::string replies; int result; std::string sent, out; }
      cases[] = {
      {4, "0\r\n" + kFourLine + "276\r\n", 4, "R 268435456 4\r\nOK\r\n", ""},
      {0, "", 0, "", ""},
      // A zero-length line is skipped; a line longer than the block gives only what is due.
      {4, "0\r\n`\r\n&$C16>`ab\r\n276\r\n", 4, "R 268435456 4\r\nOK\r\n", ""},
      {4, "0\r\n" + kFourLine + "277\r\n", 0, "R 268435456 4\r\nOK\r\n", ""},  // bad checksum
      {4, "14\r\n", 0, "R 268435456 4\r\n", ""},
      {1800, "0\r\n" + zeroBlock + "0\r\n14\r\n", -900,
       "R 268435456 900\r\nOK\r\nR 268436356 900\r\n", ""},
      {4, "", 0, "R 268435456 4\r\n", ""},
      // Three bytes are asked for as a word; the checksum covers all four sent.
      {3, "0\r\n" + kFourLine + "276\r\n", 3, "R 268435456 4\r\nOK\r\n", ""},
      {3, "0\r\n" + kFourLine + "156\r\n", 0, "R 268435456 4\r\nOK\r\n", ""},
      {8, "0\r\n" + kFourLine, 0, "R 268435456 8\r\n", "Timeout\n"},   // a data line missing
      {4, "0\r\n" + kFourLine, 0, "R 268435456 4\r\n", "Timeout\n"},   // the checksum missing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent + " answered " + c.replies.substr(0, 40));
    pty.write(c.replies);
    Bytes got(c.count + 1, 0xEE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(nxpReadMemory(got.data(), 268435456u, c.count), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(sent(), c.sent);
    EXPECT_EQ(got[c.count], 0xEE) << "wrote past the count";
    if (c.result > 0 && c.result <= 4) {
      EXPECT_EQ(Bytes(got.begin(), got.begin() + c.result),
                Bytes(kFour.begin(), kFour.begin() + c.result));
    }
    devFlushInput();
  }
}

}  // namespace
