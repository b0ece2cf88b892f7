#pragma once
// Where a port number leads on POSIX systems.
#include <cstddef>

// The USB serial devices that a scan finds are numbered apart from the COM ports: ttyUSB<n> is
// port kUsbSerialPorts + n, ttyACM<n> port kAcmSerialPorts + n, so that ascending port numbers
// put every ttyUSB device before every ttyACM device, each family in its own numeric order.
constexpr unsigned kUsbSerialPorts = 10000;
constexpr unsigned kAcmSerialPorts = 20000;
constexpr unsigned kDeviceFamilySpan = 10000;  // device numbers 0 to 9999

struct t_DeviceFamily {
  const char* name;  // the device's name without its number
  unsigned firstPort;
};
constexpr t_DeviceFamily kDeviceFamilies[] = {{"ttyUSB", kUsbSerialPorts}, {"ttyACM", kAcmSerialPorts}};

// The folder that holds the devices: VLFWU_DEVICE_DIR when set (for tests), else /dev.
const char* comDeviceFolder();

// Builds into path the device of port n: the device named on the command line for
// kNamedDevicePort; for COMn the device that the environment variable VLFWU_COM<n> names, or
// else /dev/ttyS<n-1>; for a USB serial device's number its path in the device folder. False
// when n leads nowhere or the path does not fit.
bool comDevicePath(unsigned portNumber, char* path, std::size_t size);
