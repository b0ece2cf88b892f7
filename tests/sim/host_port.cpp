#include "tests/sim/host_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

namespace simtest {

namespace {

speed_t speedOf(int baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
  }
}

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool HostPort::open(const std::string& path, int baud) {
  close();
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return false;
  termios t{};
  tcgetattr(fd_, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  tcsetattr(fd_, TCSANOW, &t);
  return setBaud(baud);
}

void HostPort::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool HostPort::setBaud(int baud) {
  termios t{};
  if (fd_ < 0 || tcgetattr(fd_, &t) != 0) return false;
  cfsetispeed(&t, speedOf(baud));
  cfsetospeed(&t, speedOf(baud));
  return tcsetattr(fd_, TCSANOW, &t) == 0;
}

void HostPort::send(std::string_view bytes) {
  std::size_t done = 0;
  long long deadline = nowMs() + 2000;
  while (fd_ >= 0 && done < bytes.size() && nowMs() < deadline) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

std::string HostPort::read(std::size_t count, int timeoutMs) {
  std::string out;
  long long deadline = nowMs() + timeoutMs;
  while (fd_ >= 0 && out.size() < count) {
    long long left = deadline - nowMs();
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    if (p.revents & (POLLHUP | POLLERR)) break;
    char buffer[4096];
    ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

std::string HostPort::readUntil(std::string_view text, int timeoutMs) {
  std::string out;
  long long deadline = nowMs() + timeoutMs;
  while (fd_ >= 0 && out.find(text) == std::string::npos) {
    long long left = deadline - nowMs();
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    if (p.revents & (POLLHUP | POLLERR)) break;
    char c;
    if (::read(fd_, &c, 1) == 1) out.push_back(c);
  }
  return out;
}

std::string HostPort::readFor(int ms) { return read(1 << 20, ms); }

std::string HostPort::exchange(std::string_view bytes, std::size_t replyBytes, int timeoutMs) {
  send(bytes);
  return read(replyBytes, timeoutMs);
}

std::string demoImagePath(int index) {
  return std::string(VLFWU_SOURCE_DIR) +
         (index == 0 ? "/firmware/images/sonarch60.vlfw" : "/firmware/images/sonarch60-2710.vlfw");
}

sim::Options blankBootloader() {
  sim::Options o;
  o.blank = true;
  return o;
}

sim::Options installedSwitch() {
  sim::Options o;
  o.installImage = demoImagePath(0);
  o.bootDelayMs = 50;
  o.dspIntervalMs = 10;
  return o;
}

bool syncBootloader(HostPort& port, bool echoOff, int baud) {
  port.setBaud(baud);
  std::string got = port.exchange("?", 14);
  EXPECT_EQ(got, "Synchronized\r\n");
  if (got != "Synchronized\r\n") return false;
  // Echo of the line, then OK.
  got = port.exchange("Synchronized\r\n", 18);
  EXPECT_EQ(got, "Synchronized\r\nOK\r\n");
  if (got != "Synchronized\r\nOK\r\n") return false;
  got = port.exchange("O\r\n", 7);
  EXPECT_EQ(got, "O\r\nOK\r\n");
  if (got != "O\r\nOK\r\n") return false;
  if (!echoOff) return true;
  got = port.exchange("A 0\r\n", 8);
  EXPECT_EQ(got, "A 0\r\n0\r\n");
  return got == "A 0\r\n0\r\n";
}

bool allNoise(const std::string& bytes) {
  for (char c : bytes)
    if ((static_cast<unsigned char>(c) & 0x80) == 0) return false;
  return true;
}

std::string tempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/vlfwu-simtest-" + std::to_string(getpid()) +
         "-" + name;
}

}  // namespace simtest
