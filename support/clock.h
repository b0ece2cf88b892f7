#pragma once
// Millisecond clock routines: time-outs are unsigned differences from a start time, so a
// wrap of the clock does not matter.
#include <cstdint>

std::uint32_t clockNow();
// True once more than limit milliseconds have passed since start (exactly limit is not yet).
bool clockExpired(std::uint32_t start, std::uint32_t limit);
// Milliseconds from now until clockExpired(start, limit) holds; 0 once it does.
std::uint32_t clockRemaining(std::uint32_t start, std::uint32_t limit);
// Sleeps until clockExpired(start, milliseconds), start being the moment of the call.
void clockDelay(std::uint32_t milliseconds);

// The comparison behind clockExpired, for a given present time.
constexpr bool clockElapsedBeyond(std::uint32_t start, std::uint32_t now, std::uint32_t limit) {
  return static_cast<std::uint32_t>(now - start) > limit;
}

// The count behind clockRemaining, for a given present time: expiry comes at limit + 1.
constexpr std::uint32_t clockLeftBefore(std::uint32_t start, std::uint32_t now, std::uint32_t limit) {
  const std::uint32_t elapsed = now - start;
  if (elapsed > limit) {
    return 0u;
  }
  const std::uint32_t left = limit - elapsed;
  return left == UINT32_MAX ? left : left + 1u;
}
