#include "update/identify.h"

#include <cstring>

#include "firmware/device_state.h"
#include "firmware/identity_parse.h"
#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "support/clock.h"
#include "transport/serial.h"
#include "update/param_table.h"
#include "update/update_log.h"

namespace {

// The firmware acknowledges with "^+" before its identity line. A switch that sends nothing
// else must not hold the program forever, so only this many are passed over.
constexpr int kMaxAcknowledgements = 8;

// One "^V$" and the line that answers it, past the acknowledgements: kIdentityLineOk for a
// line that came whole, kIdentityLineGarbled for one with a byte no frame holds,
// kIdentityLineMissing when none came.
int readIdentityLine(char* line, int size) {
  comWrite(&devicePort, "^V$", 3);
  for (int acknowledgements = 0; acknowledgements <= kMaxAcknowledgements; ++acknowledgements) {
    bool garbled = false;
    const int length = devReadFrameLine(line, size, &garbled);
    // A '^' starts a frame, so none stands within one: a second is a frame end that was lost.
    if (garbled || (length > 0 && std::strchr(line + 1, '^') != nullptr)) {
      return kIdentityLineGarbled;
    }
    if (length < 0) {
      return kIdentityLineMissing;
    }
    if (std::strcmp(line, "^+") != 0) {
      return kIdentityLineOk;
    }
  }
  return kIdentityLineMissing;
}

void clearIdentity(t_DeviceInfo* record) {
  record->modelNumber = 0;
  record->pcbRevision = 0;
  record->firmwareVersion = 0;
  record->hexWord = 0xFFFFFFFF;
  record->nameBuf[0] = '\0';
}

}  // namespace

char identityLineSeen[kIdentityLineRoom];

int queryIdentity(t_DeviceInfo* record) {
  identityLineSeen[0] = '\0';
  if (record == nullptr) {
    return kIdentityLineMissing;
  }
  clearIdentity(record);
  // Nothing the console says carries a checksum, and a digit that takes a bit error may still
  // be a digit (a PCB revision 4 read as 5 names another product): a line counts only when
  // two reads in a row came whole, alike and well-formed.
  char line[kIdentityLineRoom];
  char before[kIdentityLineRoom] = "";
  int result = kIdentityLineMissing;
  bool answered = false;
  int silent = 0;
  for (int read = 0; read < kIdentityReads; ++read) {
    result = readIdentityLine(line, sizeof line);
    // A request spoilt on its way gets no answer at all (the firmware drops a frame it could
    // not read): asked again, but a console that stays silent is not asked again and again.
    silent = result == kIdentityLineMissing ? silent + 1 : 0;
    answered = answered || result != kIdentityLineMissing;
    if (silent == kIdentitySilentReads) {
      break;
    }
    if (result == kIdentityLineOk) {
      t_DeviceInfo scratch = *record;
      result = parseIdentity(&scratch, line);
    }
    if (result == kIdentityLineOk && std::strcmp(line, before) == 0) {
      return parseIdentity(record, line);
    }
    if (result != kIdentityLineMissing) {
      std::memcpy(identityLineSeen, line, sizeof identityLineSeen);
    }
    if (result == kIdentityLineOk) {
      std::memcpy(before, line, sizeof before);
    } else {
      before[0] = '\0';
    }
  }
  if (!answered) {
    return kIdentityLineMissing;
  }
  // Lines came, but never two alike and whole.
  return result == kIdentityLineOk || result == kIdentityLineMissing ? kIdentityLineGarbled : result;
}

int identifyDevice() {
  if (currentBaud == 0) {
    return kIdentifyNoPort;
  }
  deviceState = kStateUnknown;
  const int answer = nxpSync();
  if (answer == kSyncBootloader) {
    deviceState = kStateBootloader;
  } else if (answer == kSyncFirmware) {
    deviceState = kStateFirmware;
  } else {
    return syncHeardSpoilt ? kIdentifyNoisy : kIdentifyNoAnswer;
  }
  clockDelay(20);
  devFlushInput();

  if (deviceState == kStateFirmware) {
    return queryIdentity(&deviceInfo) == kIdentityLineOk ? kIdentified : kIdentifyUnreadable;
  }

  const int r = updateLogTableCheck(queryTable(&tableInfo));
  if (r == kTableSound || r == kTableCheckTooLong || r == kTableFirmwareBad) {
    deviceInfo.firmwareVersion = tableInfo.firmwareVersion;
    deviceInfo.modelNumber = tableInfo.modelNumber;
    deviceInfo.pcbRevision = tableInfo.pcbRevision;
    deviceInfo.idByte1 = tableInfo.idByte1;
    deviceInfo.idByte0 = tableInfo.idByte0;
    std::memcpy(deviceInfo.nameBuf, tableInfo.nameBuf, sizeof deviceInfo.nameBuf);
    deviceInfo.nameBuf[sizeof deviceInfo.nameBuf - 1] = '\0';
    deviceInfo.productName = deviceInfo.nameBuf;
    return kIdentified;
  }
  if (r == kTableMissing) {
    deviceState = kStateBootloaderNoTable;
    return kIdentified;
  }
  // The flash could not be read (kTableUnreadable).
  deviceState = kStateUnknown;
  return kIdentifyUnreadable;
}
