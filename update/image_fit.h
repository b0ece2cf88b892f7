#pragma once
// Whether an image's two regions can be written to the switch's flash the way the update
// sequence writes them: each erased as its own run of sectors in one bank, programmed in
// 512-byte pages from its start, the table's sectors erased after the firmware is in.
#include "firmware/image.h"

// Results of checkImageFit.
constexpr int kFitSound = 0;
constexpr int kFitRegionSize = 1;     // firmware shorter than its head block, or no table
constexpr int kFitOutsideFlash = 2;   // a region starts outside the flash or leaves its bank
constexpr int kFitMisaligned = 3;     // a region does not start on a 512-byte page
constexpr int kFitSharedSector = 4;   // the table's erase would take firmware with it

// Checks the header's firmware and parameter-table regions against the flash map, printing
// one message for the first rule broken. Needs nothing but the header, so it runs before the
// switch is touched and on images that are only being built.
int checkImageFit(const t_FirmwareHeader* header);
