#pragma once
// The parameter table at the end of the switch's first flash bank: reading it back through
// the bootloader, checking it, and restarting the switch into its firmware.
#include <cstdint>

#include "firmware/device_info.h"

struct t_ParamTable {
  std::uint32_t firmwareLength;
  std::uint32_t firmwareVersion;
  char productName[32];
  std::uint32_t magic;
  std::uint32_t identityWord;  // model 31..24, PCB revision 23..16, id bytes 15..8 and 7..0
  std::uint32_t tableLength;
  std::uint32_t checkAddress;
  std::uint32_t checkLength;
  std::uint32_t checkCrc;
  std::uint8_t fill[68];
  std::uint32_t entryAddress;
  std::uint32_t reserved;
  std::uint32_t tableCrc;
};
static_assert(sizeof(t_ParamTable) == 0x90);

constexpr std::uint32_t kTableMagic = 0x1E3CA502;
constexpr std::uint32_t kTableMagicOld = 0x1E3CA501;
constexpr std::uint32_t kTableArea = 512;
constexpr std::uint32_t kMaxCheckLength = 4096;
constexpr std::uint32_t kTableAddress512K = 0x1A07FE00;
constexpr std::uint32_t kTableAddress256K = 0x1A03FE00;

// The table area last read (512 bytes): the table's bytes as read, the rest as erased flash.
extern std::uint8_t tableBuf[kTableArea];

// The size of the flash bank at 0x1A000000, from the part identification's second word.
constexpr int kLayoutUnknown = 0;  // the table is not read
constexpr int kLayout512K = 1;     // table at kTableAddress512K
constexpr int kLayout256K = 2;     // table at kTableAddress256K
constexpr int kLayoutUnread = 3;   // the part identification was not read: the table is not read
int detectFlashLayout();
// Where a switch of the layout keeps its table; 0 for kLayoutUnknown and kLayoutUnread.
std::uint32_t layoutTableAddress(int layout);

constexpr int kTableSound = 0;          // also a table of the older form, which is not checked
constexpr int kTableUnreadable = 1;     // unknown layout, or a read through the bootloader failed
constexpr int kTableMissing = 3;        // the magic number is neither known value
constexpr int kTableCheckTooLong = 4;   // checkLength above 4096
constexpr int kTableFirmwareBad = 5;    // the firmware bytes do not match checkCrc
// Fills record (if given) for kTableSound, kTableCheckTooLong and kTableFirmwareBad.
int queryTable(t_DeviceInfo* record);

// Reads back the table just written at address, before the head block goes in: kTableSound
// when it holds the image's length table bytes and, in the current form, passes its own CRC
// (the page's padding was proven by the compares of its block); kTableUnreadable, or
// kTableNotAsWritten for a table that is otherwise.
constexpr int kTableNotAsWritten = 7;
int checkWrittenTable(std::uint32_t address, const std::uint8_t* params, std::uint32_t length);

// The identity the switch's own flash holds, read before anything is erased: the table's first
// bytes (all that its CRC covers) at the layout's address, each read block proven by its sum.
constexpr int kFlashIdentityRead = 0;        // a table of a known form: record filled
constexpr int kFlashIdentityNoTable = 1;     // the magic number is neither known value
constexpr int kFlashIdentityUnreadable = 2;  // unknown layout, or the read failed
// *crcSound tells whether a table of the current form passes its own CRC (true for the older
// form, which has none).
int readFlashIdentity(int layout, t_DeviceInfo* record, bool* crcSound);

constexpr int kRebootOk = 0;        // the G command was accepted
constexpr int kRebootFailed = 1;    // Unlock or G failed (or queryTable's kTableUnreadable)
constexpr int kRebootCrcFailed = 2; // the table fails its own CRC, also when read a second time
constexpr int kRebootOldTable = 6;  // the table is of the older form, without a vector table
// kRebootOk; queryTable's result when that was not kTableSound; kRebootCrcFailed;
// kRebootOldTable; kRebootFailed. Called right after an update only.
int reboot();

// The table as it lies in the first bytes of tableBuf.
t_ParamTable tableFromBuffer();
// Fills record from a table read with queryTable's result r (0, 4 or 5): the version only
// when r is 0, the identity bytes, and the name, always NUL-terminated within nameBuf
// whatever bytes the table holds. productName is left to the caller.
void fillRecordFromTable(t_DeviceInfo* record, const t_ParamTable* table, int r);
