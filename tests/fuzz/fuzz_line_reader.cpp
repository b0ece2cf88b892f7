// Runs arbitrary received bytes through the line reader's per-byte step exactly as the
// reader does, into a buffer of exactly the chosen size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "isp/device_line.h"

namespace {

// The terminator sets the program reads with.
constexpr const char* kTerminatorSets[] = {"\r", "$", "$\r"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const int bufferSize = data[0] % 64 + 1;  // 1..64, the reader's sizes included
  const char* terminators = kTerminatorSets[(data[0] >> 6) % 3];
  ++data;
  --size;
  auto buffer = std::make_unique<char[]>(static_cast<std::size_t>(bufferSize));
  int stored = 0;
  std::size_t i = 0;
  // Line after line, as successive reads over one stream would take them.
  while (i < size) {
    stored = 0;
    int step = kLineDropped;
    while (i < size && stored < bufferSize) {
      step = lineAcceptByte(buffer.get(), bufferSize, &stored, data[i++], terminators);
      if (step == kLineTerminated) {
        break;
      }
      if (step == kLineFull || stored > bufferSize) {
        __builtin_trap();
      }
    }
    if (step == kLineTerminated) {
      if (stored > bufferSize - 1 || std::strlen(buffer.get()) != static_cast<std::size_t>(stored)) {
        __builtin_trap();
      }
      for (int k = 0; k < stored; ++k) {
        const unsigned char c = static_cast<unsigned char>(buffer[static_cast<std::size_t>(k)]);
        if (c < 0x20 || c > 0x7F || std::strchr(terminators, c) != nullptr) {
          __builtin_trap();
        }
      }
    }
  }
  // A full buffer refuses further bytes without touching anything.
  stored = bufferSize;
  if (lineAcceptByte(buffer.get(), bufferSize, &stored, '\r', "\r") != kLineFull) {
    __builtin_trap();
  }
  return 0;
}
