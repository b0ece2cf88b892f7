// vlfwu: console firmware-update utility for Valtrane audio matrix switches.
#include <cstdint>
#include <cstdio>

#include "driver/port_argument.h"
#include "driver/run_log.h"
#include "driver/run_state.h"
#include "driver/scan_loop.h"
#include "firmware/image.h"
#include "support/console.h"
#include "support/platform.h"
#include "transport/port_name.h"
#include "transport/port_scan.h"
#include "update/image_fit.h"

namespace {

constexpr int kHighestPort = 99;

void printUsage() {
  conPuts("\nUse: VLFWU [x]\n");
  conPuts("\nWhere:");
  conPuts("\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
  conPuts("\n          otherwise searches COM1 - COM16.");
  conPuts(comUsageNote());
}

}  // namespace

int main(int argc, char** argv) {
  // Prompts and the progress line end without a line break; the user must see them at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // Before anything is shown: the log records the run from its first text on.
  startRunLog(argc, argv);
  // Keys typed during the banner and the scan are not echoed; waits are timed to the ms.
  platformStart();

  printBanner();
  if (argc > 2) {
    printUsage();
    exitProgram(1);
  }
  pauseOnExit = 1;

  for (int i = 0; i < kEmbeddedImageCount; ++i) {
    selectEmbeddedImage(&selectedImage, i);
    // An image the update would refuse is as unusable as a damaged one.
    if (validateImage("Firmware", &selectedImage) != kImageSound ||
        checkImageFit(&selectedImage) != kFitSound) {
      exitProgram(1);
    }
    conPuts("Firmware validated.\n");
  }

  if (argc > 1 && comArgumentNamesDevice(argv[1])) {
    comNameDevice(argv[1]);
    const unsigned named[] = {kNamedDevicePort};
    runScanAndConsoleLoop(named, 1, true);
  }
  // A text that is no number reads as 0, the scan of COM1 to COM16 and the ports the system
  // lists beyond them; a number too large for 32 bits is out of range on every build.
  const auto port = static_cast<std::int32_t>(argc > 1 ? portArgumentValue(argv[1]) : 0);
  if (port == 0) {
    static t_ScanList scan;
    comScanList(&scan);
    runScanAndConsoleLoop(scan.ports, scan.count, false);
  }
  if (port < 1 || port > kHighestPort) {
    conStdPrintf("\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n",
                static_cast<unsigned>(port));
    exitProgram(1);
  }
  const unsigned single[] = {static_cast<unsigned>(port)};
  runScanAndConsoleLoop(single, 1, true);
}
