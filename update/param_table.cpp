#include "update/param_table.h"

#include <algorithm>
#include <cstring>

#include "firmware/crc32.h"
#include "isp/isp_commands.h"
#include "isp/isp_transfer.h"
#include "isp/line_policy.h"
#include "support/console.h"
#include "update/update_log.h"

std::uint8_t tableBuf[kTableArea];

namespace {

constexpr std::uint32_t kPartIdWord512K = 0;
constexpr std::uint32_t kPartIdWord256K = 0x44;

}  // namespace

t_ParamTable tableFromBuffer() {
  t_ParamTable table;
  std::memcpy(&table, tableBuf, sizeof table);
  return table;
}

void fillRecordFromTable(t_DeviceInfo* record, const t_ParamTable* table, int r) {
  record->firmwareVersion = (r == kTableSound) ? table->firmwareVersion : 0;
  record->modelNumber = static_cast<std::uint16_t>((table->identityWord >> 24) & 0xFF);
  record->pcbRevision = static_cast<std::uint16_t>((table->identityWord >> 16) & 0xFF);
  record->idByte1 = static_cast<std::uint16_t>((table->identityWord >> 8) & 0xFF);
  record->idByte0 = static_cast<std::uint16_t>(table->identityWord & 0xFF);
  // The flash may hold 32 name bytes without a NUL; the record's name is always a string.
  constexpr std::size_t kNameMax = sizeof record->nameBuf - 1;
  std::size_t length = 0;
  while (length < kNameMax && table->productName[length] != '\0') {
    ++length;
  }
  std::memcpy(record->nameBuf, table->productName, length);
  std::memset(record->nameBuf + length, 0, sizeof record->nameBuf - length);
}

std::uint32_t layoutTableAddress(int layout) {
  if (layout == kLayout512K) {
    return kTableAddress512K;
  }
  return layout == kLayout256K ? kTableAddress256K : 0;
}

int detectFlashLayout() {
  std::uint32_t words[2] = {0, 0};
  if (nxpReadPartId(words) != kPartIdRead) {
    return kLayoutUnread;
  }
  if (words[1] == kPartIdWord512K) {
    return kLayout512K;
  }
  if (words[1] == kPartIdWord256K) {
    return kLayout256K;
  }
  return kLayoutUnknown;
}

namespace {

bool tableCrcSound(const t_ParamTable& table) {
  return table.tableLength <= kTableArea &&
         crc32Update(crc32Init(), tableBuf, table.tableLength) == kCrc32Residue;
}

// Reads the table at address into tableBuf: its first `least` bytes (the record's, at the
// fewest), then the rest that the CRC of a table of the current form covers; the rest of the
// area is left as erased flash reads. Only what a check looks at crosses the line: the page's
// padding is proven by the compares of the block that wrote it. False when a read failed.
bool readTable(std::uint32_t address, std::uint32_t least) {
  std::memset(tableBuf, 0xFF, sizeof tableBuf);
  const std::uint32_t head = (std::max<std::uint32_t>(least, sizeof(t_ParamTable)) + 3) & ~3u;
  if (address == 0 || head > kTableArea ||
      nxpReadMemory(tableBuf, address, head) != static_cast<int>(head)) {
    return false;
  }
  const t_ParamTable table = tableFromBuffer();
  if (table.magic != kTableMagic || table.tableLength <= head || table.tableLength > kTableArea) {
    return true;
  }
  const std::uint32_t rest = ((table.tableLength + 3) & ~3u) - head;
  return nxpReadMemory(tableBuf + head, address + head, rest) == static_cast<int>(rest);
}

// queryTable without its message: *crcBad tells whether a table of the current form failed
// its own CRC (also when the firmware read after it failed).
int readAndCheckTable(t_DeviceInfo* record, bool* crcBad) {
  *crcBad = false;
  if (record != nullptr) {
    record->firmwareVersion = 0;
    record->modelNumber = 0;
    record->pcbRevision = 0;
    record->idByte1 = 0;
    record->idByte0 = 0;
    record->nameBuf[0] = '\0';
  }

  const int layout = detectFlashLayout();
  if (layout == kLayoutUnknown || layout == kLayoutUnread) {
    return kTableUnreadable;
  }
  if (!readTable(layoutTableAddress(layout), 0)) {
    return kTableUnreadable;
  }
  const t_ParamTable table = tableFromBuffer();
  if (table.magic != kTableMagic && table.magic != kTableMagicOld) {
    return kTableMissing;
  }

  int r = kTableSound;
  if (table.magic == kTableMagic) {
    // A bad table CRC is reported but decides nothing here: the firmware check below does.
    *crcBad = !tableCrcSound(table);
    if (table.checkLength > kMaxCheckLength) {
      r = kTableCheckTooLong;
    } else {
      std::uint8_t checkBuf[kMaxCheckLength];
      const int got = nxpReadMemory(checkBuf, table.checkAddress, table.checkLength);
      if (got <= 0 || static_cast<std::uint32_t>(got) != table.checkLength) {
        return kTableUnreadable;
      }
      const std::uint32_t crc =
          crc32Final(crc32Update(crc32Init(), checkBuf, table.checkLength));
      if (crc != table.checkCrc) {
        r = kTableFirmwareBad;
      }
    }
  }

  if (record != nullptr) {
    fillRecordFromTable(record, &table, r);
  }
  return r;
}

void reportTableCrc(bool crcBad) {
  if (crcBad) {
    conPuts("\nParameter table has a bad CRC!\n");
  }
}

}  // namespace

int checkWrittenTable(std::uint32_t address, const std::uint8_t* params, std::uint32_t length) {
  if (length > kTableArea || !readTable(address, length)) {
    return kTableUnreadable;
  }
  const bool asWritten = std::memcmp(tableBuf, params, length) == 0;
  // A table of another form is judged by the restart, as it always was.
  const t_ParamTable table = tableFromBuffer();
  return asWritten && (table.magic != kTableMagic || tableCrcSound(table)) ? kTableSound
                                                                          : kTableNotAsWritten;
}

int readFlashIdentity(int layout, t_DeviceInfo* record, bool* crcSound) {
  *crcSound = false;
  if (!readTable(layoutTableAddress(layout), 0)) {
    return kFlashIdentityUnreadable;
  }
  const t_ParamTable table = tableFromBuffer();
  if (table.magic != kTableMagic && table.magic != kTableMagicOld) {
    return kFlashIdentityNoTable;
  }
  *crcSound = table.magic != kTableMagic || tableCrcSound(table);
  fillRecordFromTable(record, &table, kTableSound);
  return kFlashIdentityRead;
}

int queryTable(t_DeviceInfo* record) {
  bool crcBad = false;
  const int r = readAndCheckTable(record, &crcBad);
  reportTableCrc(crcBad);
  return r;
}

int reboot() {
  bool crcBad = false;
  int r = readAndCheckTable(nullptr, &crcBad);
  // Read again before the update is called failed: the read itself may have been hit.
  for (int read = 1; read < kTableReads && crcBad; ++read) {
    r = readAndCheckTable(nullptr, &crcBad);
  }
  reportTableCrc(crcBad);
  if (r == kTableSound && crcBad) {
    // Right after an update a table that fails its own CRC is a table written wrongly: the
    // firmware is not started on it.
    r = kRebootCrcFailed;
  }
  updateLogTableCheck(r);
  if (r != kTableSound) {
    conStdPrintf("reboot: queryTable error: %d\n", r);
    return r;
  }
  const t_ParamTable table = tableFromBuffer();
  if (table.magic != kTableMagic) {
    conStdPrintf("reboot: No vector table loaded.\n");
    return kRebootOldTable;
  }
  if (nxpUnlock() != 0) {
    conStdPrintf("reboot: nxpUnlock error\n");
    return kRebootFailed;
  }
  // The G command names Thumb mode itself, so the address goes without its Thumb bit.
  // Only a refusal keeps the switch in its bootloader; a Go that went unanswered, or whose
  // answer was spoilt, is followed by the restart watch, which hears whether the switch came.
  if (nxpGo(table.entryAddress & ~1u) == kGoRefused) {
    conStdPrintf("reboot: nxpGo error\n");
    return kRebootFailed;
  }
  return kRebootOk;
}
