#include "isp/isp_log.h"

#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "support/support_log.h"

int ispLogSync(int result) {
  switch (result) {
    case kSyncBootloader:
      logEventFormat("step", "sync: the bootloader is synchronised at %d baud", currentBaud);
      break;
    case kSyncFirmware:
      logEventFormat("step", "sync: the switch's firmware answered at %d baud", currentBaud);
      break;
    default:
      logEvent("step", "sync: nothing recognised in 4 attempts");
      break;
  }
  return result;
}

int ispLogCommand(const char* step, int result) {
  const char* outcome = result == kExchangeOk        ? "ok"
                        : result == kExchangeRefused ? "refused"
                                                    : "failed (no answer, a damaged one, or an echo that differs)";
  logEventFormat("step", "%s: %s", step, outcome);
  return result;
}

int ispLogCompare(int result) {
  const char* outcome = result == kCompareEqual       ? "equal"
                        : result == kCompareDifferent ? "different (COMPARE_ERROR)"
                                                      : "failed (no answer, a damaged one, or an echo that differs)";
  logEventFormat("step", "compare: %s", outcome);
  return result;
}

void ispLogPartId(const std::uint32_t words[2]) {
  const char* bank = words[1] == 0 ? "512 KB bank" : words[1] == 0x44 ? "256 KB bank" : "unknown flash layout";
  logEventFormat("step", "part identification: 0x%04X, 0x%X (%s)", static_cast<unsigned>(words[0]),
                 static_cast<unsigned>(words[1]), bank);
}

void ispLogPartIdUnread() {
  logEvent("step", "part identification: not read (no answer, or a damaged one, in every attempt)");
}

int ispLogGo(int result) {
  switch (result) {
    case kGoStarted:
      logEvent("step", "go: ok");
      break;
    case kGoNoAnswer:
      logEvent("step", "go: no answer (the bootloader may jump before it answers); the restart watch tells");
      break;
    case kGoStartedOtherLine:
      logEvent("step", "go: answered 0 to a line that arrived otherwise: the bootloader has left; the restart watch tells");
      break;
    case kGoRefused:
      logEvent("step", "go: refused; the bootloader stays");
      break;
    default:
      logEvent("step", "go: the answer was damaged in every attempt; the restart watch tells");
      break;
  }
  return result;
}
