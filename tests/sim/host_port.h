#pragma once
// The host's end of the cable in the simulator's tests: the pseudo-terminal's slave side opened
// by path with plain termios, as a serial program would, plus a fixture that starts a switch.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/switch_sim.h"

namespace simtest {

class HostPort {
 public:
  HostPort() = default;
  explicit HostPort(const std::string& path, int baud = 19200) { open(path, baud); }
  ~HostPort() { close(); }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;
  bool open(const std::string& path, int baud);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool setBaud(int baud);
  void send(std::string_view bytes);
  // Reads until count bytes (or text) have come, or timeoutMs has passed.
  std::string read(std::size_t count, int timeoutMs = 2000);
  std::string readUntil(std::string_view text, int timeoutMs = 2000);
  std::string readFor(int ms) { return read(1 << 20, ms); }
  std::string exchange(std::string_view bytes, std::size_t replyBytes, int timeoutMs = 2000) {
    send(bytes);
    return read(replyBytes, timeoutMs);
  }

 private:
  int fd_ = -1;
};

sim::Options blankBootloader();  // an erased chip, in its bootloader
sim::Options installedSwitch();  // the first demo image installed (model 86, 512 KB banks)
sim::Options restartable();  // that switch held in its bootloader; no messages after a restart
std::string demoImagePath(int index);
std::string tempPath(const std::string& name);
std::vector<std::uint8_t> readFile(const std::string& path);
// "?", "Synchronized", frequency line "O", then "A 0" when echoOff; false on any other answer.
bool syncBootloader(HostPort& port, bool echoOff = true, int baud = 115200);
// The UU blocks of data as W sends and R returns them: up to 20 lines, then the checksum line.
std::vector<std::string> uuBlocks(const std::vector<std::uint8_t>& data);

struct Step {
  const char* send;
  const char* reply;
};

// A simulated switch started in-process and the host's port opened on it.
class SimTest : public ::testing::Test {
 protected:
  void start(const sim::Options& options, int baud = 115200) {
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
  void run(std::initializer_list<Step> steps) {
    for (const Step& s : steps) expectReply(s.send, s.reply);
  }
  // Writes data to RAM at address through W, every block answered OK.
  void writeRam(const std::vector<std::uint8_t>& data, std::uint32_t address = 0x10000000) {
    expectReply("W " + std::to_string(address) + " " + std::to_string(data.size()) + "\r\n",
                "0\r\n");
    for (const std::string& block : uuBlocks(data)) expectReply(block, "OK\r\n");
  }
  void fillRam(std::uint8_t value, std::size_t n = 512) { writeRam(std::vector(n, value)); }
  void TearDown() override {
    port.close();
    if (device) device->stop();
  }

  std::unique_ptr<sim::Switch> device;
  HostPort port;
};

}  // namespace simtest
