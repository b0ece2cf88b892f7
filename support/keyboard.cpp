// The keyboard as the program reads it: the platform's key, recorded in the support log.
#include "support/platform.h"
#include "support/support_log.h"

int platformGetKey() {
  // The wait for a key may be long, or end with the window closed: the log is complete first.
  logBeforeKey();
  return logKey(platformReadKey());
}
