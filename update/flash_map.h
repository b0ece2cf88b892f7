#pragma once
// The two-bank flash of the switch's microcontroller and the RAM staging area.
#include <cstdint>

constexpr std::uint32_t kRamStagingAddress = 0x10000000;
constexpr std::uint32_t kBankAAddress = 0x1A000000;
constexpr std::uint32_t kBankBAddress = 0x1B000000;

// 0 and both outputs filled for an address in the flash map; 1 otherwise (outputs untouched).
int flashSectorOf(std::uint32_t address, std::uint8_t* bank, std::uint8_t* sector);

// The bank and the first and last sector of the length bytes from address. 0 and the outputs
// filled when the range is not empty, lies in the flash map and stays within one bank; 1
// otherwise (outputs untouched). Outputs may be null.
int flashRangeOf(std::uint32_t address, std::uint32_t length, std::uint8_t* bank,
                 std::uint8_t* firstSector, std::uint8_t* lastSector);

// The first address of a sector of a bank, and the sector's size (8 KB for sectors 0 to 7,
// 64 KB above). Sector numbers beyond 14 are not checked.
std::uint32_t flashSectorStart(std::uint8_t bank, std::uint8_t sector);
std::uint32_t flashSectorSize(std::uint8_t sector);
