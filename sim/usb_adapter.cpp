#include "sim/usb_adapter.h"

#include <chrono>

namespace sim {

namespace {

// The end of the USB frame that at falls in: frames are whole milliseconds of the clock, and
// a packet ready at a frame's very start waits for that frame's end too.
TimePoint frameEnd(TimePoint at) {
  const auto frames = std::chrono::floor<Micros>(at.time_since_epoch()) / UsbAdapter::kFrame;
  return TimePoint(UsbAdapter::kFrame * (frames + 1));
}

}  // namespace

std::optional<UsbAdapter::Packet> UsbAdapter::nextPacket() const {
  if (held_.empty()) return std::nullopt;
  TimePoint ready = held_.front().arrived + std::chrono::milliseconds(latencyMs_);
  if (held_.size() >= kPacketBytes) ready = std::min(ready, held_[kPacketBytes - 1].arrived);
  // The packet holds what had arrived when it was ready, 62 bytes at most.
  std::size_t bytes = 0;
  while (bytes < held_.size() && bytes < kPacketBytes && held_[bytes].arrived <= ready) ++bytes;
  return Packet{bytes, frames_ ? frameEnd(ready) : ready};
}

std::size_t UsbAdapter::release(TimePoint now, std::vector<std::uint8_t>* out) {
  std::size_t count = 0;
  for (auto packet = nextPacket(); packet && packet->handed <= now; packet = nextPacket()) {
    for (std::size_t i = 0; i < packet->bytes; ++i) {
      out->push_back(held_.front().value);
      held_.pop_front();
    }
    count += packet->bytes;
  }
  return count;
}

std::optional<TimePoint> UsbAdapter::nextRelease() const {
  auto packet = nextPacket();
  if (!packet) return std::nullopt;
  return packet->handed;
}

}  // namespace sim
