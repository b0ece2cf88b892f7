#pragma once
// A USB serial adapter between the host and the switch, as FTDI chips behave: what the switch
// sends is held in the adapter until its latency timer runs out (that many ms after the first
// byte it holds) or until its 62-byte packet is full, whichever comes first; what the host
// sends leaves in the next 1 ms USB frame. It delays bytes and changes none.
//
// With frames, the host also takes the switch's bytes only at the end of a 1 ms USB frame, as
// a full-speed host polls the adapter once a frame: a packet that is ready during a frame
// (timer run out, packet full, or at once with no timer) reaches the host at that frame's end.
// The frames are whole milliseconds of the simulator's clock.
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/sim_clock.h"

namespace sim {

class UsbAdapter {
 public:
  static constexpr std::size_t kPacketBytes = 62;  // 64-byte packet less two status bytes
  static constexpr Micros kFrame{1000};            // a full-speed USB frame

  // latencyMs negative: no adapter.
  explicit UsbAdapter(int latencyMs, bool frames = false) : latencyMs_(latencyMs), frames_(frames) {}

  bool present() const { return latencyMs_ >= 0; }
  // How late the host's bytes reach the switch.
  Micros hostDelay() const { return present() ? kFrame : Micros(0); }

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
  // The packet the adapter sends next: how many of the held bytes, and when the host has it.
  struct Packet {
    std::size_t bytes;
    TimePoint handed;
  };
  std::optional<Packet> nextPacket() const;

  int latencyMs_;
  bool frames_;
  std::deque<Held> held_;
};

}  // namespace sim
