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
// The copy's exchange went wrong and the compare does not show the block in place: the
// block's sectors may hold anything and must be erased and written again. Never the final
// status of an update (it becomes kStatusCommand when the mending gives up).
constexpr unsigned kStatusSuspect = 5;
// The table read back before the head block is not the image's (writeImage only).
constexpr unsigned kStatusTableBad = 6;
// The line's budget for the update was spent before the head block (writeImage only).
constexpr unsigned kStatusLineBudget = 7;

constexpr int kBootloaderReady = 0;        // synchronised, echo on, ready for commands
constexpr int kBootloaderNoAnswer = 1;     // nothing answered
constexpr int kBootloaderNotEntered = 2;   // the firmware answered, the bootloader did not after
int enterBootloader();
// One of the status codes above.
unsigned programBlock(std::uint32_t address, const std::uint8_t* data, std::uint32_t length);

constexpr int kUpdateOk = 0;        // programmed, verified and restarted into its firmware
constexpr int kUpdateFailed = 1;    // any other failure; a message has been printed
constexpr int kUpdateMismatch = 2;  // a compare found a difference; a message has been printed
int updateFirmware(const t_FirmwareImage* image);

// Percentage of the firmware region written while remaining bytes are still to go, in
// unsigned 32-bit arithmetic with the quotient truncated; 0 for an empty region.
unsigned progressPercent(std::uint32_t firmwareLength, std::uint32_t remaining);

// The firmware region's first bytes, held back and written last.
constexpr std::uint32_t kHeadBlockBytes = 512;
