#pragma once
// What answered on the port at the last identification: the switch's firmware, its
// bootloader, or its bootloader without a valid parameter table.

constexpr int kStateUnknown = 0;
constexpr int kStateFirmware = 1;
constexpr int kStateBootloader = 2;
constexpr int kStateBootloaderNoTable = 3;

extern int deviceState;
