#pragma once
// The part of comOpen that every platform shares: what happens before a device is touched.
#include "transport/serial.h"

// comOpen's answer for a record that needs no device: 0 for no record; 1 for a record that is
// already open, after saying so. -1 when the device is to be opened.
int comOpenCheckRecord(t_ComPort* port, int portNumber);

// The rates a port can be opened at or switched to, the same on every platform.
constexpr int kComBaudRates[] = {9600, 19200, 38400, 57600, 115200, 230400};

constexpr bool comBaudAccepted(int baud) {
  for (const int rate : kComBaudRates) {
    if (rate == baud) {
      return true;
    }
  }
  return false;
}
