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

constexpr int kIdentityLineRoom = 100;
// The firmware acknowledges with "^+" before its identity line. A switch that sends nothing
// else must not hold the program forever, so only this many are passed over.
constexpr int kMaxAcknowledgements = 8;

}  // namespace

int queryIdentity(t_DeviceInfo* record) {
  if (record == nullptr) {
    return kIdentityLineMissing;
  }
  comWrite(&devicePort, "^V$", 3);
  record->modelNumber = 0;
  record->pcbRevision = 0;
  record->firmwareVersion = 0;
  record->hexWord = 0xFFFFFFFF;
  record->nameBuf[0] = '\0';

  char line[kIdentityLineRoom];
  for (int acknowledgements = 0; acknowledgements <= kMaxAcknowledgements; ++acknowledgements) {
    if (devReadDollarLine(line, sizeof line) < 0) {
      return kIdentityLineMissing;
    }
    if (std::strcmp(line, "^+") != 0) {
      return parseIdentity(record, line);
    }
  }
  return kIdentityLineMissing;
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
    return kIdentifyNoAnswer;
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
