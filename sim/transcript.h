#pragma once
// A person-readable record of a session: every byte in both directions with a timestamp,
// the direction and the line rate, and the device's state changes.
//
//   [    0.512034] host>sim  @115200  "U 23130\r\n"
//   [    0.512101] sim>host  @115200  "0\r\n"
//   [    0.600000] state     bootloader synchronised at 115200 baud
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "sim/sim_clock.h"

namespace sim {

class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  bool open(const std::string& path, std::string* error);
  bool active() const { return file_ != nullptr; }

  // Bytes read from the host (toSwitch) or written to it; note is appended when not empty
  // (e.g. "noise: switch listens at 19200").
  void bytes(bool toSwitch, const std::uint8_t* data, std::size_t count, int baud,
             const std::string& note = std::string());
  void event(const std::string& text);
  void close();

 private:
  void stamp();
  std::FILE* file_ = nullptr;
  TimePoint start_ = simNow();
  std::mutex mutex_;
};

// Text with control and non-ASCII bytes escaped (\r, \n, \e, \xNN), in double quotes.
std::string quoteBytes(const std::uint8_t* data, std::size_t count);

}  // namespace sim
