#include "tests/common/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace vlfwu_test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until the deadline; the revents, 0 on time-out.
short pollUntil(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, msLeft(deadline));
    if (ready > 0) {
      return entry.revents;
    }
    if (ready == 0 || errno != EINTR) {
      return 0;
    }
  }
}

}  // namespace

long baudFromSpeed(speed_t speed) {
  struct Entry {
    speed_t speed;
    long baud;
  };
  static constexpr Entry kTable[] = {
      {B0, 0},         {B300, 300},       {B1200, 1200},     {B2400, 2400},
      {B4800, 4800},   {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
      {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
  };
  for (const Entry& entry : kTable) {
    if (entry.speed == speed) {
      return entry.baud;
    }
  }
  return -1;
}

PseudoTerminal::PseudoTerminal() {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    error_ = std::string("openpty: ") + std::strerror(errno);
    return;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  char name[256] = {};
  if (ttyname_r(slave, name, sizeof name) != 0) {
    error_ = std::string("ttyname_r: ") + std::strerror(errno);
    close(master);
    close(slave);
    return;
  }
  termios settings{};
  if (tcgetattr(slave, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
  }
  master_ = master;
  slave_ = slave;
  slavePath_ = name;
}

PseudoTerminal::~PseudoTerminal() {
  releaseSlave();
  closeMaster();
}

bool PseudoTerminal::write(std::string_view bytes, int timeoutMs) {
  if (master_ < 0) {
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0 && errno == EAGAIN && (pollUntil(master_, POLLOUT, deadline) & POLLOUT) != 0) {
      continue;
    }
    return false;
  }
  return true;
}

std::string PseudoTerminal::read(std::size_t count, int timeoutMs) {
  std::string received;
  if (master_ < 0) {
    return received;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  while (received.size() < count) {
    if ((pollUntil(master_, POLLIN, deadline) & POLLIN) == 0) {
      break;
    }
    const std::size_t want = std::min(sizeof buffer, count - received.size());
    const ssize_t got = ::read(master_, buffer, want);
    if (got > 0) {
      received.append(buffer, static_cast<std::size_t>(got));
    } else if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    } else {
      break;  // EIO: no slave descriptor is open
    }
  }
  return received;
}

std::string PseudoTerminal::readUntilQuiet(int quietMs, int timeoutMs) {
  std::string received;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto quietEnd = Clock::now() + std::chrono::milliseconds(quietMs);
    const std::string piece = read(4096, msLeft(std::min(quietEnd, deadline)));
    if (piece.empty() || Clock::now() >= deadline) {
      received += piece;
      return received;
    }
    received += piece;
  }
}

bool PseudoTerminal::waitFor(std::string_view text, int timeoutMs, std::string* received) {
  std::string seen;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool found = false;
  while (!found) {
    const int left = msLeft(deadline);
    const std::string piece = read(1, left);
    if (piece.empty()) {
      break;
    }
    seen += piece;
    found = seen.size() >= text.size() && seen.compare(seen.size() - text.size(), text.size(), text) == 0;
  }
  if (received != nullptr) {
    *received += seen;
  }
  return found;
}

int PseudoTerminal::masterBytesWaiting() const {
  int waiting = 0;
  if (master_ < 0 || ioctl(master_, FIONREAD, &waiting) != 0) {
    return -1;
  }
  return waiting;
}

void PseudoTerminal::drain() {
  while (!read(4096, 0).empty()) {
  }
}

long PseudoTerminal::slaveBaud() const {
  termios settings{};
  // On the master, the terminal ioctls act on the slave's settings.
  if (master_ < 0 || tcgetattr(master_, &settings) != 0) {
    return -1;
  }
  return baudFromSpeed(cfgetospeed(&settings));
}

bool PseudoTerminal::slaveSettings(termios* settings) const {
  return master_ >= 0 && tcgetattr(master_, settings) == 0;
}

bool PseudoTerminal::setSlaveSettings(const termios& settings) {
  return master_ >= 0 && tcsetattr(master_, TCSANOW, &settings) == 0;
}

void PseudoTerminal::releaseSlave() {
  if (slave_ >= 0) {
    close(slave_);
    slave_ = -1;
  }
}

void PseudoTerminal::closeMaster() {
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
}

}  // namespace vlfwu_test
