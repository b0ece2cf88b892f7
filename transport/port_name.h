#pragma once
// How a port is chosen on the command line and named in messages. COM ports are numbered from
// 1; where serial devices are files (POSIX systems), an argument with a '/' names one device
// instead, and the port scan then treats that device as the port numbered kNamedDevicePort.
// There a scan also finds USB serial devices, under numbers of their own that messages show
// as the device's path.
#include <cstddef>

// The number that stands for the device named on the command line; no COM port has it.
constexpr unsigned kNamedDevicePort = 0;

// True when the command-line argument names a device rather than a port number. Never on
// Windows, where every port is "\\.\COMn".
bool comArgumentNamesDevice(const char* argument);

// What the usage text adds about naming a device: one line, or nothing on Windows.
const char* comUsageNote();

// Makes kNamedDevicePort lead to the device at path. The text is not copied: it must stay for
// the whole run, as the command line does.
void comNameDevice(const char* path);

// The device named for port number n, or null when n is a COM port number.
const char* comNamedDevice(unsigned portNumber);

// The path of the device that a scan found for port n (platform); false when n is a COM port
// number or leads to no such device, and always on Windows.
bool comFoundDevicePath(unsigned portNumber, char* path, std::size_t size);

// What messages call port n: "COMn", or the named or found device's path. The text stays
// valid until the next call.
const char* comPortName(unsigned portNumber);
