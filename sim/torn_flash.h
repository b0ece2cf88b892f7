#pragma once
// What an erase leaves when the power fails in its middle. The chip erases a sector by first
// programming every bit to 0 and then erasing the whole sector at once, so an interrupted
// erase leaves each 512-byte page in one of four states: erased (0xFF), untouched (its old
// data: the erase had not reached it), all 0x00 (programmed to 0, not yet erased), or mixed
// (in the erase pulse: some bytes already erased, the others still 0x00).
#include <cstdint>
#include <string>

#include "sim/faults.h"
#include "sim/flash_model.h"

namespace sim {

constexpr char kPageErased = 'E';
constexpr char kPageUntouched = 'U';
constexpr char kPageZeroed = 'Z';
constexpr char kPageMixed = 'M';

// Tears the erase of sectors first..last of bank: every page gets a fate drawn from choice.
// Returns the fates, one letter per page in address order.
std::string tearErase(Memory& memory, int bank, int first, int last, SeededChoice& choice);

}  // namespace sim
