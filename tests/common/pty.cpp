#include "tests/common/pty.h"

#include "tests/common/deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace vlfwu_test {
namespace {


bool ready(int fd, short events, Clock::time_point deadline) {
  pollfd entry{fd, events, 0};
  int count = 0;
  while ((count = poll(&entry, 1, msLeft(deadline))) < 0 && errno == EINTR) {
  }
  return count > 0 && (entry.revents & events) != 0;
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    error_ = std::string("openpty: ") + std::strerror(errno);
    master_ = slave_ = -1;
    return;
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  fcntl(master_, F_SETFL, O_NONBLOCK);
  slavePath_ = name;
  termios raw{};
  tcgetattr(slave_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
}

bool PseudoTerminal::write(std::string_view bytes, int timeoutMs) {
  const auto deadline = deadlineIn(timeoutMs);
  while (master_ >= 0 && !bytes.empty()) {
    const ssize_t written = ::write(master_, bytes.data(), bytes.size());
    if (written < 0 && errno != EINTR && !(errno == EAGAIN && ready(master_, POLLOUT, deadline))) return false;
    bytes.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(written, 0)));
  }
  return master_ >= 0;
}

std::string PseudoTerminal::read(std::size_t count, int timeoutMs) {
  std::string received;
  const auto deadline = deadlineIn(timeoutMs);
  char buffer[4096];
  while (master_ >= 0 && received.size() < count && ready(master_, POLLIN, deadline)) {
    const ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, count - received.size()));
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) break;  // EIO: no slave is open
    received.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  }
  return received;
}

std::string PseudoTerminal::readUntilQuiet(int quietMs, int timeoutMs) {
  std::string received;
  const auto deadline = deadlineIn(timeoutMs);
  for (std::string piece = "-"; !piece.empty() && msLeft(deadline) > 0; received += piece) {
    piece = read(4096, std::min(quietMs, msLeft(deadline)));
  }
  return received;
}

bool PseudoTerminal::waitFor(std::string_view text, int timeoutMs, std::string* received) {
  std::string seen;
  const auto deadline = deadlineIn(timeoutMs);
  for (std::string piece = "-"; !seen.ends_with(text) && !piece.empty(); seen += piece) {
    piece = read(1, msLeft(deadline));
  }
  if (received != nullptr) *received += seen;
  return seen.ends_with(text);
}

long PseudoTerminal::slaveBaud() const {
  static constexpr std::pair<speed_t, long> kRates[] = {
      {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
      {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}};
  termios settings{};
  const bool known = slaveSettings(&settings);
  for (const auto& [speed, baud] : kRates) {
    if (known && speed == cfgetospeed(&settings)) return baud;
  }
  return -1;
}

// On the master, the terminal calls act on the slave's settings.
bool PseudoTerminal::slaveSettings(termios* settings) const { return master_ >= 0 && tcgetattr(master_, settings) == 0; }
bool PseudoTerminal::setSlaveSettings(const termios& settings) {
  return master_ >= 0 && tcsetattr(master_, TCSANOW, &settings) == 0;
}

bool PseudoTerminal::stopReading() {
  const char filler[4096] = {};
  if (slave_ < 0 || fcntl(slave_, F_SETFL, O_NONBLOCK) != 0) return false;
  // Bytes that the terminal moves on toward the master make room again: full means that
  // none is made for a while.
  do {
    ssize_t written = 1;
    while (written > 0 || (written < 0 && errno == EINTR)) written = ::write(slave_, filler, sizeof filler);
    if (written == 0 || errno != EAGAIN) return false;
  } while (ready(slave_, POLLOUT, deadlineIn(100)));
  return true;
}

void PseudoTerminal::hangUp() {
  for (int* fd : {&slave_, &master_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

}  // namespace vlfwu_test
