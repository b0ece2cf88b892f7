#include "driver/port_argument.h"

#include <cctype>

namespace {

constexpr std::uint32_t kLargest = 0xFFFFFFFFu;

}  // namespace

std::uint32_t portArgumentValue(const char* text) {
  if (text == nullptr) {
    return 0;
  }
  const char* at = text;
  while (std::isspace(static_cast<unsigned char>(*at))) {
    ++at;
  }
  bool negative = false;
  if (*at == '+' || *at == '-') {
    negative = *at == '-';
    ++at;
  }
  std::uint32_t value = 0;
  bool overflow = false;
  for (; *at >= '0' && *at <= '9'; ++at) {
    const auto digit = static_cast<std::uint32_t>(*at - '0');
    if (overflow || value > (kLargest - digit) / 10) {
      overflow = true;
    } else {
      value = value * 10 + digit;
    }
  }
  if (overflow) {
    value = kLargest;
  }
  // The sign applies after the saturation, as in msvcrt.dll: "-4294967296" gives 1.
  return negative ? 0u - value : value;
}
