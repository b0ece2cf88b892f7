#pragma once
// The run's shared state, and the one way out of the process.
#include <cstdint>

extern int updateDone;
extern std::uint32_t activityClock;
extern int switchReady;
extern int pauseOnExit;

void printBanner();
// Closes the port, asks for a key when pauseOnExit is set, and ends the process with status.
[[noreturn]] void exitProgram(int status);
