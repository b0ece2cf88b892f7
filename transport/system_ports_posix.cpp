// The serial ports a POSIX system lists: the USB serial devices of the device folder (ttyUSB<n>,
// ttyACM<n>), each with the persistent name that udev gives its adapter under serial/by-id
// ("usb-FTDI_FT232R_USB_UART_A10KZ3Q1-if00-port0": maker, product and serial number).
#include <dirent.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/port_name.h"
#include "transport/port_scan.h"
#include "transport/posix/com_device_path.h"

namespace {

bool fits(int length, std::size_t size) { return length > 0 && static_cast<std::size_t>(length) < size; }

bool isCharacterDevice(const char* path) {
  struct stat status {};
  return stat(path, &status) == 0 && S_ISCHR(status.st_mode);
}

// The serial/by-id link that leads to the same device as path, into name; false when none does.
bool byIdName(const char* path, char* name, std::size_t size) {
  char target[PATH_MAX];
  char folder[PATH_MAX];
  if (realpath(path, target) == nullptr ||
      !fits(std::snprintf(folder, sizeof folder, "%s/serial/by-id", comDeviceFolder()), sizeof folder)) {
    return false;
  }
  DIR* links = opendir(folder);
  if (links == nullptr) {
    return false;
  }
  bool found = false;
  while (const dirent* entry = readdir(links)) {
    char link[PATH_MAX];
    char resolved[PATH_MAX];
    if (entry->d_name[0] == '.' ||
        !fits(std::snprintf(link, sizeof link, "%s/%s", folder, entry->d_name), sizeof link) ||
        realpath(link, resolved) == nullptr || std::strcmp(resolved, target) != 0) {
      continue;
    }
    found = fits(std::snprintf(name, size, "%s", link), size);
    break;
  }
  closedir(links);
  return found;
}

// The port number of a device folder entry that is a USB serial device; false for any other.
bool usbSerialPort(const char* entryName, unsigned* port) {
  for (const t_DeviceFamily& family : kDeviceFamilies) {
    unsigned number = 0;
    if (comNumberedName(entryName, family.name, kDeviceFamilySpan - 1, &number)) {
      *port = family.firstPort + number;
      return true;
    }
  }
  return false;
}

}  // namespace

int comReadSystemPorts(t_SystemPort* ports, int max) {
  DIR* devices = opendir(comDeviceFolder());
  if (devices == nullptr) {
    return 0;
  }
  int count = 0;
  while (count < max) {
    const dirent* entry = readdir(devices);
    if (entry == nullptr) {
      break;
    }
    unsigned port = 0;
    char path[PATH_MAX];
    if (!usbSerialPort(entry->d_name, &port) || !comFoundDevicePath(port, path, sizeof path) ||
        !isCharacterDevice(path)) {
      continue;
    }
    t_SystemPort& record = ports[count++];
    record = t_SystemPort{};
    record.port = port;
    byIdName(path, record.adapter, sizeof record.adapter);
  }
  closedir(devices);
  return count;
}

bool comDescribeAdapter(unsigned, const char* device, char* text, int size) {
  return device != nullptr && size > 0 && byIdName(device, text, static_cast<std::size_t>(size));
}
