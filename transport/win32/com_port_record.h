#pragma once
// The serial port record on Windows: an overlapped COM handle with one event per kind of
// transfer, and the one wait for received bytes that may stay pending between calls.
#include <windows.h>

struct t_ComPort {
  HANDLE handle;           // null when closed
  OVERLAPPED readOverlap;  // manual-reset event, used by every read
  OVERLAPPED writeOverlap; // manual-reset event, used by every write
  int isOpen;              // 1 while the port is open
  OVERLAPPED waitOverlap;  // manual-reset event, used by the wait for received bytes
  DWORD waitEvents;        // what the pending wait reports when it completes
  int waitPending;         // 1 while that wait is under way
  int waitBySleeping;      // 1 when the driver cannot wait for a byte: look every millisecond
};
