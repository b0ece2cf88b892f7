#pragma once
// Display of packed firmware versions, the aligned two-line comparison and the Y/N question
// asked before a switch's flash is changed.
#include <cstdint>

#include "firmware/device_info.h"
#include "firmware/image.h"

// A name as the messages show it, bounded to the identity record's name storage: a table
// name read out of flash may fill all 32 bytes without a terminator.
struct t_ShownName {
  char text[sizeof(t_DeviceInfo::nameBuf) + 1];
};
t_ShownName boundedName(const char* name);
// The one name by which every message calls the switch: the name it reported; when that is
// empty or missing, the product table's name for its model and PCB revision; failing that the
// image's product name (header may be null); and "Valtrane device" as the last resort.
t_ShownName shownDeviceName(const t_DeviceInfo* device, const t_FirmwareHeader* header);

// Display text of a packed version; static storage, overwritten by the next call.
const char* versionText(std::uint32_t version);
// Columns the display text is reckoned to take (assumes at most two-digit numbers).
int versionWidth(std::uint32_t version);
void printVersionField(std::uint32_t version, int spaces);
void showVersions(const t_DeviceInfo* device, const t_FirmwareHeader* header);
// Waits for Y or N (either case; other keys are ignored) and returns the capital letter. The
// end of keyboard input counts as N: nothing is ever changed without an explicit Y.
int readYesNo();
// Reads one key press, both codes of an extended key, and returns its first code
// (kKeyEndOfInput once the input has ended).
int discardKey();
// Reads and drops every key already typed at a terminal, so that none of them can answer the
// next question: called right before a question or prompt is printed. Input from a pipe or a
// file is left alone: its bytes answer the questions in turn.
void discardWaitingKeys();
// 1 to go ahead with the update, 0 not to. End of keyboard input counts as N.
int confirmUpdate(const t_DeviceInfo* device, const t_FirmwareImage* image);
