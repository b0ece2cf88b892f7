#pragma once
// The far end of a pseudo-terminal that the program opens as its COM port: the test writes
// the switch's bytes into the master side and reads what the program sent. Shared by the
// ISP test groups.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "transport/serial.h"

namespace isptest {

// Points the program's COM<number> at the given device, as the port layer looks it up.
inline void mapComPort(int number, const std::string& path) {
  const std::string name = "VLFWU_COM" + std::to_string(number);
  setenv(name.c_str(), path.c_str(), 1);
}

class PtyPeer {
 public:
  PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      return;
    }
    const char* name = ptsname(master_);
    if (name != nullptr) {
      slavePath_ = name;
    }
    termios tio{};
    if (tcgetattr(master_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(master_, TCSANOW, &tio);
    }
  }
  ~PtyPeer() {
    stopScript();
    if (master_ >= 0) {
      close(master_);
    }
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool ok() const { return master_ >= 0 && !slavePath_.empty(); }

  // The rate the program has set the line to, in bits per second; -1 when unknown.
  long slaveBaud() const {
    const int fd = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      return -1;
    }
    termios tio{};
    long baud = -1;
    if (tcgetattr(fd, &tio) == 0) {
      switch (cfgetospeed(&tio)) {
        case B9600: baud = 9600; break;
        case B19200: baud = 19200; break;
        case B38400: baud = 38400; break;
        case B57600: baud = 57600; break;
        case B115200: baud = 115200; break;
        default: break;
      }
    }
    close(fd);
    return baud;
  }
  const std::string& slavePath() const { return slavePath_; }

  // Bytes from the switch's side.
  void send(std::string_view bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) {
        return;
      }
      done += static_cast<std::size_t>(n);
    }
  }

  // Everything the program has sent so far, waiting until quietMs pass without a new byte.
  std::string receive(int quietMs = 50) const {
    std::string out;
    char chunk[4096];
    pollfd pfd{master_, POLLIN, 0};
    while (poll(&pfd, 1, quietMs) > 0 && (pfd.revents & POLLIN) != 0) {
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) {
        break;
      }
      out.append(chunk, static_cast<std::size_t>(n));
    }
    return out;
  }

  // A scripted switch on a thread of its own: each step waits until the program's bytes
  // (since the previous step) contain `expect`, then sends `reply`. Everything received is
  // kept in the transcript.
  struct Step {
    std::string expect;
    std::string reply;
  };
  void runScript(std::vector<Step> steps) {
    stopScript();
    stop_ = false;
    script_ = std::thread([this, steps = std::move(steps)] {
      std::string pending;
      std::size_t step = 0;
      char chunk[4096];
      pollfd pfd{master_, POLLIN, 0};
      while (!stop_) {
        if (poll(&pfd, 1, 10) > 0 && (pfd.revents & POLLIN) != 0) {
          const ssize_t n = read(master_, chunk, sizeof chunk);
          if (n > 0) {
            pending.append(chunk, static_cast<std::size_t>(n));
            std::lock_guard<std::mutex> lock(mutex_);
            transcript_.append(chunk, static_cast<std::size_t>(n));
          }
        }
        while (step < steps.size()) {
          const std::size_t at = pending.find(steps[step].expect);
          if (at == std::string::npos) {
            break;
          }
          pending.erase(0, at + steps[step].expect.size());
          send(steps[step].reply);
          ++step;
        }
      }
    });
  }
  void stopScript() {
    stop_ = true;
    if (script_.joinable()) {
      script_.join();
    }
  }
  std::string transcript() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transcript_;
  }

 private:
  int master_ = -1;
  std::string slavePath_;
  std::thread script_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string transcript_;
};

// Milliseconds taken by a call.
template <typename F>
long long millisecondsOf(F&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Counts the occurrences of a text in another.
inline int countOf(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

}  // namespace isptest
