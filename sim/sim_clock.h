#pragma once
// The simulator's one notion of time: a monotonic clock, so that line and flash timings are
// unaffected by changes of the wall clock.
#include <chrono>

namespace sim {

using SimClock = std::chrono::steady_clock;
using TimePoint = SimClock::time_point;
using Micros = std::chrono::microseconds;

inline TimePoint simNow() { return SimClock::now(); }

}  // namespace sim
