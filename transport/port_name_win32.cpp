// Windows names every port by its number: a path given as the argument reads as no number.
#include "transport/port_name.h"

bool comArgumentNamesDevice(const char*) { return false; }

const char* comUsageNote() { return ""; }

bool comFoundDevicePath(unsigned, char*, std::size_t) { return false; }
