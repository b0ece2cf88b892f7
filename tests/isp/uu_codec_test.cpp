#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "isp/isp_transfer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string encode(const Bytes& bytes) {
  char out[kUuLineChars + 1];
  std::memset(out, 'X', sizeof out);
  const int end = uuEncodeLine(out, bytes.data(), static_cast<int>(bytes.size()));
  EXPECT_EQ(out[end], '\0');
  return std::string(out, static_cast<std::size_t>(end));
}

// From a heap copy of exactly the line, so that the sanitizer build catches a read past its
// NUL; a guard byte after the expected count catches a write beyond it.
Bytes decode(const std::string& line, std::uint32_t expected) {
  auto copy = std::make_unique<char[]>(line.size() + 1);
  std::memcpy(copy.get(), line.c_str(), line.size() + 1);
  Bytes dest(expected + 1, 0xEE);
  const int count = uuDecodeLine(dest.data(), copy.get(), expected);
  EXPECT_EQ(dest[expected], 0xEE) << "wrote beyond the expected count";
  dest.resize(static_cast<std::size_t>(count < 0 ? 0 : count));
  return dest;
}

TEST(UuCodec, EncodesTheDocumentedLines) {
  const struct { Bytes bytes; const char* line; } cases[] = {
      {{'a', 'b', 'c'}, "#86)C"},
      {{0x12, 0x34, 0x56, 0x78}, "$$C16>```"},
      {{}, "`"},
      {{0x41}, "!00``"},  // one byte: two padding values
      {{0x41, 0x42}, "\"04(`"},
      {{0, 0, 0}, "#````"},  // 0 travels as a backtick, never as a space
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode(c.bytes), c.line);
  }
  // A count outside 0..45 is clamped.
  const Bytes many(60, 0xFF);
  char out[kUuLineChars + 1];
  EXPECT_EQ(uuEncodeLine(out, many.data(), 60), 61);
  EXPECT_EQ(out[0], 'M');
  EXPECT_EQ(uuEncodeLine(out, many.data(), -3), 1);
  EXPECT_STREQ(out, "`");
}

TEST(UuCodec, DecodesWithinTheLineAndTheExpectedCount) {
  const struct { std::string line; std::uint32_t expected; Bytes want; } cases[] = {
      {"#86)C", 100, {'a', 'b', 'c'}},
      {"$$C16>```", 4, {0x12, 0x34, 0x56, 0x78}},
      {"$$C16>   ", 4, {0x12, 0x34, 0x56, 0x78}},  // the space also means 0
      {"#    ", 3, {0, 0, 0}},
      {"$$C16>```", 2, {0x12, 0x34}},  // more than the block still expects
      {"$$C16>```", 0, {}},
      {"", 10, {}},
      {"`", 10, {}},
      // Damaged lines: declared bytes the characters do not carry read as zero bits.
      {"&86)C", 100, {'a', 'b', 'c', 0, 0, 0}},
      {"M", 45, Bytes(45, 0)},
      {"#86", 3, {'a', 0x60, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line + " expecting " + std::to_string(c.expected));
    EXPECT_EQ(decode(c.line, c.expected), c.want);
  }
}

TEST(UuCodec, RoundTripsEveryLineLength) {
  std::mt19937 random(12345);
  for (int n = 0; n <= 45; ++n) {
    SCOPED_TRACE(n);
    Bytes bytes(static_cast<std::size_t>(n));
    for (auto& b : bytes) {
      b = static_cast<std::uint8_t>(random());
    }
    const std::string line = encode(bytes);
    EXPECT_EQ(line.size(), 1u + 4u * ((static_cast<unsigned>(n) + 2u) / 3u));
    EXPECT_EQ(line.find(' '), std::string::npos);
    EXPECT_EQ(decode(line, 45), bytes);
  }
}

}  // namespace
