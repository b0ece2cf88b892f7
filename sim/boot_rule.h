#pragma once
// What the chip starts at reset when its ISP pin is not held: the code in bank A when the
// first eight words there sum to zero (the ROM's valid-code mark, which an all-zero page also
// has), else the bootloader. The simulated switch then plays the code it would start: sound
// firmware (its region passes its own CRC-32, the length taken from the parameter table) runs;
// anything else that carries the mark (vectors that point nowhere, or a region that fails its
// CRC) is damaged code, which crashes at once and stays silent until the power is cycled.
// Without a parameter table to give the length, sane vectors are all that can be checked.
#include <string>

#include "sim/flash_model.h"

namespace sim {

enum class BootTarget { Bootloader, Firmware, CrashingCode };

struct BootDecision {
  BootTarget target;
  std::string why;  // for the transcript
};

BootDecision decideBoot(const Memory& memory);

}  // namespace sim
