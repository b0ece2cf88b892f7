#include "support/clock.h"

#include "support/platform.h"

std::uint32_t clockNow() { return platformClockMs(); }

bool clockExpired(std::uint32_t start, std::uint32_t limit) {
  return clockElapsedBeyond(start, clockNow(), limit);
}

void clockDelay(std::uint32_t milliseconds) {
  const std::uint32_t start = clockNow();
  while (!clockExpired(start, milliseconds)) {
  }
}
