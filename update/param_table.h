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

// The table area last read (512 bytes).
extern std::uint8_t tableBuf[kTableArea];

// 1 for a 512 KB bank, 2 for 256 KB, 0 unknown.
int detectFlashLayout();
// 0 sound (or older form); 1 unknown layout or failed read; 3 unknown magic; 4 checkLength
// too large; 5 firmware bytes do not match. Fills record (if given) for 0, 4 and 5.
int queryTable(t_DeviceInfo* record);
// 0 restarted; 1, 3, 4, 5 from queryTable; 6 older-form table; 1 Unlock or Go failed.
int reboot();

// The table as it lies in the first bytes of tableBuf.
t_ParamTable tableFromBuffer();
// Fills record from a table read with queryTable's result r (0, 4 or 5): the version only
// when r is 0, the identity bytes, and the name, always NUL-terminated within nameBuf
// whatever bytes the table holds. productName is left to the caller.
void fillRecordFromTable(t_DeviceInfo* record, const t_ParamTable* table, int r);
