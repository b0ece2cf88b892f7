// On POSIX systems a serial device is a file: an argument with a '/' names one (/dev/ttyUSB0).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/port_name.h"
#include "transport/posix/com_device_path.h"

namespace {

constexpr const char* kDeviceFolderVariable = "VLFWU_DEVICE_DIR";
constexpr const char* kDeviceFolder = "/dev";

// The path of a USB serial device's port number; false for other numbers.
bool familyDevicePath(unsigned portNumber, char* path, std::size_t size) {
  for (const t_DeviceFamily& family : kDeviceFamilies) {
    if (portNumber >= family.firstPort && portNumber - family.firstPort < kDeviceFamilySpan) {
      const int length =
          std::snprintf(path, size, "%s/%s%u", comDeviceFolder(), family.name, portNumber - family.firstPort);
      return length > 0 && static_cast<std::size_t>(length) < size;
    }
  }
  return false;
}

}  // namespace

bool comArgumentNamesDevice(const char* argument) {
  return argument != nullptr && std::strchr(argument, '/') != nullptr;
}

const char* comUsageNote() { return "\n          A path such as /dev/ttyUSB0 names one serial device instead."; }

const char* comDeviceFolder() {
  const char* folder = std::getenv(kDeviceFolderVariable);
  return folder != nullptr && folder[0] != '\0' ? folder : kDeviceFolder;
}

bool comFoundDevicePath(unsigned portNumber, char* path, std::size_t size) {
  return familyDevicePath(portNumber, path, size);
}

bool comDevicePath(unsigned portNumber, char* path, std::size_t size) {
  int length = 0;
  if (const char* named = comNamedDevice(portNumber); named != nullptr) {
    length = std::snprintf(path, size, "%s", named);
  } else if (portNumber == kNamedDevicePort) {
    return false;  // no device was named
  } else if (portNumber >= kUsbSerialPorts) {
    return familyDevicePath(portNumber, path, size);
  } else {
    char variable[32];
    std::snprintf(variable, sizeof variable, "VLFWU_COM%u", portNumber);
    const char* configured = std::getenv(variable);
    if (configured != nullptr && configured[0] != '\0') {
      length = std::snprintf(path, size, "%s", configured);
    } else {
      length = std::snprintf(path, size, "/dev/ttyS%u", portNumber - 1);
    }
  }
  return length > 0 && static_cast<std::size_t>(length) < size;
}
