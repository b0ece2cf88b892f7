// The switch's side of the UU line format, against worked examples of the ISP protocol.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/uu_codec.h"

namespace {

std::string encode(std::initializer_list<int> bytes) {
  std::vector<std::uint8_t> v;
  for (int b : bytes) v.push_back(static_cast<std::uint8_t>(b));
  return sim::uuEncodeLine(v.data(), v.size());
}

TEST(DeviceUuCodec, EncodesTheWorkedExamples) {
  EXPECT_EQ(encode({'a', 'b', 'c'}), "#86)C");
  EXPECT_EQ(encode({0x12, 0x34, 0x56, 0x78}), "$$C16>```");
  EXPECT_EQ(encode({0x00}), "!````");  // zero always as backtick, never space
  EXPECT_EQ(sim::uuEncodeLine(nullptr, 0), "`");
}

TEST(DeviceUuCodec, FullLineIs61Characters) {
  std::vector<std::uint8_t> bytes(45, 0xA5);
  std::string line = sim::uuEncodeLine(bytes.data(), bytes.size());
  EXPECT_EQ(line.size(), 61u);
  EXPECT_EQ(line[0], 'M');
}

TEST(DeviceUuCodec, DecodesSpaceAndBacktickAlike) {
  std::uint8_t a[8] = {}, b[8] = {};
  ASSERT_EQ(sim::uuDecodeLine("$$C16>```", a, 8), 4u);
  ASSERT_EQ(sim::uuDecodeLine("$$C16>   ", b, 8), 4u);
  const std::uint8_t expected[4] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(0, memcmp(a, expected, 4));
  EXPECT_EQ(0, memcmp(b, expected, 4));
}

TEST(DeviceUuCodec, RoundTripsEveryLineLength) {
  for (std::size_t n = 1; n <= 45; ++n) {
    std::vector<std::uint8_t> in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>(i * 37 + n);
    std::vector<std::uint8_t> out(64, 0xEE);
    std::string line = sim::uuEncodeLine(in.data(), n);
    ASSERT_EQ(sim::uuDecodeLine(line, out.data(), 64), n);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin())) << n;
    EXPECT_EQ(out[n], 0xEE) << "nothing stored beyond the line's bytes";
  }
}

TEST(DeviceUuCodec, DamagedLinesStayWithinBounds) {
  std::uint8_t out[64];
  std::memset(out, 0xEE, sizeof out);
  // Declares 45 bytes but carries one group: the rest decode as zero, none beyond the limit.
  EXPECT_EQ(sim::uuDecodeLine("M86)C", out, 10), 10u);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[9], 0);
  EXPECT_EQ(out[10], 0xEE);
  EXPECT_EQ(sim::uuDecodeLine("", out, 10), 0u);
}

}  // namespace
