#include "transport/port_name.h"

#include <cstdio>

namespace {

const char* namedDevice = nullptr;
char numberedName[16];  // "COM" and the digits of any unsigned number

}  // namespace

void comNameDevice(const char* path) { namedDevice = path; }

const char* comNamedDevice(unsigned portNumber) {
  return portNumber == kNamedDevicePort ? namedDevice : nullptr;
}

const char* comPortName(unsigned portNumber) {
  if (const char* device = comNamedDevice(portNumber); device != nullptr) {
    return device;
  }
  std::snprintf(numberedName, sizeof numberedName, "COM%u", portNumber);
  return numberedName;
}
