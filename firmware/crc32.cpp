// The standard reflected CRC-32, four bits per table look-up: a 16-word table keeps the
// routine small, and two look-ups per byte are fast enough for a 150 KB image.
#include "firmware/crc32.h"

#include <array>

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320;  // 0x04C11DB7 bit-reversed

// Entry k is the register after four reflected shift-and-XOR steps applied to k.
constexpr std::array<std::uint32_t, 16> makeNibbleTable() {
  std::array<std::uint32_t, 16> table{};
  for (std::uint32_t k = 0; k < table.size(); ++k) {
    std::uint32_t value = k;
    for (int step = 0; step < 4; ++step) {
      value = (value & 1) ? (value >> 1) ^ kPolynomial : value >> 1;
    }
    table[k] = value;
  }
  return table;
}

constexpr std::array<std::uint32_t, 16> kNibbleTable = makeNibbleTable();
static_assert(kNibbleTable[1] == 0x1DB71064);
static_assert(kNibbleTable[8] == 0xEDB88320);

}  // namespace

std::uint32_t crc32Init() { return 0xFFFFFFFF; }

std::uint32_t crc32Update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t b = bytes[i];
    const std::uint32_t t = kNibbleTable[(crc ^ b) & 0xF] ^ (crc >> 4);
    crc = kNibbleTable[(t ^ (b >> 4)) & 0xF] ^ (t >> 4);
  }
  return crc;
}

std::uint32_t crc32Final(std::uint32_t crc) { return ~crc; }
