// The serial port on POSIX systems: a terminal device driven with termios.
//
// Which device a port number leads to is port_name_posix.cpp's concern. The device is opened
// non-blocking and every wait is a poll with the remaining time of the operation's 1000 ms
// bound, so nothing here can hang, not even on a pseudo-terminal whose other side has gone.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "support/platform.h"
#include "transport/com_open_check.h"
#include "transport/posix/com_device_path.h"
#include "transport/serial.h"

namespace {

constexpr int kTransferLimitMs = 1000;
// A read that has its first byte ends once the line has then been quiet this long.
constexpr int kReadIntervalMs = 10;
constexpr int kDrainPollMs = 1;

struct t_BaudEntry {
  int baud;
  speed_t speed;
};

constexpr t_BaudEntry kBaudTable[] = {
    {9600, B9600},   {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

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

void releaseDevice(int fd) {
  // The exclusive-use flag outlives this descriptor while anyone else holds the device open.
  ioctl(fd, TIOCNXCL);
  close(fd);  // also drops the flock
}

// Milliseconds left of a limit that started at start; 0 once it has passed.
int remainingMs(std::uint32_t start, int limitMs) {
  const std::uint32_t elapsed = platformClockMs() - start;
  return elapsed >= static_cast<std::uint32_t>(limitMs) ? 0 : limitMs - static_cast<int>(elapsed);
}

// Polls for events; returns the revents, 0 on time-out. Retries after signals.
short waitFor(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  const std::uint32_t start = platformClockMs();
  for (;;) {
    const int ready = poll(&entry, 1, remainingMs(start, timeoutMs));
    if (ready > 0) {
      return entry.revents;
    }
    if (ready == 0 || errno != EINTR) {
      return 0;
    }
  }
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

// Applies the rate (and 8 data bits) and checks that the device took it.
bool applyBaud(int fd, int baud, bool fullSetup) {
  speed_t speed = 0;
  if (!speedForBaud(baud, &speed)) {
    return false;
  }
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    return false;
  }
  if (fullSetup) {
    makeRaw(&settings);
  }
  settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
  if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) {
    return false;
  }
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    return false;
  }
  // tcsetattr succeeds when any part of the change was applied; the rate must be among it.
  termios applied{};
  return tcgetattr(fd, &applied) == 0 && cfgetospeed(&applied) == speed;
}

// Waits, within the time left of the write, until the driver has sent everything.
bool drainOutput(int fd, std::uint32_t start) {
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
      break;
    }
    if (remainingMs(start, kTransferLimitMs) == 0) {
      return false;
    }
    platformSleepMs(kDrainPollMs);
  }
  // The driver's queue is empty; this waits only for the last bytes in the hardware.
  for (;;) {
    if (tcdrain(fd) == 0) {
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
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
    return 0;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  // Another program's hold on the device shows as its flock; TIOCEXCL keeps further opens
  // out (except those of the super-user, which the flock still stops if they ask for it).
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0 ||
      !applyBaud(fd, baud, true)) {
    releaseDevice(fd);
    return 0;
  }
  // DTR inactive. Devices without modem-control lines (pseudo-terminals) refuse this, harmlessly.
  const int dtr = TIOCM_DTR;
  ioctl(fd, TIOCMBIC, &dtr);
  port->fd = fd;
  port->isOpen = 1;
  return 1;
}

int comSetBaud(t_ComPort* port, int baud) {
  if (!isUsable(port)) {
    return 0;
  }
  if (!applyBaud(port->fd, baud, false)) {
    comClose(port);
    return 0;
  }
  return 1;
}

int comClose(t_ComPort* port) {
  if (port == nullptr) {
    return 1;
  }
  if (port->isOpen == 1 && port->fd >= 0) {
    releaseDevice(port->fd);
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
      if (left > 0 && (waitFor(port->fd, POLLOUT, left) & POLLOUT) != 0) {
        continue;
      }
    }
    // Failed or out of time: what is still queued would go out later, unasked for.
    tcflush(port->fd, TCOFLUSH);
    return 0;
  }
  if (!drainOutput(port->fd, start)) {
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
  while (received < count) {
    // Before the first byte the whole bound applies; after it, only the quiet interval.
    int wait = remainingMs(start, kTransferLimitMs);
    if (received > 0 && wait > kReadIntervalMs) {
      wait = kReadIntervalMs;
    }
    if (wait == 0) {
      break;
    }
    const short events = waitFor(port->fd, POLLIN, wait);
    if ((events & POLLIN) == 0) {
      break;  // quiet, out of time, or the other side has gone (POLLHUP/POLLERR)
    }
    const ssize_t got = read(port->fd, buffer + received, static_cast<std::size_t>(count - received));
    if (got > 0) {
      received += static_cast<int>(got);
      continue;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      continue;
    }
    break;  // end of file or an error
  }
  return received;
}

int comBytesWaiting(t_ComPort* port) {
  if (!isUsable(port)) {
    return 0;
  }
  int waiting = 0;
  if (ioctl(port->fd, FIONREAD, &waiting) != 0 || waiting < 0) {
    return 0;
  }
  return waiting;
}
