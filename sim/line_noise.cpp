#include "sim/line_noise.h"

namespace sim {

BitErrors::BitErrors(double rate, std::uint64_t seed) : rate_(rate), random_(seed) {
  if (active()) drawGap();
}

void BitErrors::drawGap() {
  // The distance between two errors is geometric: one draw per error instead of one per bit.
  std::geometric_distribution<std::uint64_t> gap(rate_ < 1.0 ? rate_ : 1.0);
  bitsToNextError_ = gap(random_);
}

std::uint8_t BitErrors::pass(std::uint8_t byte, std::uint8_t* flipped) {
  std::uint8_t mask = 0;
  if (active()) {
    for (int bit = 0; bit < 8; ++bit) {
      if (bitsToNextError_ == 0) {
        mask = static_cast<std::uint8_t>(mask | (1u << bit));
        drawGap();
      } else {
        --bitsToNextError_;
      }
    }
  }
  if (flipped) *flipped = mask;
  return static_cast<std::uint8_t>(byte ^ mask);
}

}  // namespace sim
