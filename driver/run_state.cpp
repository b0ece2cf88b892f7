#include "driver/run_state.h"

#include <cstdio>
#include <cstdlib>

#include "driver/product_info.h"
#include "support/platform.h"
#include "transport/serial.h"

int updateDone = 0;
std::uint32_t activityClock = 0;
int switchReady = 0;
int pauseOnExit = 0;

void printBanner() {
  std::printf("\n%s. Version %d.%d", VLFWU_PRODUCT_NAME, VLFWU_VERSION_MAJOR, VLFWU_VERSION_MINOR);
  std::printf("\n%s\n", VLFWU_LEGAL_NOTICE);
}

void exitProgram(int status) {
  comClose(&devicePort);
  if (pauseOnExit) {
    std::fputs("\nPress any key to exit...", stdout);
    std::fflush(stdout);
    // An extended key comes as 0 and a second code; both belong to the one key press.
    if (platformGetKey() == 0) {
      platformGetKey();
    }
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
  std::exit(status);
}
