#pragma once
// Random bit errors on one direction of the serial line: each bit of each byte is flipped with
// a set probability, drawn from a generator seeded once, so that a run repeats exactly when the
// same bytes cross the line.
#include <cstdint>
#include <random>

namespace sim {

class BitErrors {
 public:
  // rate 0 (or below) never flips anything and draws nothing.
  BitErrors(double rate, std::uint64_t seed);

  // The byte as it arrives; *flipped (if given) receives the mask of the bits that changed.
  std::uint8_t pass(std::uint8_t byte, std::uint8_t* flipped = nullptr);
  bool active() const { return rate_ > 0.0; }

 private:
  void drawGap();

  double rate_;
  std::mt19937_64 random_;
  std::uint64_t bitsToNextError_ = 0;  // clean bits before the next flipped one
};

}  // namespace sim
