#pragma once
// Display of packed firmware versions, the aligned two-line comparison and the Y/N question
// asked before a switch's flash is changed.
#include <cstdint>

#include "firmware/device_info.h"
#include "firmware/image.h"

// Display text of a packed version; static storage, overwritten by the next call.
const char* versionText(std::uint32_t version);
// Columns the display text is reckoned to take (assumes at most two-digit numbers).
int versionWidth(std::uint32_t version);
void printVersionField(std::uint32_t version, int spaces);
void showVersions(const t_DeviceInfo* device, const t_FirmwareHeader* header);
// Waits for Y or N (either case; other keys are ignored) and returns the capital letter. The
// end of keyboard input counts as N: nothing is ever changed without an explicit Y.
int readYesNo();
// 1 to go ahead with the update, 0 not to. End of keyboard input counts as N.
int confirmUpdate(const t_DeviceInfo* device, const t_FirmwareImage* image);
