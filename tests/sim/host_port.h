#pragma once
// The host's end of the cable in the simulator's tests: the pseudo-terminal's slave side opened
// by path with plain termios, as a serial program would, plus a fixture that starts a switch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/switch_sim.h"
#include "sim/uu_codec.h"

namespace simtest {

inline long long nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class HostPort {
 public:
  HostPort() = default;
  explicit HostPort(const std::string& path, int baud = 19200) { open(path, baud); }
  ~HostPort() { close(); }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;
  int fd() const { return fd_; }

  bool open(const std::string& path, int baud) {
    close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (fd_ < 0 || tcgetattr(fd_, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd_, TCSANOW, &t) == 0 && setBaud(baud);
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool setBaud(int baud) {
    static constexpr struct { int baud; speed_t speed; } kSpeeds[] = {
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    speed_t speed = B0;
    for (auto s : kSpeeds) speed = s.baud == baud ? s.speed : speed;
    termios t{};
    return fd_ >= 0 && tcgetattr(fd_, &t) == 0 && cfsetispeed(&t, speed) == 0 &&
           cfsetospeed(&t, speed) == 0 && tcsetattr(fd_, TCSANOW, &t) == 0;
  }
  void send(std::string_view bytes) {
    long long deadline = nowMs() + 2000;
    while (fd_ >= 0 && !bytes.empty() && nowMs() < deadline) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      pollfd p{fd_, POLLOUT, 0};
      if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n)); else poll(&p, 1, 10);
    }
  }
  // Reads until count bytes (or until text) have come, or timeoutMs has passed.
  std::string read(std::size_t count, int timeoutMs = 2000, std::string_view text = {}) {
    std::string out;
    long long deadline = nowMs() + timeoutMs;
    while (fd_ >= 0 && out.size() < count && (text.empty() || out.find(text) == out.npos)) {
      int left = static_cast<int>(deadline - nowMs());
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || (poll(&p, 1, left) > 0 && (p.revents & (POLLHUP | POLLERR)))) break;
      char buffer[4096];  // byte by byte when looking for text, so nothing after it is taken
      std::size_t want = text.empty() ? std::min(sizeof buffer, count - out.size()) : 1;
      ssize_t n = ::read(fd_, buffer, want);
      if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  std::string readFor(int ms) { return read(1 << 20, ms); }
  std::string exchange(std::string_view bytes, std::size_t replyBytes) {
    send(bytes);
    return read(replyBytes);
  }

 private:
  int fd_ = -1;
};

template <class Tweak>
sim::Options with(sim::Options options, Tweak tweak) {
  tweak(options);
  return options;
}
inline std::string demoImagePath(int index) {
  return std::string(VLFWU_SOURCE_DIR) + "/firmware/images/sonarch60" + (index ? "-2710" : "") +
         ".vlfw";
}
inline sim::Options blankBootloader() {  // an erased chip, in its bootloader
  return with(sim::Options{}, [](sim::Options& o) { o.blank = true; });
}
inline sim::Options installedSwitch() {  // the first demo image (model 86, 512 KB banks)
  return with(sim::Options{}, [](sim::Options& o) {
    o.installImage = demoImagePath(0), o.bootDelayMs = 50, o.dspIntervalMs = 10;
  });
}
inline sim::Options restartable() {  // that switch in its bootloader, silent after a restart
  return with(installedSwitch(), [](sim::Options& o) {
    o.startInBootloader = true, o.dspBanks = 0, o.readyMessage = false;
  });
}
inline std::string tempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/vlfwu-simtest-" + std::to_string(getpid()) +
         "-" + name;
}
inline std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bytes of mem at the given offsets, for compact checks.
inline std::vector<int> bytesAt(const std::vector<std::uint8_t>& mem,
                                std::initializer_list<std::size_t> at) {
  std::vector<int> out;
  for (std::size_t offset : at) out.push_back(mem.at(offset));
  return out;
}
using Bytes = std::vector<int>;

struct Step {
  const char* send;
  const char* reply;
};

// "?", "Synchronized", frequency line "O", then "A 0" when echoOff; false on any other answer.
// Each line is echoed ahead of its answer while echo is on.
inline bool syncBootloader(HostPort& port, bool echoOff = true, int baud = 115200) {
  port.setBaud(baud);
  for (Step s : {Step{"?", "Synchronized\r\n"}, Step{"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
                 Step{"O\r\n", "O\r\nOK\r\n"}, Step{"A 0\r\n", "A 0\r\n0\r\n"}}) {
    if (!echoOff && s.send[0] == 'A') break;
    std::string got = port.exchange(s.send, std::string_view(s.reply).size());
    EXPECT_EQ(got, s.reply);
    if (got != s.reply) return false;
  }
  return true;
}

// The UU blocks of data as W sends and R returns them: up to 20 lines, then the checksum line.
inline std::vector<std::string> uuBlocks(const std::vector<std::uint8_t>& data) {
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

// A simulated switch started in-process and the host's port opened on it.
class SimTest : public ::testing::Test {
 protected:
  void start(const sim::Options& options, int baud = 115200) {
    TearDown();
    device = std::make_unique<sim::Switch>(options);
    std::string error;
    ASSERT_TRUE(device->start(&error)) << error;
    ASSERT_TRUE(port.open(device->slavePath(), baud)) << device->slavePath();
  }
  void startSynced(const sim::Options& options = blankBootloader(), bool echoOff = true) {
    start(options);
    ASSERT_TRUE(syncBootloader(port, echoOff));
  }
  void startUnlocked(const sim::Options& options = blankBootloader()) {
    startSynced(options);
    expectReply("U 23130\r\n", "0\r\n");
  }
  // One transcript step: the host sends, the chip answers exactly reply.
  void expectReply(std::string_view send, std::string_view reply) {
    EXPECT_EQ(port.exchange(send, reply.size()), reply) << "host sent \"" << send << "\"";
  }
  // The host sends; nothing at all comes back within ms.
  void expectQuiet(std::string_view send, int ms = 150) {
    port.send(send);
    EXPECT_EQ(port.readFor(ms), "") << "host sent \"" << send << "\"";
  }
  void run(std::initializer_list<Step> steps) {
    for (const Step& s : steps) expectReply(s.send, s.reply);
  }
  // Writes data to RAM at 0x10000000 through W, every block answered OK.
  void writeRam(const std::vector<std::uint8_t>& data) {
    expectReply("W 268435456 " + std::to_string(data.size()) + "\r\n", "0\r\n");
    for (const std::string& block : uuBlocks(data)) expectReply(block, "OK\r\n");
  }
  void fillRam(std::uint8_t value) { writeRam(std::vector<std::uint8_t>(512, value)); }
  void TearDown() override {
    port.close();
    if (device) device->stop();
  }

  std::unique_ptr<sim::Switch> device;
  HostPort port;
};

}  // namespace simtest
