// The serial port on POSIX systems: a terminal device driven with termios.
//
// Which device a port number leads to is port_name_posix.cpp's concern (comDevicePath). The
// device is opened non-blocking and every wait is a poll with the remaining time of its bound,
// so nothing here can hang or spin, not even on a pseudo-terminal whose other side has gone.
//
// serial_win32.cpp is built the same way, step for step and name for name; a change to one
// belongs in the other.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "support/platform.h"
#include "support/support_log.h"
#include "transport/com_log.h"
#include "transport/com_open_check.h"
#include "transport/posix/com_device_path.h"
#include "transport/serial.h"

namespace {

constexpr int kTransferLimitMs = 1000;
// A read that has its first byte ends once the line has then been quiet this long.
constexpr int kReadIntervalMs = 10;
// How often the driver is asked whether the bytes of a write have gone out.
constexpr int kDrainPollMs = 1;
constexpr int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

struct t_BaudEntry {
  int baud;
  speed_t speed;
};

constexpr t_BaudEntry kBaudTable[] = {
    {9600, B9600},   {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

constexpr bool baudTableMatchesTheAcceptedRates() {
  if (std::size(kBaudTable) != std::size(kComBaudRates)) {
    return false;
  }
  for (std::size_t i = 0; i < std::size(kBaudTable); ++i) {
    if (kBaudTable[i].baud != kComBaudRates[i]) {
      return false;
    }
  }
  return true;
}
static_assert(baudTableMatchesTheAcceptedRates(), "every accepted rate needs its termios speed");

bool speedForBaud(int baud, speed_t* speed) {
  for (const t_BaudEntry& entry : kBaudTable) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

bool isUsable(const t_ComPort* port) { return port != nullptr && port->isOpen == 1 && port->fd >= 0; }

void clearRecord(t_ComPort* port) {
  port->fd = -1;
  port->isOpen = 0;
}

// Releases the device and leaves the record closed.
void releaseDevice(t_ComPort* port) {
  if (port->fd >= 0) {
    // The exclusive-use flag outlives this descriptor while anyone else holds the device open.
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);  // also drops the flock
  }
  clearRecord(port);
}

// Milliseconds left of a limit that started at start; 0 once it has passed.
int remainingMs(std::uint32_t start, std::uint32_t limitMs) {
  const std::uint32_t elapsed = platformClockMs() - start;
  return elapsed >= limitMs ? 0 : static_cast<int>(limitMs - elapsed);
}

// Sleeps until the device reports one of events, at most timeoutMs; returns the reported
// events, 0 on time-out. Retries after signals.
short waitForDevice(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  const std::uint32_t start = platformClockMs();
  for (;;) {
    const int ready = poll(&entry, 1, remainingMs(start, static_cast<std::uint32_t>(timeoutMs)));
    if (ready > 0) {
      return entry.revents;
    }
    if (ready == 0 || errno != EINTR) {
      return 0;
    }
  }
}

// Received bytes in the driver's input queue; -1 when the device cannot say.
int queuedInput(const t_ComPort* port) {
  int waiting = 0;
  if (ioctl(port->fd, FIONREAD, &waiting) != 0 || waiting < 0) {
    return -1;
  }
  return waiting;
}

// 8 data bits, no parity, 1 stop bit, no flow control of any kind, receiver on, modem
// status lines ignored, no processing of the bytes in either direction.
void makeRaw(termios* settings) {
  settings->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                              ICRNL | IXON | IXOFF | IXANY | INPCK);
  settings->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings->c_cflag |= CS8 | CLOCAL | CREAD;
  settings->c_cc[VMIN] = 0;
  settings->c_cc[VTIME] = 0;
}

// Applies the rate and 8 data bits, with the whole line format when fullSetup is set, and
// checks that the device took the rate.
bool applyLineSettings(t_ComPort* port, int baud, bool fullSetup) {
  speed_t speed = 0;
  if (!comBaudAccepted(baud) || !speedForBaud(baud, &speed)) {
    return false;
  }
  termios settings{};
  if (tcgetattr(port->fd, &settings) != 0) {
    return false;
  }
  if (fullSetup) {
    makeRaw(&settings);
  }
  settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
  if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) {
    return false;
  }
  if (tcsetattr(port->fd, TCSANOW, &settings) != 0) {
    return false;
  }
  // tcsetattr succeeds when any part of the change was applied; the rate must be among it.
  termios applied{};
  return tcgetattr(port->fd, &applied) == 0 && cfgetospeed(&applied) == speed;
}

// USB serial adapters (FTDI's above all) hold short replies until their latency timer runs
// out, 16 ms by default, unless the port asks for low latency; every ISP answer is short.
// Drivers without the setting and pseudo-terminals refuse the request, harmlessly.
void requestLowLatency(const t_ComPort* port) {
  serial_struct serial{};
  if (ioctl(port->fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
    return;
  }
  serial.flags |= ASYNC_LOW_LATENCY;
  ioctl(port->fd, TIOCSSERIAL, &serial);
}

// Everything that comOpen sets up on the opened device, each step checked: the exclusive
// hold, the line format and rate, DTR inactive; and low latency where the driver has it.
bool configureDevice(t_ComPort* port, int baud) {
  // Another program's hold on the device shows as its flock; TIOCEXCL keeps further opens
  // out (except those of the super-user, which the flock still stops if they ask for it).
  if (!isatty(port->fd) || flock(port->fd, LOCK_EX | LOCK_NB) != 0 || ioctl(port->fd, TIOCEXCL) != 0) {
    return false;
  }
  if (!applyLineSettings(port, baud, true)) {
    return false;
  }
  // Devices without modem-control lines (pseudo-terminals) refuse this, harmlessly.
  const int dtr = TIOCM_DTR;
  ioctl(port->fd, TIOCMBIC, &dtr);
  requestLowLatency(port);
  return true;
}

// Results of outputState.
constexpr int kOutputSent = 1;      // the driver's queue is empty, and its transmitter where it tells
constexpr int kOutputPending = 0;   // bytes are still queued or being shifted out
constexpr int kOutputUnknown = -1;  // the driver cannot tell what it holds

// What the driver still holds of the bytes written to it. A UART's driver also tells whether
// its transmitter has sent the last bit; others (USB adapters, pseudo-terminals) refuse that
// request, and their empty queue is all there is to know.
int outputState(const t_ComPort* port) {
  int queued = 0;
  if (ioctl(port->fd, TIOCOUTQ, &queued) != 0) {
    return kOutputUnknown;
  }
  int line = 0;
  if (queued > 0 || (ioctl(port->fd, TIOCSERGETLSR, &line) == 0 && (line & TIOCSER_TEMT) == 0)) {
    return kOutputPending;
  }
  return kOutputSent;
}

// Milliseconds that count bytes take on the line at the port's rate; -1 when the device cannot
// tell its rate.
int lineTimeMs(const t_ComPort* port, int count) {
  termios settings{};
  if (tcgetattr(port->fd, &settings) != 0) {
    return -1;
  }
  for (const t_BaudEntry& entry : kBaudTable) {
    if (entry.speed == cfgetospeed(&settings)) {
      return static_cast<int>((static_cast<long long>(count) * kBitsPerByte * 1000 + entry.baud - 1) / entry.baud);
    }
  }
  return -1;
}

// Waits, within the time left of the write, until the driver has sent everything; false when
// it still holds bytes once the time is up. A driver that cannot tell what it holds is given
// the time the bytes take on the line, when that fits in the limit.
// No tcdrain: its wait has no limit, and a transmitter that never empties would hold the run.
bool drainOutput(const t_ComPort* port, std::uint32_t start, int count) {
  for (;;) {
    const int state = outputState(port);
    if (state == kOutputSent) {
      return true;
    }
    if (state == kOutputUnknown) {
      const int lineMs = lineTimeMs(port, count);
      if (lineMs < 0 || lineMs > kTransferLimitMs) {
        return false;
      }
      platformSleepMs(static_cast<std::uint32_t>(remainingMs(start, static_cast<std::uint32_t>(lineMs))));
      return true;
    }
    if (remainingMs(start, kTransferLimitMs) == 0) {
      return false;
    }
    platformSleepMs(kDrainPollMs);
  }
}

}  // namespace

int comOpen(t_ComPort* port, int portNumber, int baud) {
  if (const int answer = comOpenCheckRecord(port, portNumber); answer >= 0) {
    return answer;
  }
  clearRecord(port);
  char path[PATH_MAX];
  if (portNumber < 0 || !comDevicePath(static_cast<unsigned>(portNumber), path, sizeof path)) {
    comLogRefused(portNumber, nullptr);
    return 0;
  }
  port->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port->fd < 0) {
    comLogRefused(portNumber, path);
    clearRecord(port);
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
  int written = 0;
  while (written < count) {
    const ssize_t done = write(port->fd, bytes + written, static_cast<std::size_t>(count - written));
    if (done > 0) {
      written += static_cast<int>(done);
      continue;
    }
    if (done < 0 && errno == EINTR) {
      continue;
    }
    if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int left = remainingMs(start, kTransferLimitMs);
      if (left > 0 && (waitForDevice(port->fd, POLLOUT, left) & POLLOUT) != 0) {
        continue;
      }
    }
    // Failed or out of time: what is still queued would go out later, unasked for.
    logSent(bytes, count);
    comLogWriteFailed();
    tcflush(port->fd, TCOFLUSH);
    return 0;
  }
  const bool drained = drainOutput(port, start, count);
  // Logged once the bytes are out: the log's commit that may follow must not hold them up.
  logSent(bytes, count);
  if (!drained) {
    comLogWriteFailed();
    tcflush(port->fd, TCOFLUSH);
    return 0;
  }
  return written;
}

int comRead(t_ComPort* port, char* buffer, int count) {
  if (!isUsable(port) || buffer == nullptr || count <= 0) {
    return 0;
  }
  const std::uint32_t start = platformClockMs();
  int received = 0;
  bool polledReadable = false;
  while (received < count) {
    // Read first: the callers ask for bytes the port has reported waiting, so a look with
    // poll before every read would be a second system call for nothing.
    const ssize_t got = read(port->fd, buffer + received, static_cast<std::size_t>(count - received));
    if (got > 0) {
      received += static_cast<int>(got);
      polledReadable = false;
      continue;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    // A terminal without data reads as 0 or EAGAIN; 0 right after poll said readable is the
    // end of the line (the other side has gone), as is any other error.
    if ((got == 0 && polledReadable) || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
      break;
    }
    // Before the first byte the whole bound applies; after it, only the quiet interval.
    int wait = remainingMs(start, kTransferLimitMs);
    if (received > 0 && wait > kReadIntervalMs) {
      wait = kReadIntervalMs;
    }
    if (wait == 0) {
      break;
    }
    const short events = waitForDevice(port->fd, POLLIN, wait);
    if ((events & POLLIN) == 0) {
      break;  // quiet, out of time, or the other side has gone (POLLHUP/POLLERR)
    }
    polledReadable = true;
  }
  logReceived(buffer, received);
  return received;
}

int comBytesWaiting(t_ComPort* port) {
  if (!isUsable(port)) {
    return 0;
  }
  const int waiting = queuedInput(port);
  return waiting < 0 ? 0 : waiting;
}

int comWaitInput(t_ComPort* port, std::uint32_t timeoutMs) {
  if (!isUsable(port)) {
    return kComPortFailed;
  }
  const std::uint32_t start = platformClockMs();
  for (;;) {
    const int waiting = queuedInput(port);
    if (waiting < 0) {
      return kComPortFailed;
    }
    if (waiting > 0) {
      return kComInputWaiting;
    }
    int left = remainingMs(start, timeoutMs);
    if (left == 0) {
      return kComWaitTimedOut;
    }
    logBeforeLineWait();
    left = remainingMs(start, timeoutMs);  // a commit's time comes out of the wait, not on top
    const short events = waitForDevice(port->fd, POLLIN, left);
    // A terminal whose other side has gone reports itself readable for ever, with nothing
    // to read: bytes that came before still count, then the wait is over for good.
    if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return queuedInput(port) > 0 ? kComInputWaiting : kComPortFailed;
    }
  }
}
