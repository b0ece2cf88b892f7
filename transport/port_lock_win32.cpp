#include "transport/win32/port_lock.h"

#include <cstdio>

namespace {

// What a copy refused by the lock logs as the reason: the port is another process's.
constexpr DWORD kBusyError = ERROR_SHARING_VIOLATION;

int busy() {
  SetLastError(kBusyError);
  return kPortLockBusy;
}

}  // namespace

int portLockTake(int portNumber, HANDLE* lock) {
  *lock = nullptr;
  char name[48];
  std::snprintf(name, sizeof name, "Global\\vlfwu-COM%d", portNumber);
  // The mutex exists already (ERROR_ALREADY_EXISTS) while another copy has it open; whether
  // that copy holds it is for the wait to tell, so both cases go the same way.
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) {
    // The lock of a copy that another user runs, which this user may not open.
    return GetLastError() == ERROR_ACCESS_DENIED ? busy() : kPortLockNone;
  }
  switch (WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder ended without giving it back: the port is free
      *lock = mutex;
      return kPortLockTaken;
    case WAIT_TIMEOUT:
      CloseHandle(mutex);
      return busy();
    default:
      CloseHandle(mutex);
      return kPortLockNone;
  }
}

void portLockRelease(HANDLE* lock) {
  if (*lock != nullptr) {
    ReleaseMutex(*lock);
    CloseHandle(*lock);
    *lock = nullptr;
  }
}
