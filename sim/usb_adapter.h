#pragma once
// A USB serial adapter between the host and the switch, as FTDI chips behave: what the switch
// sends is held in the adapter until its latency timer runs out (that many ms after the first
// byte it holds) or until its 62-byte packet is full, whichever comes first; what the host
// sends leaves in the next 1 ms USB frame. It delays bytes and changes none.
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/sim_clock.h"

namespace sim {

class UsbAdapter {
 public:
  static constexpr std::size_t kPacketBytes = 62;  // 64-byte packet less two status bytes

  explicit UsbAdapter(int latencyMs) : latencyMs_(latencyMs) {}  // negative: no adapter

  bool present() const { return latencyMs_ >= 0; }
  // How late the host's bytes reach the switch.
  Micros hostDelay() const { return present() ? Micros(1000) : Micros(0); }

  // A byte from the switch that reached the adapter at arrived.
  void take(std::uint8_t value, TimePoint arrived) { held_.push_back(Held{value, arrived}); }
  // Appends to out what the adapter hands to the host by now; returns how many bytes.
  std::size_t release(TimePoint now, std::vector<std::uint8_t>* out);
  // When it will next hand bytes over, if it holds any.
  std::optional<TimePoint> nextRelease() const;
  void clear() { held_.clear(); }

 private:
  struct Held {
    std::uint8_t value;
    TimePoint arrived;
  };
  int latencyMs_;
  std::deque<Held> held_;
};

}  // namespace sim
