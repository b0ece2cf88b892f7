// The millisecond clock: the strict, wrap-proof expiry comparison, and a clock of wall time.
#include <chrono>
#include <cstdint>
#include <ctime>

#include <gtest/gtest.h>

#include "support/clock.h"
#include "support/platform.h"

namespace {

TEST(Clock, ExpiresStrictlyAfterTheLimitAlsoAcrossTheWrap) {
  static constexpr struct {
    std::uint32_t start, now, limit;
    bool expired;
  } kCases[] = {{1000, 1000, 500, false},       {1000, 1500, 500, false},      {1000, 1501, 500, true},
                {7, 7, 0, false},               {7, 8, 0, true},               {0xFFFFFF00u, 0xF4u, 500, false},
                {0xFFFFFF00u, 0xF5u, 500, true}, {0xFFFFFFFFu, 499, 500, false}, {0xFFFFFFFFu, 500, 500, true}};
  for (const auto& c : kCases) {
    EXPECT_EQ(clockElapsedBeyond(c.start, c.now, c.limit), c.expired) << c.start << " to " << c.now;
  }
  // What is left until expiry: it comes one millisecond after the limit.
  static constexpr struct {
    std::uint32_t start, now, limit, left;
  } kLeft[] = {{1000, 1000, 500, 501}, {1000, 1500, 500, 1}, {1000, 1501, 500, 0}, {1000, 9000, 500, 0},
               {0xFFFFFF00u, 0xF4u, 500, 1}, {7, 7, 0, 1}, {0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const auto& c : kLeft) {
    EXPECT_EQ(clockLeftBefore(c.start, c.now, c.limit), c.left) << c.start << " to " << c.now;
  }
  const std::uint32_t now = clockNow();
  EXPECT_FALSE(clockExpired(now, 60000));
  EXPECT_TRUE(clockExpired(now - 5000u, 500));
  EXPECT_TRUE(clockExpired(now + 1000u, 500)) << "a start 2^32 - 1000 ms back is long past";
}

TEST(Clock, FollowsWallTimeWhileSleepingAndDelays) {
  using Steady = std::chrono::steady_clock;
  const auto msSince = [](Steady::time_point start) { return (Steady::now() - start) / std::chrono::milliseconds(1); };
  // A processor-time clock would barely move while the process sleeps.
  const std::uint32_t before = clockNow();
  auto start = Steady::now();
  platformSleepMs(300);
  const std::uint32_t advanced = clockNow() - before;
  EXPECT_GE(msSince(start), 300);
  EXPECT_GE(advanced, 290u);
  EXPECT_LE(advanced, static_cast<std::uint32_t>(msSince(start)) + 20u);
  // A delay sleeps too: it lasts its time but costs next to no processor time.
  timespec cpuBefore{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuBefore);
  start = Steady::now();
  const std::uint32_t delayStart = clockNow();
  clockDelay(200);
  EXPECT_TRUE(clockExpired(delayStart, 200));
  EXPECT_GE(msSince(start), 200);
  EXPECT_LT(msSince(start), 5000);
  timespec cpuAfter{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuAfter);
  const long long cpuMs = (cpuAfter.tv_sec - cpuBefore.tv_sec) * 1000 + (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1000000;
  EXPECT_LT(cpuMs, 100) << "the delay spins";
}

}  // namespace
