#pragma once
// The serial port record on Windows: an overlapped COM handle with one event per direction.
#include <windows.h>

struct t_ComPort {
  HANDLE handle;           // null when closed
  OVERLAPPED readOverlap;  // manual-reset event, used by every read
  OVERLAPPED writeOverlap; // manual-reset event, used by every write
  int isOpen;              // 1 while the port is open
};
