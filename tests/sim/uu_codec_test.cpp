// The switch's side of the UU line format, against worked examples of the ISP protocol.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/uu_codec.h"

namespace {

TEST(DeviceUuCodec, WorkedExamplesAndZeroAsBacktick) {
  const std::uint8_t abc[] = {'a', 'b', 'c'}, word[] = {0x12, 0x34, 0x56, 0x78}, zero[] = {0};
  EXPECT_EQ(sim::uuEncodeLine(abc, 3), "#86)C");
  EXPECT_EQ(sim::uuEncodeLine(word, 4), "$$C16>```");
  EXPECT_EQ(sim::uuEncodeLine(zero, 1), "!````");
  EXPECT_EQ(sim::uuEncodeLine(nullptr, 0), "`");
  for (const char* line : {"$$C16>```", "$$C16>   "}) {  // zero decodes from either
    std::uint8_t out[8] = {};
    ASSERT_EQ(sim::uuDecodeLine(line, out, 8), 4u) << line;
    EXPECT_EQ(std::memcmp(out, word, 4), 0) << line;
  }
}

TEST(DeviceUuCodec, RoundTripsEveryLineLengthWithinBounds) {
  for (std::size_t n = 1; n <= 45; ++n) {
    std::vector<std::uint8_t> in(n), out(64, 0xEE);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>(i * 37 + n);
    std::string line = sim::uuEncodeLine(in.data(), n);
    EXPECT_EQ(line.size(), 1 + (n + 2) / 3 * 4) << n;  // 45 bytes: "M" and 60 characters
    ASSERT_EQ(sim::uuDecodeLine(line, out.data(), 64), n);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin())) << n;
    EXPECT_EQ(out[n], 0xEE) << "nothing stored beyond the line's bytes";
  }
  EXPECT_EQ(sim::uuEncodeLine(std::vector<std::uint8_t>(45).data(), 45)[0], 'M');
  // A line that declares 45 bytes but carries one group: the rest decode as zero, and
  // nothing goes beyond the limit.
  std::uint8_t out[64];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(sim::uuDecodeLine("M86)C", out, 10), 10u);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[9], 0);
  EXPECT_EQ(out[10], 0xEE);
  EXPECT_EQ(sim::uuDecodeLine("", out, 10), 0u);
}

}  // namespace
