#pragma once
// One firmware update: bootloader entry, erase, block-by-block programming with a compare
// after each block, the head block last, then the restart.
#include <cstdint>

#include "firmware/image.h"

// Status codes of programBlock and of the erase steps.
constexpr unsigned kStatusOk = 0;
constexpr unsigned kStatusRamWrite = 1;
constexpr unsigned kStatusMismatch = 2;
constexpr unsigned kStatusAddress = 3;
constexpr unsigned kStatusCommand = 4;

// 0 bootloader synchronised; 1 nothing answered; 2 firmware answered but no bootloader after.
int enterBootloader();
unsigned programBlock(std::uint32_t address, const std::uint8_t* data, std::uint32_t length);
// 0 success and restarted; 2 a compare found a difference; 1 any other failure.
int updateFirmware(const t_FirmwareImage* image);

// Percentage of the firmware region written while remaining bytes are still to go, in
// unsigned 32-bit arithmetic with the quotient truncated; 0 for an empty region.
unsigned progressPercent(std::uint32_t firmwareLength, std::uint32_t remaining);

// The firmware region's first bytes, held back and written last.
constexpr std::uint32_t kHeadBlockBytes = 512;
