#pragma once
// The serial port record on Windows: an overlapped COM handle with one transfer record per kind
// of transfer, the one wait for received bytes that may stay pending between calls, and the
// byte a waiting read may have taken ahead of comRead. The transfer records live apart from
// the port record (transfer_pool.h), so that closing the port never has to wait for a driver.
#include <windows.h>

struct t_Transfer;

struct t_ComPort {
  HANDLE handle;       // null when closed
  t_Transfer* read;    // used by every read
  t_Transfer* write;   // used by every write
  int isOpen;          // 1 while the port is open
  t_Transfer* wait;    // used by the wait for received bytes
  int waitPending;     // 1 while that wait is under way
  int waitByReading;   // 1 when the driver cannot wait for a byte: a read waits instead
  int emptyWakes;      // waits in a row that ended with no byte queued
  char aheadByte;      // the byte such a read took out of the driver's queue, if any
  int aheadCount;      // 1 while aheadByte is still to be delivered by comRead
  HANDLE lock;         // the port's lock against a second copy (port_lock.h); null when none
};
