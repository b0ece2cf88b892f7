#pragma once
// Port scan and console loop: find the switch, ask, update, wait for the restart. Never returns.

// Tries the count ports, in order (COM numbers from 1, kNamedDevicePort for the device named on
// the command line, or the numbers of the devices a scan found), and runs the console loop. A
// scan (singlePort false) passes over the ports that the system names Bluetooth links.
[[noreturn]] void runScanAndConsoleLoop(const unsigned* ports, int count, bool singlePort);
