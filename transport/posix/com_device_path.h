#pragma once
// Where a port number leads on POSIX systems.
#include <cstddef>

// Builds into path the device of port n: the device named on the command line for
// kNamedDevicePort; for COMn the device that the environment variable VLFWU_COM<n> names, or
// else /dev/ttyS<n-1>. False when n leads nowhere or the path does not fit.
bool comDevicePath(unsigned portNumber, char* path, std::size_t size);
