// Feeds arbitrary bytes, as a switch may send them on its console after a restart, through the
// console monitor one at a time, the way the console loop passes them on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/monitor.h"
#include "driver/run_state.h"

namespace {

// Message characters fill positions 0 to 253; the 254th and later share the last of them.
constexpr int kLastSlot = static_cast<int>(sizeof monitorLine) - 2;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The handlers write progress lines and messages; only the monitor's state is judged here.
  return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  monitorLength = 0;
  switchReady = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const int before = monitorLength;
    const auto ch = static_cast<signed char>(data[i]);
    monitorFeed(ch);
    int expected = before < kLastSlot ? before + 1 : kLastSlot;  // an ordinary character
    if (ch < 0x20) {
      expected = before;  // control characters and bytes above 0x7F change nothing
    } else if (ch == '^' || ch == '$') {
      expected = 0;  // a new message starts, or the finished one was dispatched
    }
    if (monitorLength != expected) {
      __builtin_trap();
    }
    if (ch == '$') {
      // The dispatched message: its text (no control or high bytes), the "$" and the NUL.
      const char* end = static_cast<const char*>(std::memchr(monitorLine, '\0', sizeof monitorLine));
      if (end == nullptr || end == monitorLine || end[-1] != '$') {
        __builtin_trap();
      }
      for (const char* p = monitorLine; p != end; ++p) {
        if (static_cast<signed char>(*p) < 0x20 || *p == '^') {
          __builtin_trap();
        }
      }
    }
  }
  if (switchReady != 0) {
    // Only the ready message "=P" may report the switch ready; control characters inside it
    // are dropped before it is matched.
    std::string kept;
    for (std::size_t i = 0; i < size; ++i) {
      if (static_cast<signed char>(data[i]) >= 0x20) kept.push_back(static_cast<char>(data[i]));
    }
    if (kept.find("=P") == std::string::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
