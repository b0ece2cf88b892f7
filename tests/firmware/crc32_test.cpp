#include "firmware/crc32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace {

const std::uint8_t* bytesOf(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Bit-at-a-time reference, independent of the nibble table.
std::uint32_t referenceCrc(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

void appendLe32(std::vector<std::uint8_t>* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

TEST(Crc32, StartValueAndEmptyRange) {
  EXPECT_EQ(crc32Init(), 0xFFFFFFFFu);
  const std::uint8_t unused = 0x55;
  EXPECT_EQ(crc32Update(0xFFFFFFFF, &unused, 0), 0xFFFFFFFFu);
  EXPECT_EQ(crc32Update(0x12345678, &unused, 0), 0x12345678u);
  EXPECT_EQ(crc32Final(crc32Update(crc32Init(), &unused, 0)), 0u);
  EXPECT_EQ(crc32Final(0xCADBBE3D), 0x352441C2u);
}

TEST(Crc32, KnownValues) {
  const std::uint32_t abc = crc32Update(crc32Init(), bytesOf("abc"), 3);
  EXPECT_EQ(abc, 0xCADBBE3Du);
  EXPECT_EQ(crc32Final(abc), 0x352441C2u);
  // The catalogue check value of CRC-32/ISO-HDLC.
  EXPECT_EQ(crc32Final(crc32Update(crc32Init(), bytesOf("123456789"), 9)), 0xCBF43926u);
  const std::uint8_t zero = 0;
  EXPECT_EQ(crc32Final(crc32Update(crc32Init(), &zero, 1)), 0xD202EF8Du);
}

TEST(Crc32, MatchesBitwiseReferenceAndChainsAcrossCalls) {
  std::mt19937 random(20261207);
  for (std::size_t length : {1u, 2u, 15u, 16u, 17u, 255u, 256u, 1000u, 4099u}) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const std::uint32_t whole = crc32Final(crc32Update(crc32Init(), bytes.data(), length));
    EXPECT_EQ(whole, referenceCrc(bytes)) << "length " << length;
    const std::size_t split = length / 3;
    std::uint32_t crc = crc32Update(crc32Init(), bytes.data(), split);
    crc = crc32Update(crc, bytes.data() + split, length - split);
    EXPECT_EQ(crc32Final(crc), whole) << "length " << length;
  }
}

TEST(Crc32, ResidueAfterOwnLittleEndianCrc) {
  std::mt19937 random(7);
  for (std::size_t length : {0u, 1u, 3u, 64u, 511u, 512u}) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    appendLe32(&bytes, crc32Final(crc32Update(crc32Init(), bytes.data(), bytes.size())));
    EXPECT_EQ(crc32Update(crc32Init(), bytes.data(), bytes.size()), kCrc32Residue)
        << "length " << length;
    bytes[bytes.size() / 2] ^= 0x10;
    EXPECT_NE(crc32Update(crc32Init(), bytes.data(), bytes.size()), kCrc32Residue)
        << "length " << length;
  }
}

}  // namespace
