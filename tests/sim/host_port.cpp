#include "tests/sim/host_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "sim/uu_codec.h"

namespace simtest {

namespace {

long long nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Reads until count bytes or text have come; a hang-up of the other end ends it at once.
std::string readSome(int fd, std::size_t count, std::string_view text, int timeoutMs) {
  std::string out;
  long long deadline = nowMs() + timeoutMs;
  while (fd >= 0 && out.size() < count && (text.empty() || out.find(text) == std::string::npos)) {
    long long left = deadline - nowMs();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    if (p.revents & (POLLHUP | POLLERR)) break;
    char buffer[4096];
    std::size_t want = text.empty() ? std::min(sizeof buffer, count - out.size()) : 1;
    ssize_t n = ::read(fd, buffer, want);
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
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
  static constexpr struct { int baud; speed_t speed; } kSpeeds[] = {
      {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  speed_t speed = B0;
  for (auto s : kSpeeds)
    if (s.baud == baud) speed = s.speed;
  termios t{};
  if (fd_ < 0 || tcgetattr(fd_, &t) != 0) return false;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
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
  return readSome(fd_, count, {}, timeoutMs);
}

std::string HostPort::readUntil(std::string_view text, int timeoutMs) {
  return readSome(fd_, std::string::npos, text, timeoutMs);
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

sim::Options restartable() {
  sim::Options o = installedSwitch();
  o.startInBootloader = true;
  o.dspBanks = 0;
  o.readyMessage = false;
  return o;
}

std::string tempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/vlfwu-simtest-" + std::to_string(getpid()) +
         "-" + name;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool syncBootloader(HostPort& port, bool echoOff, int baud) {
  port.setBaud(baud);
  // Each line is echoed ahead of its answer while echo is on.
  for (Step s : {Step{"?", "Synchronized\r\n"}, Step{"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
                 Step{"O\r\n", "O\r\nOK\r\n"}, Step{"A 0\r\n", "A 0\r\n0\r\n"}}) {
    if (!echoOff && s.send[0] == 'A') break;
    std::string got = port.exchange(s.send, std::string_view(s.reply).size());
    EXPECT_EQ(got, s.reply);
    if (got != s.reply) return false;
  }
  return true;
}

std::vector<std::string> uuBlocks(const std::vector<std::uint8_t>& data) {
  std::vector<std::string> blocks;
  for (std::size_t from = 0; from < data.size(); from += 900) {
    std::size_t end = std::min<std::size_t>(data.size(), from + 900);
    std::string text;
    std::uint32_t sum = 0;
    for (std::size_t at = from; at < end; at += 45)
      text += sim::uuEncodeLine(data.data() + at, std::min<std::size_t>(45, end - at)) + "\r\n";
    for (std::size_t i = from; i < end; ++i) sum += data[i];
    blocks.push_back(text + std::to_string(sum) + "\r\n");
  }
  return blocks;
}

}  // namespace simtest
