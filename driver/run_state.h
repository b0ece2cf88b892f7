#pragma once
// The run's shared state, and the one way out of the process.
#include <cstdint>

#include "driver/product_info.h"

// The utility's own version, as the banner shows it.
constexpr int kVersionMajor = VLFWU_VERSION_MAJOR;
constexpr int kVersionMinor = VLFWU_VERSION_MINOR;

extern int updateDone;
extern std::uint32_t activityClock;
extern int switchReady;
extern int pauseOnExit;
// updateFirmware's result of the last update of the run; -1 while none was made.
extern int lastUpdateResult;

void printBanner();
// Closes the port, asks for a key when pauseOnExit is set, and ends the process with status.
[[noreturn]] void exitProgram(int status);
