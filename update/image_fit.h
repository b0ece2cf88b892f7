#pragma once
// Whether an image can be written to the switch's flash the way the update sequence writes
// it (each region erased as its own run of sectors in one bank, programmed in 512-byte pages
// from its start, the table's sectors erased after the firmware is in), and whether the
// switch will then start it and find its table.
#include <cstdint>

#include "firmware/image.h"

// Results of checkImageFit and checkTableLayout.
constexpr int kFitSound = 0;
constexpr int kFitRegionSize = 1;     // firmware shorter than its head block, or no table
constexpr int kFitOutsideFlash = 2;   // a region starts outside the flash or leaves its bank
constexpr int kFitMisaligned = 3;     // a region does not start on a 512-byte page
constexpr int kFitSharedSector = 4;   // the table's erase would take firmware with it
constexpr int kFitFirmwareAddress = 5;  // the firmware region is not where the chip boots from
constexpr int kFitTableAddress = 6;   // the table is at neither place the switch reads it from
constexpr int kFitNotBootable = 7;    // the first eight vector words do not sum to 0
constexpr int kFitOtherLayout = 8;    // the switch on the line keeps its table elsewhere

// Checks the image's firmware and parameter-table regions against the flash map and the
// chip's boot rules, printing one message for the first rule broken. image is a record that
// validateImage has filled (header, and the firmware region of firmwareLength bytes). Needs
// nothing from the switch, so it runs before the switch is touched and on images that are only
// being built.
int checkImageFit(const t_FirmwareImage* image);

// Whether a table at paramAddress is where a switch of the given flash layout (as
// detectFlashLayout reports it) keeps it: kFitSound, or kFitOtherLayout with its message.
int checkTableLayout(std::uint32_t paramAddress, int layout);
