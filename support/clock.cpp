#include "support/clock.h"

#include "support/platform.h"

std::uint32_t clockNow() { return platformClockMs(); }

bool clockExpired(std::uint32_t start, std::uint32_t limit) {
  return clockElapsedBeyond(start, clockNow(), limit);
}

std::uint32_t clockRemaining(std::uint32_t start, std::uint32_t limit) {
  return clockLeftBefore(start, clockNow(), limit);
}

void clockDelay(std::uint32_t milliseconds) {
  const std::uint32_t start = clockNow();
  // A sleep may end a little early on some hosts; the loop sleeps again for what is left.
  while (!clockExpired(start, milliseconds)) {
    platformSleepMs(clockRemaining(start, milliseconds));
  }
}
