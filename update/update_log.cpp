#include "update/update_log.h"

#include "support/support_log.h"
#include "update/flash_update.h"
#include "update/param_table.h"

namespace {

const char* tableCheckName(int result) {
  switch (result) {
    case kTableSound: return "sound";
    case kTableUnreadable: return "unreadable (unknown flash layout, or a read failed)";
    case kTableMissing: return "no parameter table (unknown magic number)";
    case kTableCheckTooLong: return "its firmware check length is above 4096";
    case kTableFirmwareBad: return "the firmware's first bytes do not match the table's CRC";
    case kRebootCrcFailed: return "the table fails its own CRC twice right after the update";
    case kTableNotAsWritten: return "the table read back before the head block is not the image's";
    default: return "unknown result";
  }
}

}  // namespace

int updateLogTableCheck(int result) {
  logEventFormat("step", "table check: %s (%d)", tableCheckName(result), result);
  return result;
}

int updateLogRestart(int result) {
  switch (result) {
    case kRebootOk:
      logEvent("step", "restart: the G command went out and was not refused (the go record tells how it was answered); the restart watch follows");
      break;
    case kRebootOldTable:
      logEvent("step", "restart: refused, the table is of the older form (6)");
      break;
    case kRebootFailed:
      logEvent("step", "restart: failed, Unlock or G refused, or the table unreadable (1)");
      break;
    default:
      logEventFormat("step", "restart: refused, table check: %s (%d)", tableCheckName(result), result);
      break;
  }
  return result;
}

int updateLogResult(int result) {
  switch (result) {
    case kUpdateOk:
      logEvent("step", "update: programmed, verified and restarted (0)");
      break;
    case kUpdateMismatch:
      logEvent("step", "update: failed, a compare found a difference (2)");
      break;
    default:
      logEventFormat("step", "update: failed (%d)", result);
      break;
  }
  return result;
}

void updateLogBudget(unsigned repeated, unsigned exchanges) {
  logEventFormat("step", "line budget: spent, %u of %u exchanges repeated; stopped before the head block",
                 repeated, exchanges);
}

void updateLogFlashIdentity(int result, unsigned model, unsigned pcbRevision, bool crcSound) {
  if (result == kFlashIdentityRead) {
    logEventFormat("step", "flash identity: the table names model %u, PCB revision %u%s", model,
                   pcbRevision, crcSound ? "" : " (it fails its own CRC)");
  } else {
    logEvent("step", result == kFlashIdentityNoTable ? "flash identity: no parameter table"
                                                     : "flash identity: the table could not be read");
  }
}

void updateLogRefusal(const char* line, const char* code) {
  logEventFormat("step", "refused: \"%s\" with return code %s, its echo exact every time", line, code);
}

void updateLogNoisySync() { logEvent("step", "sync: answers came, but spoilt: a noisy line"); }
