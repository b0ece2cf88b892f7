#include "isp/isp_log.h"

#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "support/support_log.h"

namespace {

// How a reply reads in the log: what came, or that nothing did.
void logWithReply(const char* step, const char* outcome, const char* reply) {
  if (reply == nullptr || reply[0] == '\0') {
    logEventFormat("step", "%s: %s (no answer line within 500 ms)", step, outcome);
  } else {
    logEventFormat("step", "%s: %s (answer \"%s\")", step, outcome, reply);
  }
}

}  // namespace

int ispLogSync(int result) {
  switch (result) {
    case kSyncBootloader:
      logEventFormat("step", "sync: the bootloader is synchronised, echo off, at %d baud", currentBaud);
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

int ispLogReply(const char* step, int result, const char* reply) {
  logWithReply(step, result == 0 ? "ok" : "failed", reply);
  return result;
}

int ispLogCompare(int result, const char* reply) {
  const char* outcome = result == kCompareEqual       ? "equal"
                        : result == kCompareDifferent ? "different (COMPARE_ERROR)"
                                                      : "failed";
  logWithReply("compare", outcome, reply);
  return result;
}

void ispLogPartId(const std::uint32_t words[2]) {
  const char* bank = words[1] == 0 ? "512 KB bank" : words[1] == 0x44 ? "256 KB bank" : "unknown flash layout";
  logEventFormat("step", "part identification: 0x%04X, 0x%X (%s)", static_cast<unsigned>(words[0]),
                 static_cast<unsigned>(words[1]), bank);
}
