#pragma once
// Port scan and console loop: find the switch, ask, update, wait for the restart. Never returns.

// Scans ports firstPort..lastPort (COM numbers from 1, or kNamedDevicePort for the device named
// on the command line) and runs the console loop.
[[noreturn]] void runScanAndConsoleLoop(unsigned firstPort, unsigned lastPort, bool singlePort);
