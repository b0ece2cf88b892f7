#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "isp/isp_transfer.h"

namespace {

std::string encode(const std::vector<std::uint8_t>& bytes) {
  char out[kUuLineChars + 1];
  std::memset(out, 'X', sizeof out);
  const int end = uuEncodeLine(out, bytes.data(), static_cast<int>(bytes.size()));
  EXPECT_EQ(out[end], '\0');
  return std::string(out, static_cast<std::size_t>(end));
}

// Decodes from a heap copy of exactly the line's length, so reading past its NUL is caught by
// the sanitizer build.
std::vector<std::uint8_t> decode(const std::string& line, std::uint32_t expected, int* count) {
  auto copy = std::make_unique<char[]>(line.size() + 1);
  std::memcpy(copy.get(), line.c_str(), line.size() + 1);
  std::vector<std::uint8_t> dest(expected + 1, 0xEE);  // one guard byte after the limit
  *count = uuDecodeLine(dest.data(), copy.get(), expected);
  EXPECT_EQ(dest[expected], 0xEE) << "decoder wrote beyond the expected count";
  dest.resize(static_cast<std::size_t>(*count < 0 ? 0 : *count));
  return dest;
}

TEST(UuEncode, WorkedExamples) {
  EXPECT_EQ(encode({'a', 'b', 'c'}), "#86)C");
  EXPECT_EQ(encode({0x12, 0x34, 0x56, 0x78}), "$$C16>```");
}

TEST(UuEncode, LineShapes) {
  EXPECT_EQ(encode({}), "`");
  const std::string one = encode({0x41});
  EXPECT_EQ(one.size(), 5u);
  EXPECT_EQ(one[0], '!');
  EXPECT_EQ(one.substr(3), "``");
  EXPECT_EQ(encode({0x41, 0x42}).substr(4), "`");  // two bytes leave one padding value

  std::vector<std::uint8_t> full(45);
  for (std::size_t i = 0; i < full.size(); ++i) {
    full[i] = static_cast<std::uint8_t>(i * 37 + 5);
  }
  const std::string line = encode(full);
  EXPECT_EQ(line.size(), 61u);
  EXPECT_EQ(line[0], 'M');
  EXPECT_EQ(line.find(' '), std::string::npos) << "0 must travel as a backtick";
}

TEST(UuEncode, ZeroBytesNeverBecomeSpaces) {
  EXPECT_EQ(encode({0, 0, 0}), "#````");
}

TEST(UuEncode, CountOutsideTheLineIsClamped) {
  std::vector<std::uint8_t> many(60, 0xFF);
  char out[kUuLineChars + 1];
  EXPECT_EQ(uuEncodeLine(out, many.data(), 60), 61);
  EXPECT_EQ(out[0], 'M');
  EXPECT_EQ(uuEncodeLine(out, many.data(), -3), 1);
  EXPECT_STREQ(out, "`");
}

TEST(UuDecode, WorkedExamples) {
  int count = 0;
  EXPECT_EQ(decode("#86)C", 100, &count), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(decode("$$C16>```", 4, &count), (std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(count, 4);
}

TEST(UuDecode, SpaceAndBacktickBothMeanZero) {
  int a = 0;
  int b = 0;
  EXPECT_EQ(decode("$$C16>```", 4, &a), decode("$$C16>   ", 4, &b));
  EXPECT_EQ(decode("#````", 3, &a), (std::vector<std::uint8_t>{0, 0, 0}));
  EXPECT_EQ(decode("#    ", 3, &b), (std::vector<std::uint8_t>{0, 0, 0}));
}

TEST(UuDecode, StopsAtTheBytesStillExpected) {
  int count = 0;
  // The line carries four bytes; the block only wants two more.
  EXPECT_EQ(decode("$$C16>```", 2, &count), (std::vector<std::uint8_t>{0x12, 0x34}));
  EXPECT_EQ(count, 2);
  EXPECT_TRUE(decode("$$C16>```", 0, &count).empty());
  EXPECT_EQ(count, 0);
}

TEST(UuDecode, EmptyAndZeroLengthLinesYieldNothing) {
  int count = -1;
  EXPECT_TRUE(decode("", 10, &count).empty());
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(decode("`", 10, &count).empty());
  EXPECT_EQ(count, 0);
}

TEST(UuDecode, LineShorterThanItsCountStaysInsideTheLine) {
  int count = 0;
  // Declares 45 bytes but carries one group: the rest reads as zero bits.
  std::vector<std::uint8_t> got = decode("M86)C", 100, &count);
  ASSERT_EQ(count, 45);
  EXPECT_EQ(got[0], 'a');
  EXPECT_EQ(got[1], 'b');
  EXPECT_EQ(got[2], 'c');
  for (int i = 3; i < 45; ++i) {
    EXPECT_EQ(got[i], 0) << "byte " << i;
  }
  // Only the length character: every byte is zero.
  got = decode("M", 45, &count);
  EXPECT_EQ(count, 45);
  EXPECT_EQ(got, std::vector<std::uint8_t>(45, 0));
  // A group cut in the middle keeps the bits its characters carry.
  got = decode("#86", 3, &count);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(got[0], 'a');
  EXPECT_EQ(got[1], 0x60);  // 'b' without the low bits that ')' would have brought
}

TEST(UuDecode, LengthCharacterAbove45IsCappedOnlyByExpectation) {
  int count = 0;
  // '\x5f' declares 63 bytes; the decoder honours it up to what is still expected.
  const std::string line = std::string(1, '\x5f') + std::string(84, '!');
  EXPECT_EQ(decode(line, 50, &count).size(), 50u);
  EXPECT_EQ(count, 50);
}

TEST(UuCodec, RoundTripsEveryLineLength) {
  std::mt19937 random(12345);
  for (int n = 0; n <= 45; ++n) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
    for (auto& b : bytes) {
      b = static_cast<std::uint8_t>(random());
    }
    const std::string line = encode(bytes);
    EXPECT_EQ(line.size(), 1u + 4u * ((static_cast<unsigned>(n) + 2u) / 3u)) << n;
    int count = 0;
    EXPECT_EQ(decode(line, 45, &count), bytes) << "length " << n;
    EXPECT_EQ(count, n);
  }
}

}  // namespace
