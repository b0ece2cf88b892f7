#include "transport/port_name.h"

#include <cstdio>

namespace {

const char* namedDevice = nullptr;
char portName[512];  // "COM" and the digits of any unsigned number, or a found device's path

}  // namespace

void comNameDevice(const char* path) { namedDevice = path; }

const char* comNamedDevice(unsigned portNumber) {
  return portNumber == kNamedDevicePort ? namedDevice : nullptr;
}

const char* comPortName(unsigned portNumber) {
  if (const char* device = comNamedDevice(portNumber); device != nullptr) {
    return device;
  }
  if (comFoundDevicePath(portNumber, portName, sizeof portName)) {
    return portName;
  }
  std::snprintf(portName, sizeof portName, "COM%u", portNumber);
  return portName;
}
