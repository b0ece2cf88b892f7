#include "driver/run_state.h"

#include <cstdio>
#include <cstdlib>

#include "support/platform.h"
#include "transport/serial.h"

int updateDone = 0;
std::uint32_t activityClock = 0;
int switchReady = 0;
int pauseOnExit = 0;

void printBanner() {
  std::printf("\nValtrane / Omrix firmware update utility. Version %d.%d", 2, 4);
  std::printf("\nCopyright (c) Valtrane Audio. All rights reserved. For use with Valtrane products only.\n");
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
