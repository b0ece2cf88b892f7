// The serial port on Windows: an overlapped COM handle, one manual-reset event per direction.
#include <windows.h>


#include "transport/com_open_check.h"
#include "transport/serial.h"

namespace {

constexpr DWORD kTransferLimitMs = 1000;
constexpr DWORD kReadIntervalMs = 10;
constexpr DWORD kQueueBytes = 10000;

bool isUsable(const t_ComPort* port) {
  return port != nullptr && port->isOpen == 1 && port->handle != nullptr &&
         port->handle != INVALID_HANDLE_VALUE;
}

void closeIfPresent(HANDLE* handle) {
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) {
    CloseHandle(*handle);
  }
  *handle = nullptr;
}

// Releases the events and the handle and leaves the record closed.
void releaseAll(t_ComPort* port) {
  closeIfPresent(&port->readOverlap.hEvent);
  closeIfPresent(&port->writeOverlap.hEvent);
  closeIfPresent(&port->handle);
  port->isOpen = 0;
}

// Starts a transfer with ReadFile or WriteFile, then waits at most the transfer limit for it.
// On time-out the transfer is cancelled, and its cancellation awaited, so that it can never
// touch the caller's buffer after the call has returned. True when the transfer finished.
template <typename StartTransfer>
bool runTransfer(t_ComPort* port, OVERLAPPED* overlap, StartTransfer start, bool* completedLate) {
  *completedLate = false;
  if (start()) {
    return true;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  if (WaitForSingleObject(overlap->hEvent, kTransferLimitMs) == WAIT_OBJECT_0) {
    return true;
  }
  CancelIoEx(port->handle, overlap);
  DWORD transferred = 0;
  // Waits for the transfer to end, either cancelled or finished in the meantime.
  if (GetOverlappedResult(port->handle, overlap, &transferred, TRUE) && transferred > 0) {
    *completedLate = true;
  }
  return false;
}

}  // namespace

int comOpen(t_ComPort* port, int portNumber, int baud) {
  if (const int answer = comOpenCheckRecord(port, portNumber); answer >= 0) {
    return answer;
  }
  char path[32];
  wsprintfA(path, "\\\\.\\COM%d", portNumber);
  port->handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  if (port->handle == nullptr || port->handle == INVALID_HANDLE_VALUE) {
    port->handle = nullptr;
    return 0;
  }
  port->isOpen = 1;
  ZeroMemory(&port->readOverlap, sizeof port->readOverlap);
  ZeroMemory(&port->writeOverlap, sizeof port->writeOverlap);

  // A read completes once a byte has come and the line has then been quiet for 10 ms, or
  // when the requested count has arrived; the wait on its event bounds it otherwise.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kReadIntervalMs;
  SetCommTimeouts(port->handle, &timeouts);

  port->readOverlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  port->writeOverlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  DCB settings{};
  settings.DCBlength = sizeof settings;
  GetCommState(port->handle, &settings);
  settings.BaudRate = static_cast<DWORD>(baud);
  settings.ByteSize = 8;
  settings.fOutX = FALSE;
  settings.fInX = FALSE;
  settings.fOutxCtsFlow = FALSE;
  settings.fOutxDsrFlow = FALSE;
  settings.fDtrControl = DTR_CONTROL_DISABLE;
  const BOOL stateSet = SetCommState(port->handle, &settings);
  const BOOL queuesSet = SetupComm(port->handle, kQueueBytes, kQueueBytes);

  if (!stateSet || !queuesSet || port->readOverlap.hEvent == nullptr || port->writeOverlap.hEvent == nullptr) {
    releaseAll(port);
    return 0;
  }
  return port->isOpen;
}

int comSetBaud(t_ComPort* port, int baud) {
  if (!isUsable(port)) {
    return 0;
  }
  DCB settings{};
  settings.DCBlength = sizeof settings;
  GetCommState(port->handle, &settings);
  settings.BaudRate = static_cast<DWORD>(baud);
  settings.ByteSize = 8;
  if (!SetCommState(port->handle, &settings)) {
    releaseAll(port);
    return 0;
  }
  return 1;
}

int comClose(t_ComPort* port) {
  if (port == nullptr) {
    return 1;
  }
  if (port->isOpen == 1) {
    closeIfPresent(&port->readOverlap.hEvent);
    closeIfPresent(&port->writeOverlap.hEvent);
    closeIfPresent(&port->handle);
  }
  port->readOverlap.hEvent = nullptr;
  port->writeOverlap.hEvent = nullptr;
  port->handle = nullptr;
  port->isOpen = 0;
  return 1;
}

int comWrite(t_ComPort* port, const char* bytes, int count) {
  if (!isUsable(port) || bytes == nullptr || count <= 0) {
    return 0;
  }
  OVERLAPPED* overlap = &port->writeOverlap;
  bool completedLate = false;
  const bool finished = runTransfer(port, overlap, [&] {
    return WriteFile(port->handle, bytes, static_cast<DWORD>(count), nullptr, overlap) != FALSE;
  }, &completedLate);
  if (!finished) {
    return 0;
  }
  // Returns once the driver has transmitted everything, so pauses after a write are real.
  FlushFileBuffers(port->handle);
  DWORD written = 0;
  if (!GetOverlappedResult(port->handle, overlap, &written, TRUE)) {
    return 0;
  }
  return static_cast<int>(written);
}

int comRead(t_ComPort* port, char* buffer, int count) {
  if (!isUsable(port) || buffer == nullptr || count <= 0) {
    return 0;
  }
  OVERLAPPED* overlap = &port->readOverlap;
  bool completedLate = false;
  const bool finished = runTransfer(port, overlap, [&] {
    return ReadFile(port->handle, buffer, static_cast<DWORD>(count), nullptr, overlap) != FALSE;
  }, &completedLate);
  if (!finished && !completedLate) {
    return 0;
  }
  // A read that finished just as it was being cancelled has taken bytes out of the driver's
  // queue; they are in the buffer, and dropping them would lose them for good.
  DWORD received = 0;
  if (!GetOverlappedResult(port->handle, overlap, &received, TRUE)) {
    return 0;
  }
  return static_cast<int>(received);
}

int comBytesWaiting(t_ComPort* port) {
  if (!isUsable(port)) {
    return 0;
  }
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port->handle, &errors, &status)) {
    return 0;
  }
  return static_cast<int>(status.cbInQue);
}
