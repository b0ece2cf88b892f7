// Runs arbitrary received bytes, line after line as successive reads take them, through the
// line reader's per-byte step into a buffer of exactly the chosen size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "isp/device_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr const char* kTerminatorSets[] = {"\r", "$", "$\r"};  // the program's sets
  if (size < 1) {
    return 0;
  }
  const int bufferSize = data[0] % 64 + 1;  // 1..64, the reader's sizes included
  const char* terminators = kTerminatorSets[(data[0] >> 6) % 3];
  auto buffer = std::make_unique<char[]>(static_cast<std::size_t>(bufferSize));
  int stored = 0;
  for (std::size_t i = 1; i < size; ++i) {
    const bool full = stored == bufferSize;  // a full buffer must refuse the byte
    const int step = lineAcceptByte(buffer.get(), bufferSize, &stored, data[i], terminators);
    if ((step == kLineFull) != full || stored > bufferSize) {
      __builtin_trap();
    }
    if (step == kLineTerminated) {
      if (stored >= bufferSize || std::strlen(buffer.get()) != static_cast<std::size_t>(stored)) {
        __builtin_trap();
      }
      for (int k = 0; k < stored; ++k) {
        const unsigned char c = static_cast<unsigned char>(buffer[static_cast<std::size_t>(k)]);
        if (c < 0x20 || c > 0x7F || std::strchr(terminators, c) != nullptr) {
          __builtin_trap();
        }
      }
    }
    if (step == kLineTerminated || full) {
      stored = 0;  // the reader's next read starts a new line
    }
  }
  return 0;
}
