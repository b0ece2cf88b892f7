#include "isp/isp_transfer.h"

namespace {

// The backtick form of UU-encoding: 0 travels as '`', never as a space that a line could lose.
constexpr char uuChar(unsigned value) {
  value &= 0x3F;
  return value == 0 ? '`' : static_cast<char>(value + 0x20);
}

// The backtick and the space both stand for 0.
constexpr unsigned uuValue(char ch) {
  return (static_cast<unsigned>(static_cast<unsigned char>(ch)) - 0x20u) & 0x3Fu;
}

}  // namespace

int uuEncodeLine(char* out, const std::uint8_t* bytes, int count) {
  if (count < 0) {
    count = 0;
  }
  if (count > static_cast<int>(kUuLineBytes)) {
    count = static_cast<int>(kUuLineBytes);
  }
  int pos = 0;
  out[pos++] = uuChar(static_cast<unsigned>(count));
  for (int i = 0; i < count; i += 3) {
    // A last group of one or two bytes is filled up with zero bits.
    const unsigned b0 = bytes[i];
    const unsigned b1 = i + 1 < count ? bytes[i + 1] : 0u;
    const unsigned b2 = i + 2 < count ? bytes[i + 2] : 0u;
    out[pos++] = uuChar(b0 >> 2);
    out[pos++] = uuChar(((b0 << 4) & 0x30) | (b1 >> 4));
    out[pos++] = uuChar(((b1 << 2) & 0x3C) | (b2 >> 6));
    out[pos++] = uuChar(b2 & 0x3F);
  }
  out[pos] = '\0';
  return pos;
}

int uuDecodeLine(std::uint8_t* dest, const char* line, std::uint32_t stillExpected) {
  if (line[0] == '\0') {
    return 0;
  }
  std::uint32_t count = uuValue(line[0]);
  if (count > stillExpected) {
    count = stillExpected;
  }
  // A damaged line may declare more bytes than its characters carry. The characters are
  // never read past the NUL: a missing character counts as the value 0 (as a trailing
  // padding character that got lost would), so the line still yields its declared count
  // and the block's checksum judges the result.
  const char* next = line + 1;
  auto take = [&next]() -> unsigned {
    if (*next == '\0') {
      return 0u;
    }
    return uuValue(*next++);
  };
  std::uint32_t done = 0;
  while (done < count) {
    const unsigned s0 = take();
    const unsigned s1 = take();
    const unsigned s2 = take();
    const unsigned s3 = take();
    dest[done++] = static_cast<std::uint8_t>((s0 << 2) | (s1 >> 4));
    if (done < count) {
      dest[done++] = static_cast<std::uint8_t>(((s1 << 4) | (s2 >> 2)) & 0xFF);
    }
    if (done < count) {
      dest[done++] = static_cast<std::uint8_t>(((s2 << 6) | s3) & 0xFF);
    }
  }
  return static_cast<int>(count);
}
