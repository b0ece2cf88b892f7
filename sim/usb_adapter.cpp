#include "sim/usb_adapter.h"

#include <chrono>

namespace sim {

std::size_t UsbAdapter::release(TimePoint now, std::vector<std::uint8_t>* out) {
  std::size_t count = 0;
  auto pass = [&](std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      out->push_back(held_.front().value);
      held_.pop_front();
    }
    count += n;
  };
  while (held_.size() >= kPacketBytes) pass(kPacketBytes);
  if (!held_.empty() && now >= held_.front().arrived + std::chrono::milliseconds(latencyMs_))
    pass(held_.size());
  return count;
}

std::optional<TimePoint> UsbAdapter::nextRelease() const {
  if (held_.empty()) return std::nullopt;
  if (held_.size() >= kPacketBytes) return held_.front().arrived;
  return held_.front().arrived + std::chrono::milliseconds(latencyMs_);
}

}  // namespace sim
