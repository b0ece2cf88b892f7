#pragma once
// Seeding the simulated flash as a finished update would leave it: a container image's
// firmware region and parameter table programmed at the addresses its header names, the rest
// of the table's 512-byte area 0xFF, with the identity overrides and deliberate defects that
// the test scenarios need.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/flash_model.h"
#include "sim/switch_sim.h"

namespace sim {

// The simulator's own CRC-32 (reflected, polynomial 0xEDB88320, byte-wise table), kept apart
// from the utility's so that a fault in one cannot hide in the other.
std::uint32_t simCrc32(const std::uint8_t* bytes, std::size_t count);

// Programs the image file options.installImage into memory (which it erases first) and
// applies the options' overrides. False with a reason when the image cannot be used.
bool installImage(const Options& options, Memory* memory, std::string* error);

// Same, from bytes already in memory.
bool installImageBytes(const std::vector<std::uint8_t>& image, const Options& options,
                       Memory* memory, std::string* error);

// The valid-code mark: the first eight words at address add up to zero.
bool validCodeAt(const Memory& memory, std::uint32_t address);

// Address of the parameter table for a bank size.
std::uint32_t tableAddressFor(std::uint32_t bankSize);

}  // namespace sim
