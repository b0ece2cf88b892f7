#include "driver/run_state.h"

#include <cstdio>
#include <cstdlib>

#include "driver/product_info.h"
#include "driver/run_log.h"
#include "support/console.h"
#include "support/platform.h"
#include "support/support_log.h"
#include "transport/serial.h"

int updateDone = 0;
std::uint32_t activityClock = 0;
int switchReady = 0;
int pauseOnExit = 0;
int lastUpdateResult = -1;

void printBanner() {
  conStdPrintf("\n%s. Version %d.%d", VLFWU_PRODUCT_NAME, VLFWU_VERSION_MAJOR, VLFWU_VERSION_MINOR);
  conStdPrintf("\n%s\n", VLFWU_LEGAL_NOTICE);
}

void exitProgram(int status) {
  comClose(&devicePort);
  logRunOutcome();
  if (pauseOnExit) {
    conPuts("\nPress any key to exit...");
    std::fflush(stdout);
    // An extended key comes as 0 and a second code; both belong to the one key press.
    if (platformGetKey() == 0) {
      platformGetKey();
    }
    conPutChar('\n');
  }
  std::fflush(stdout);
  logClose();
  std::exit(status);
}
