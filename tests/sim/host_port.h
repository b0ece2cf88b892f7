#pragma once
// The host's end of the cable in the simulator's tests: the slave side of the simulator's
// pseudo-terminal, opened by path and configured with plain termios, as a serial program
// would. Reads have time-outs; nothing here knows the protocol.
#include <string>
#include <string_view>

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
  // Reads until count bytes have come or timeoutMs has passed.
  std::string read(std::size_t count, int timeoutMs = 2000);
  // Reads until text has appeared (returns everything read) or timeoutMs has passed.
  std::string readUntil(std::string_view text, int timeoutMs = 2000);
  // Reads whatever arrives within ms.
  std::string readFor(int ms);
  // Sends bytes and reads as many bytes as the expected answer has.
  std::string exchange(std::string_view bytes, std::size_t replyBytes, int timeoutMs = 2000);

 private:
  int fd_ = -1;
};

// Options for a simulated switch started in its bootloader from an erased chip.
sim::Options blankBootloader();
// Options for a switch whose flash holds the first demo image (model 86, 512 KB banks).
sim::Options installedSwitch();
std::string demoImagePath(int index);

// Synchronises with a waiting bootloader at 115200 baud ("?", "Synchronized", "O" as the
// frequency line) and, when echoOff, turns echo off. Returns false (with a gtest failure
// message recorded) when an answer differs.
bool syncBootloader(HostPort& port, bool echoOff = true, int baud = 115200);

// True when every byte has the high bit set (what a receiver at a wrong rate gets).
bool allNoise(const std::string& bytes);

std::string tempPath(const std::string& name);

}  // namespace simtest

#include <memory>

#include <gtest/gtest.h>

namespace simtest {

// A simulated switch started in-process and the host's port opened on it.
class SimTest : public ::testing::Test {
 protected:
  // Starts the switch and opens the port at the given rate.
  void start(const sim::Options& options, int baud = 115200) {
    device = std::make_unique<sim::Switch>(options);
    std::string error;
    ASSERT_TRUE(device->start(&error)) << error;
    ASSERT_TRUE(port.open(device->slavePath(), baud)) << device->slavePath();
  }
  // Starts an erased chip's bootloader and synchronises with it (echo off unless asked).
  void startSynced(sim::Options options = blankBootloader(), bool echoOff = true) {
    start(options);
    ASSERT_TRUE(syncBootloader(port, echoOff));
  }
  // One step of a transcript: the host sends a line, the chip answers exactly reply.
  void expectReply(std::string_view send, std::string_view reply) {
    EXPECT_EQ(port.exchange(send, reply.size()), reply) << "host sent \"" << send << "\"";
  }
  void TearDown() override {
    port.close();
    if (device) device->stop();
  }

  std::unique_ptr<sim::Switch> device;
  HostPort port;
};

}  // namespace simtest
