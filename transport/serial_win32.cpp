// The serial port on Windows: a COM handle opened for overlapped transfers, one transfer record
// (with its manual-reset event) per kind of transfer. Every wait is a wait on an event with the
// remaining time of its bound, so nothing here can hang or spin, not even when a USB adapter is
// pulled out or a driver never ends a cancelled transfer.
//
// serial_posix.cpp is built the same way, step for step and name for name; a change to one
// belongs in the other.
#include <windows.h>

#include "support/platform.h"
#include "support/support_log.h"
#include "transport/com_log.h"
#include "transport/com_open_check.h"
#include "transport/serial.h"
#include "transport/win32/port_lock.h"
#include "transport/win32/transfer_pool.h"

namespace {

constexpr DWORD kTransferLimitMs = 1000;
// A read that has its first byte ends once the line has then been quiet this long.
constexpr DWORD kReadIntervalMs = 10;
constexpr DWORD kQueueBytes = 10000;
// How often a port whose driver can neither wait for a byte nor read one is looked at.
constexpr DWORD kInputLookMs = 1;
// How often the driver is asked whether the bytes of a write have gone out.
constexpr DWORD kDrainPollMs = 1;
// Waits in a row that ended with no byte queued before the driver is taken for one whose wait
// cannot be trusted; one such wake-up is normal (a wait that saw a byte already read).
constexpr int kEmptyWakeLimit = 3;
// How long a cancelled transfer is given to end. A driver that takes longer has it left to
// it, with its record, and the port is closed: nothing waits for a driver without a limit.
constexpr DWORD kCancelEndMs = 200;

bool isUsable(const t_ComPort* port) {
  return port != nullptr && port->isOpen == 1 && port->handle != nullptr &&
         port->handle != INVALID_HANDLE_VALUE;
}

void clearRecord(t_ComPort* port) {
  ZeroMemory(port, sizeof *port);
}

void closeIfPresent(HANDLE* handle) {
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) {
    CloseHandle(*handle);
  }
  *handle = nullptr;
}

// Asks the driver to end the transfer and gives it kCancelEndMs to do so; true once it has
// ended, and its record may be used again.
bool cancelTransfer(t_ComPort* port, t_Transfer* transfer) {
  if (transfer == port->wait) {
    // A new event mask ends a pending wait for events; some drivers end it no other way (Wine's
    // on a real serial device ignores CancelIoEx for it).
    SetCommMask(port->handle, 0);
  }
  CancelIoEx(port->handle, &transfer->overlap);
  return transferEnded(transfer, kCancelEndMs);
}

// The port's transfer records go back to the pool, but a record whose transfer the driver has
// not ended: that one stays the driver's until its event is set.
void settleTransfers(t_ComPort* port, bool waitEnded) {
  transferGiveBack(port->read);
  transferGiveBack(port->write);
  if (waitEnded) {
    transferGiveBack(port->wait);
  } else {
    transferLeave(port->wait);
  }
}

// Releases the device and everything made for it, and leaves the record closed. A pending wait
// for received bytes is cancelled first; closing the handle is all that is left to do about
// one that has not ended within kCancelEndMs.
void releaseDevice(t_ComPort* port) {
  bool waitEnded = true;
  if (port->waitPending == 1 && port->handle != nullptr && port->handle != INVALID_HANDLE_VALUE) {
    waitEnded = cancelTransfer(port, port->wait);
  }
  closeIfPresent(&port->handle);
  portLockRelease(&port->lock);  // once the device is closed: another copy may open it now
  if (!waitEnded) {
    comLogTransferLeft("wait for received bytes", kCancelEndMs);
  }
  settleTransfers(port, waitEnded);
  clearRecord(port);
}

// A read or write that the driver did not end when it was cancelled keeps its record, and the
// port is closed: the transfer may still complete into the record, never into the caller's.
void abandonTransfer(t_ComPort* port, t_Transfer** slot, const char* what) {
  transferLeave(*slot);
  *slot = nullptr;
  comLogTransferLeft(what, kCancelEndMs);
  releaseDevice(port);
}

// Milliseconds left of a limit that started at start; 0 once it has passed.
DWORD remainingMs(std::uint32_t start, std::uint32_t limitMs) {
  const std::uint32_t elapsed = platformClockMs() - start;
  return elapsed >= limitMs ? 0 : limitMs - elapsed;
}

// Received bytes in the driver's input queue; -1 when the device cannot say (a USB adapter
// that was pulled out, for one). The line-error flags that this also clears do not matter.
int queuedInput(const t_ComPort* port) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port->handle, &errors, &status)) {
    return -1;
  }
  return static_cast<int>(status.cbInQue);
}

// Bytes the driver still holds to send; -1 when the device cannot say (it has gone).
int queuedOutput(const t_ComPort* port) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port->handle, &errors, &status)) {
    return -1;
  }
  return static_cast<int>(status.cbOutQue);
}

// Waits, within the time left of the write that started at start, until the driver's output
// queue is empty; false when it still holds bytes once the time is up, or the device has gone.
// Not FlushFileBuffers: its wait has no limit (Wine's is tcdrain), and a driver whose output
// is stuck would hold the run in it. Not EV_TXEMPTY: the event mask belongs to the wait for
// received bytes, and Wine's waits for events on a pseudo-terminal end at once.
bool drainOutput(const t_ComPort* port, std::uint32_t start) {
  for (;;) {
    const int queued = queuedOutput(port);
    if (queued <= 0) {
      return queued == 0;
    }
    if (remainingMs(start, kTransferLimitMs) == 0) {
      return false;
    }
    platformSleepMs(kDrainPollMs);
  }
}

// Builds the device path of port n into path; false when it does not fit. The "\\.\" form
// reaches ports numbered 10 and above too.
bool devicePath(int portNumber, char* path, std::size_t size) {
  return size >= 16 && wsprintfA(path, "\\\\.\\COM%d", portNumber) > 0;
}

// Starts a transfer with ReadFile or WriteFile on the record in *slot, then waits at most the
// transfer limit for it. On time-out the transfer is cancelled and given kCancelEndMs to end;
// one that does not is abandoned with its record and the port closed. True when the transfer
// finished; *completedLate when it finished with bytes as it was being cancelled.
template <typename StartTransfer>
bool runTransfer(t_ComPort* port, t_Transfer** slot, const char* what, StartTransfer start,
                 bool* completedLate) {
  *completedLate = false;
  OVERLAPPED* overlap = &(*slot)->overlap;
  if (start(overlap)) {
    return true;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  if (WaitForSingleObject(overlap->hEvent, kTransferLimitMs) == WAIT_OBJECT_0) {
    return true;
  }
  if (!cancelTransfer(port, *slot)) {
    abandonTransfer(port, slot, what);
    return false;
  }
  DWORD transferred = 0;
  if (GetOverlappedResult(port->handle, overlap, &transferred, FALSE) && transferred > 0) {
    *completedLate = true;
  }
  return false;
}

// Applies the rate and 8 data bits, with the whole line format when fullSetup is set:
// Windows keeps a port's last settings, so nothing another program left may stay.
bool applyLineSettings(t_ComPort* port, int baud, bool fullSetup) {
  if (!comBaudAccepted(baud)) {
    return false;
  }
  DCB settings{};
  settings.DCBlength = sizeof settings;
  if (!GetCommState(port->handle, &settings)) {
    return false;
  }
  if (fullSetup) {
    // 8 data bits, no parity, 1 stop bit, no flow control of any kind, no byte replaced or
    // dropped, errors never stop the transfers, modem status lines ignored.
    settings.fBinary = TRUE;
    settings.Parity = NOPARITY;
    settings.fParity = FALSE;
    settings.StopBits = ONESTOPBIT;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fTXContinueOnXoff = TRUE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fAbortOnError = FALSE;
    // DTR inactive. RTS stays active or inactive as the port holds it (adapters wired to a
    // board's reset or ISP pins make its state matter); only flow control by RTS
    // (handshake, toggle) becomes a plain active line.
    settings.fDtrControl = DTR_CONTROL_DISABLE;
    if (settings.fRtsControl == RTS_CONTROL_HANDSHAKE ||
        settings.fRtsControl == RTS_CONTROL_TOGGLE) {
      settings.fRtsControl = RTS_CONTROL_ENABLE;
    }
  }
  settings.BaudRate = static_cast<DWORD>(baud);
  settings.ByteSize = 8;
  return SetCommState(port->handle, &settings) != FALSE;
}

// Everything that comOpen sets up on the opened device, each step checked: the time-outs,
// the transfer records, the wait mask, the line format and rate (DTR inactive), the driver's queues.
bool configureDevice(t_ComPort* port, int baud) {
  // A read completes once a byte has come and the line has then been quiet for 10 ms, or
  // when the requested count has arrived; the wait on its event bounds it otherwise.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kReadIntervalMs;
  if (!SetCommTimeouts(port->handle, &timeouts)) {
    return false;
  }
  port->read = transferTake();
  port->write = transferTake();
  port->wait = transferTake();
  if (port->read == nullptr || port->write == nullptr || port->wait == nullptr) {
    return false;  // every record is held by drivers that have not ended their transfers
  }
  // The wait for received bytes ends on a byte placed in the input queue. A driver that
  // refuses the mask cannot wait for a byte: a one-byte read waits instead.
  if (!SetCommMask(port->handle, EV_RXCHAR)) {
    port->waitByReading = 1;
  }
  if (!applyLineSettings(port, baud, true)) {
    return false;
  }
  return SetupComm(port->handle, kQueueBytes, kQueueBytes) != FALSE;
}

// For a driver that cannot wait for a byte: a one-byte read waits instead, for at most left
// milliseconds, and is cancelled when they run out. The byte it takes is kept for comRead.
// kComWaitTimedOut also when the read ended at once with nothing: the caller looks again.
int readAhead(t_ComPort* port, DWORD left) {
  t_Transfer* transfer = port->read;
  OVERLAPPED* overlap = &transfer->overlap;
  ResetEvent(overlap->hEvent);
  bool waited = false;
  if (!ReadFile(port->handle, transfer->bytes, 1, nullptr, overlap)) {
    if (GetLastError() != ERROR_IO_PENDING) {
      return kComPortFailed;
    }
    waited = true;
    if (WaitForSingleObject(overlap->hEvent, left) != WAIT_OBJECT_0 && !cancelTransfer(port, transfer)) {
      abandonTransfer(port, &port->read, "read");
      return kComPortFailed;
    }
  }
  DWORD received = 0;
  if (GetOverlappedResult(port->handle, overlap, &received, FALSE) && received == 1) {
    port->aheadByte = transfer->bytes[0];
    port->aheadCount = 1;
    return kComInputWaiting;
  }
  if (queuedInput(port) < 0) {
    return kComPortFailed;  // the device has gone
  }
  if (!waited) {
    platformSleepMs(kInputLookMs);  // a read that cannot wait either: look again shortly
  }
  return kComWaitTimedOut;
}

}  // namespace

int comOpen(t_ComPort* port, int portNumber, int baud) {
  if (const int answer = comOpenCheckRecord(port, portNumber); answer >= 0) {
    return answer;
  }
  clearRecord(port);
  char path[32];
  if (portNumber < 1 || !devicePath(portNumber, path, sizeof path)) {
    comLogRefused(portNumber, nullptr);
    return 0;
  }
  // A port that another copy of the program has is refused as one that cannot be opened,
  // before the device is touched (port_lock.h).
  if (portLockTake(portNumber, &port->lock) == kPortLockBusy) {
    comLogRefused(portNumber, path);
    clearRecord(port);
    return 0;
  }
  port->handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  if (port->handle == nullptr || port->handle == INVALID_HANDLE_VALUE) {
    comLogRefused(portNumber, path);
    releaseDevice(port);
    return 0;
  }
  if (!configureDevice(port, baud)) {
    comLogRefused(portNumber, path);
    releaseDevice(port);
    return 0;
  }
  port->isOpen = 1;
  comLogOpened(port, portNumber, path);
  return 1;
}

int comSetBaud(t_ComPort* port, int baud) {
  if (!isUsable(port)) {
    return 0;
  }
  if (!applyLineSettings(port, baud, false)) {
    comLogRate(baud, false);
    releaseDevice(port);
    return 0;
  }
  comLogRate(baud, true);
  return 1;
}

int comClose(t_ComPort* port) {
  if (port == nullptr) {
    return 1;
  }
  if (port->isOpen == 1) {
    comLogClosing(port);
    releaseDevice(port);
  }
  clearRecord(port);
  return 1;
}

int comWrite(t_ComPort* port, const char* bytes, int count) {
  if (!isUsable(port) || bytes == nullptr || count <= 0) {
    return 0;
  }
  const std::uint32_t start = platformClockMs();
  bool completedLate = false;
  // The bytes are sent from the caller's buffer: a write the driver keeps after it was
  // cancelled only reads from it, on a port that is closed by then.
  const bool finished = runTransfer(port, &port->write, "write", [&](OVERLAPPED* overlap) {
    return WriteFile(port->handle, bytes, static_cast<DWORD>(count), nullptr, overlap) != FALSE;
  }, &completedLate);
  if (!finished) {
    logSent(bytes, count);
    comLogWriteFailed();
    return 0;
  }
  DWORD written = 0;
  if (!GetOverlappedResult(port->handle, &port->write->overlap, &written, FALSE)) {
    logSent(bytes, count);
    return 0;
  }
  // Returns once the driver has transmitted everything, so pauses after a write are real.
  const bool drained = drainOutput(port, start);
  // Logged once the bytes are out: the log's commit that may follow must not hold them up.
  logSent(bytes, count);
  if (!drained) {
    comLogWriteFailed();
    PurgeComm(port->handle, PURGE_TXABORT | PURGE_TXCLEAR);
    return 0;
  }
  return static_cast<int>(written);
}

int comRead(t_ComPort* port, char* buffer, int count) {
  if (!isUsable(port) || buffer == nullptr || count <= 0) {
    return 0;
  }
  if (port->aheadCount > 0) {  // a waiting read took it out of the driver's queue already
    buffer[0] = port->aheadByte;
    port->aheadCount = 0;
    logReceived(buffer, 1);
    return 1;
  }
  // The bytes land in the transfer's record and are copied out once it has ended, so a read
  // left to its driver can never write into the caller's buffer.
  const DWORD asked = static_cast<DWORD>(count < kTransferBytes ? count : kTransferBytes);
  bool completedLate = false;
  const bool finished = runTransfer(port, &port->read, "read", [&](OVERLAPPED* overlap) {
    return ReadFile(port->handle, port->read->bytes, asked, nullptr, overlap) != FALSE;
  }, &completedLate);
  if (!finished && !completedLate) {
    return 0;
  }
  // A read that finished just as it was being cancelled has taken bytes out of the driver's
  // queue; they are kept, as dropping them would lose them for good.
  DWORD received = 0;
  if (!GetOverlappedResult(port->handle, &port->read->overlap, &received, FALSE) || received > asked) {
    return 0;
  }
  CopyMemory(buffer, port->read->bytes, received);
  logReceived(buffer, static_cast<int>(received));
  return static_cast<int>(received);
}

int comBytesWaiting(t_ComPort* port) {
  if (!isUsable(port)) {
    return 0;
  }
  const int waiting = queuedInput(port);
  return (waiting < 0 ? 0 : waiting) + port->aheadCount;
}

int comWaitInput(t_ComPort* port, std::uint32_t timeoutMs) {
  if (!isUsable(port)) {
    return kComPortFailed;
  }
  const std::uint32_t start = platformClockMs();
  bool woke = false;  // the last pass ended a wait for received bytes
  for (;;) {
    const int waiting = queuedInput(port);
    if (waiting < 0) {
      return kComPortFailed;
    }
    if (waiting > 0 || port->aheadCount > 0) {
      port->emptyWakes = 0;
      return kComInputWaiting;
    }
    // A driver whose waits keep ending with nothing queued would make this loop spin for the
    // whole bound: after a few such wake-ups a one-byte read waits instead.
    if (woke && ++port->emptyWakes >= kEmptyWakeLimit) {
      port->waitByReading = 1;
    }
    woke = false;
    DWORD left = remainingMs(start, timeoutMs);
    if (left == 0) {
      return kComWaitTimedOut;
    }
    logBeforeLineWait();
    left = remainingMs(start, timeoutMs);  // a commit's time comes out of the wait, not on top
    if (port->waitByReading == 1) {
      if (const int result = readAhead(port, left); result != kComWaitTimedOut) {
        return result;
      }
      continue;
    }
    if (port->waitPending == 0) {
      // The wait stays pending after a time-out, for the next call; a byte that came before
      // it began raises no event, so the queue is looked at again once it is under way.
      ResetEvent(port->wait->overlap.hEvent);
      port->wait->events = 0;
      if (WaitCommEvent(port->handle, &port->wait->events, &port->wait->overlap)) {
        woke = true;  // ended at once
        continue;
      }
      if (GetLastError() != ERROR_IO_PENDING) {
        port->waitByReading = 1;
        continue;
      }
      port->waitPending = 1;
      continue;
    }
    const DWORD result = WaitForSingleObject(port->wait->overlap.hEvent, left);
    if (result == WAIT_TIMEOUT) {
      continue;
    }
    if (result != WAIT_OBJECT_0) {
      return kComPortFailed;  // still pending as far as is known: closing the port ends it
    }
    port->waitPending = 0;
    woke = true;
    DWORD unused = 0;
    if (!GetOverlappedResult(port->handle, &port->wait->overlap, &unused, FALSE)) {
      // A port that failed or went away (a USB adapter pulled out) no longer answers the
      // query at the top of the loop. One that still does has a driver that cannot wait
      // for a byte (Wine's on a pseudo-terminal ends every wait at once with an error).
      port->waitByReading = 1;
    }
  }
}
