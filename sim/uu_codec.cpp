#include "sim/uu_codec.h"

namespace sim {

namespace {

char encodeValue(unsigned v) {
  v &= 0x3F;
  return v == 0 ? '`' : static_cast<char>(0x20 + v);
}

unsigned decodeValue(std::string_view line, std::size_t index) {
  if (index >= line.size()) return 0;
  return (static_cast<unsigned char>(line[index]) - 0x20u) & 0x3Fu;
}

}  // namespace

std::string uuEncodeLine(const std::uint8_t* bytes, std::size_t count) {
  if (count > kUuMaxLineBytes) count = kUuMaxLineBytes;
  std::string line;
  line.reserve(1 + (count + 2) / 3 * 4);
  line.push_back(encodeValue(static_cast<unsigned>(count)));
  for (std::size_t i = 0; i < count; i += 3) {
    unsigned b0 = bytes[i];
    unsigned b1 = i + 1 < count ? bytes[i + 1] : 0;
    unsigned b2 = i + 2 < count ? bytes[i + 2] : 0;
    line.push_back(encodeValue(b0 >> 2));
    line.push_back(encodeValue(((b0 << 4) & 0x30) | (b1 >> 4)));
    line.push_back(encodeValue(((b1 << 2) & 0x3C) | (b2 >> 6)));
    line.push_back(encodeValue(b2 & 0x3F));
  }
  return line;
}

std::size_t uuDecodeLine(std::string_view line, std::uint8_t* out, std::size_t limit) {
  if (line.empty()) return 0;
  std::size_t count = decodeValue(line, 0);
  if (count > limit) count = limit;
  std::size_t stored = 0;
  for (std::size_t group = 0; stored < count; ++group) {
    std::size_t at = 1 + group * 4;
    unsigned s0 = decodeValue(line, at);
    unsigned s1 = decodeValue(line, at + 1);
    unsigned s2 = decodeValue(line, at + 2);
    unsigned s3 = decodeValue(line, at + 3);
    std::uint8_t b[3] = {static_cast<std::uint8_t>((s0 << 2) | (s1 >> 4)),
                         static_cast<std::uint8_t>(((s1 << 4) | (s2 >> 2)) & 0xFF),
                         static_cast<std::uint8_t>(((s2 << 6) | s3) & 0xFF)};
    for (int k = 0; k < 3 && stored < count; ++k) out[stored++] = b[k];
  }
  return stored;
}

}  // namespace sim
