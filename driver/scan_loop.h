#pragma once
// Port scan and console loop: find the switch, ask, update, wait for the restart. Never returns.

// Scans ports firstPort..lastPort (both 1-based COM numbers) and runs the console loop.
[[noreturn]] void runScanAndConsoleLoop(unsigned firstPort, unsigned lastPort, bool singlePort);
