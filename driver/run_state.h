#pragma once
// The run's shared state, and the one way out of the process.
#include <cstdint>

#include "firmware/image.h"

// What answered on the port at the last identification.
constexpr int kStateUnknown = 0;
constexpr int kStateFirmware = 1;
constexpr int kStateBootloader = 2;
constexpr int kStateBootloaderNoTable = 3;

extern int deviceState;
extern t_FirmwareImage selectedImage;
extern int updateDone;
extern std::uint32_t activityClock;
extern int switchReady;
extern int pauseOnExit;

void printBanner();
// Closes the port, asks for a key when pauseOnExit is set, and ends the process with status.
[[noreturn]] void exitProgram(int status);
