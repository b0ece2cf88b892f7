// Feeds arbitrary received lines to the UU decoder, with an arbitrary number of bytes still
// expected, into a destination of exactly that size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "isp/isp_transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  // The first two bytes choose the bytes still expected, 0..1023.
  const std::uint32_t expected = (static_cast<std::uint32_t>(data[0]) << 8 | data[1]) & 0x3FF;
  data += 2;
  size -= 2;
  auto line = std::make_unique<char[]>(size + 1);
  std::memcpy(line.get(), data, size);
  line[size] = '\0';
  auto dest = std::make_unique<std::uint8_t[]>(expected == 0 ? 1 : expected);
  const int count = uuDecodeLine(dest.get(), line.get(), expected);
  if (count < 0 || static_cast<std::uint32_t>(count) > expected || count > 63) {
    __builtin_trap();
  }
  // A line the decoder accepts completely must encode back to itself in canonical form.
  const std::size_t length = std::strlen(line.get());
  if (count > 0 && count <= 45 && static_cast<std::uint32_t>(count) < expected &&
      length == 1 + 4 * ((static_cast<std::size_t>(count) + 2) / 3)) {
    char again[kUuLineChars + 1];
    uuEncodeLine(again, dest.get(), count);
    std::uint8_t check[45];
    if (uuDecodeLine(check, again, 45) != count ||
        std::memcmp(check, dest.get(), static_cast<std::size_t>(count)) != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
