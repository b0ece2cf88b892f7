#pragma once
// Millisecond clock routines: time-outs are unsigned differences from a start time, so a
// wrap of the clock does not matter.
#include <cstdint>

std::uint32_t clockNow();
// True once more than limit milliseconds have passed since start (exactly limit is not yet).
bool clockExpired(std::uint32_t start, std::uint32_t limit);
// Busy-waits, without sleeping, until clockExpired(start, milliseconds).
void clockDelay(std::uint32_t milliseconds);

// The comparison behind clockExpired, for a given present time.
constexpr bool clockElapsedBeyond(std::uint32_t start, std::uint32_t now, std::uint32_t limit) {
  return static_cast<std::uint32_t>(now - start) > limit;
}
