#pragma once
// Time limits of the test helpers' waits, on the monotonic clock.
#include <algorithm>
#include <chrono>

namespace vlfwu_test {

using Clock = std::chrono::steady_clock;

inline Clock::time_point deadlineIn(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// Whole milliseconds left until the deadline; 0 once it has passed.
inline int msLeft(Clock::time_point deadline) {
  return static_cast<int>(std::max<long long>(0, (deadline - Clock::now()) / std::chrono::milliseconds(1)));
}

}  // namespace vlfwu_test
