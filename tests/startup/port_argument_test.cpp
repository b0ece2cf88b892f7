// The port argument is read as msvcrt.dll's strtoul reads it into a 32-bit unsigned long, on
// every build. The expected values are what that library returns (as Wine's msvcrt, whose
// own tests are checked against Windows, gives them).
#include <gtest/gtest.h>

#include "driver/port_argument.h"

namespace {

TEST(PortArgument, ReadAsA32BitUnsignedLong) {
  const struct {
    const char* text;
    std::uint32_t value;
  } cases[] = {
      {"0", 0},
      {"3", 3},
      {"99", 99},
      {"100", 100},
      {"-1", 4294967295u},  // a negative number wraps
      {"-2147483648", 2147483648u},
      {"2147483648", 2147483648u},
      {"4294967295", 4294967295u},
      {"4294967296", 4294967295u},  // beyond 32 bits: saturated, never wrapped to a small port
      {"4294967297", 4294967295u},
      {"18446744073709551617", 4294967295u},  // wraps to 1 in a 64-bit unsigned long
      {"99999999999999999999999", 4294967295u},
      {"-4294967295", 1},
      {"-4294967296", 1},  // saturated first, then negated
      {"-18446744073709551615", 1},
      {" 7", 7},
      {"\t\n+7", 7},
      {"7x", 7},
      {"3.5", 3},
      {"0x10", 0},
      {"  -0", 0},
      {"+-5", 0},
      {"-", 0},
      {"abc", 0},
      {"", 0},
      {"/dev/ttyUSB0", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(portArgumentValue(c.text), c.value) << '"' << c.text << '"';
  }
}

}  // namespace
