// The millisecond clock routines: the expiry comparison, and that the clock is wall time.
#include <chrono>
#include <cstdint>

#include <gtest/gtest.h>

#include "driver/clock.h"
#include "support/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ClockElapsedBeyond, ExactlyTheLimitIsNotYetExpired) {
  EXPECT_FALSE(clockElapsedBeyond(1000, 1000, 500));
  EXPECT_FALSE(clockElapsedBeyond(1000, 1499, 500));
  EXPECT_FALSE(clockElapsedBeyond(1000, 1500, 500));
  EXPECT_TRUE(clockElapsedBeyond(1000, 1501, 500));
  EXPECT_TRUE(clockElapsedBeyond(1000, 900000, 500));
  EXPECT_FALSE(clockElapsedBeyond(7, 7, 0));
  EXPECT_TRUE(clockElapsedBeyond(7, 8, 0));
}

TEST(ClockElapsedBeyond, WrapOfTheClockDoesNotMatter) {
  const std::uint32_t start = 0xFFFFFF00u;  // 256 ms before the wrap
  EXPECT_FALSE(clockElapsedBeyond(start, 0xFFFFFFFFu, 500));
  EXPECT_FALSE(clockElapsedBeyond(start, start + 500u, 500));  // 244 after the wrap
  EXPECT_TRUE(clockElapsedBeyond(start, start + 501u, 500));
  // From the last millisecond before the wrap, 499 after it is 500 ms on.
  EXPECT_FALSE(clockElapsedBeyond(0xFFFFFFFFu, 499u, 500));
  EXPECT_TRUE(clockElapsedBeyond(0xFFFFFFFFu, 500u, 500));
}

TEST(ClockExpired, MeasuresFromTheGivenStart) {
  const std::uint32_t now = clockNow();
  EXPECT_FALSE(clockExpired(now, 60000));
  EXPECT_TRUE(clockExpired(now - 5000u, 500));
  // A start that lies 2^32 - 1000 ms back (a wrapped clock) counts as long expired.
  EXPECT_TRUE(clockExpired(now + 1000u, 500));
}

TEST(ClockNow, FollowsWallTimeWhileTheProgramSleeps) {
  // A processor-time clock would barely move while the process sleeps.
  const std::uint32_t before = clockNow();
  const auto start = Clock::now();
  platformSleepMs(300);
  const std::uint32_t advanced = clockNow() - before;
  const long long real = msSince(start);
  EXPECT_GE(real, 300);
  EXPECT_GE(advanced, 290u);
  EXPECT_LE(advanced, static_cast<std::uint32_t>(real) + 20u);
}

TEST(ClockDelay, WaitsAtLeastTheGivenTime) {
  const auto start = Clock::now();
  clockDelay(100);
  const long long elapsed = msSince(start);
  EXPECT_GE(elapsed, 100);
  EXPECT_LT(elapsed, 5000);
}

TEST(PlatformSleep, ShortSleepReturns) {
  const auto start = Clock::now();
  for (int i = 0; i < 10; ++i) {
    platformSleepMs(1);
  }
  const long long elapsed = msSince(start);
  EXPECT_GE(elapsed, 10);
  EXPECT_LT(elapsed, 2000);
}

}  // namespace
