#include "chip_link.h"

#include "sim/line_model.h"

namespace exchanges {

ChipLink::ChipLink(const sim::Options& options, sim::Memory& memory)
    : options_(options),
      memory_(memory),
      plan_(options_.faults, options_.seed),
      chip_(*this, memory_, plan_, options_) {
  chip_.reset();
}

void ChipLink::prepare(const std::string& bytes) {
  const int rate = hostBaud_;
  hostBaud_ = chip_.baud() != 0 ? chip_.baud() : rate;
  for (char c : bytes) {
    deliver(static_cast<std::uint8_t>(c));
  }
  chip_.idle();
  hostBaud_ = rate;
  toHost_.clear();
  answers_.clear();
}

void ChipLink::begin(const WireFault& fault) {
  fault_ = fault;
  recording_ = true;
  sentToChip_.clear();
  sentToHost_.clear();
  causes_.clear();
  answers_.clear();
}

void ChipLink::deliver(std::uint8_t byte) {
  // A chip that has measured its rate hears bytes sent at another one as framing noise; one
  // still waiting for '?' measures whatever comes.
  const bool clean = chip_.waitingForSync() || chip_.baud() == hostBaud_;
  chip_.receive(clean ? byte : sim::noiseByte(byte, noiseSequence_++), hostBaud_);
}

void ChipLink::hostWrite(const char* bytes, int count) {
  for (int i = 0; i < count; ++i) {
    const auto byte = static_cast<std::uint8_t>(bytes[i]);
    if (!recording_) {
      deliver(byte);
      continue;
    }
    const std::size_t at = sentToChip_.size();
    sentToChip_.push_back(byte);
    if (fault_.way != Way::ToChip || fault_.at != at || fault_.kind == WireFault::Kind::None) {
      deliver(byte);
      continue;
    }
    switch (fault_.kind) {
      case WireFault::Kind::Flip:
        deliver(static_cast<std::uint8_t>(byte ^ (1u << fault_.bit)));
        break;
      case WireFault::Kind::Insert:
        deliver(fault_.byte);
        deliver(byte);
        break;
      case WireFault::Kind::Lose:
      case WireFault::Kind::None:
        break;
    }
  }
}

void ChipLink::queueToHost(std::uint8_t byte) {
  if (!recording_) {
    toHost_.push_back(byte);
    return;
  }
  const std::size_t at = sentToHost_.size();
  sentToHost_.push_back(byte);
  causes_.push_back(sentToChip_.size());
  if (fault_.way != Way::ToHost || fault_.at != at || fault_.kind == WireFault::Kind::None) {
    toHost_.push_back(byte);
    return;
  }
  switch (fault_.kind) {
    case WireFault::Kind::Flip:
      toHost_.push_back(static_cast<std::uint8_t>(byte ^ (1u << fault_.bit)));
      break;
    case WireFault::Kind::Insert:
      toHost_.push_back(fault_.byte);
      toHost_.push_back(byte);
      break;
    case WireFault::Kind::Lose:
    case WireFault::Kind::None:
      break;
  }
}

void ChipLink::transmit(const std::string& bytes) {
  // The chip sends at the rate it measured; a host listening at another reads noise.
  const bool clean = chip_.baud() == hostBaud_;
  for (char c : bytes) {
    const auto byte = static_cast<std::uint8_t>(c);
    queueToHost(clean ? byte : sim::noiseByte(byte, noiseSequence_++));
  }
}

void ChipLink::replyLine(const std::string& text, const std::string& end) { transmit(text + end); }

void ChipLink::commandAnswered(const std::string& command, int code) {
  answers_.push_back(Answer{command, code});
}

void ChipLink::go(std::uint32_t address) {
  jumped_ = true;
  jumpAddress_ = address;
}

int ChipLink::hostWaiting() {
  // The line is quiet while the host looks: a command ended by a lone CR runs now.
  chip_.idle();
  return static_cast<int>(toHost_.size());
}

int ChipLink::hostRead(char* buffer, int count) {
  if (hostWaiting() == 0) {
    sleep(1000);  // the port's read gives up after that long
    return 0;
  }
  int got = 0;
  while (got < count && !toHost_.empty()) {
    buffer[got++] = static_cast<char>(toHost_.front());
    toHost_.pop_front();
  }
  return got;
}

bool ChipLink::hostWait(std::uint32_t ms) {
  if (hostWaiting() > 0) {
    return true;
  }
  sleep(ms);
  return false;
}

void ChipLink::sleep(std::uint32_t ms) {
  chip_.idle();
  nowMs_ += ms;
}

void ChipLink::sleepUs(std::uint32_t us) {
  chip_.idle();
  ++microsecondSleeps_;
  nowUs_ += us;
  nowMs_ += nowUs_ / 1000u;
  nowUs_ %= 1000u;
}

bool ChipLink::answersWithEcho() {
  recording_ = false;
  toHost_.clear();
  // ESC first: a half line that a fault left in the chip's buffer is not the question here
  // (the echo of the next command would show it).
  const std::string probe = "\x1bK\r\n";
  hostWrite(probe.data(), static_cast<int>(probe.size()));
  chip_.idle();
  const std::string expected = probe + "0\r\n" + std::to_string(options_.bootCodeVersion[0]) +
                               "\r\n" + std::to_string(options_.bootCodeVersion[1]) + "\r\n";
  const std::string got(toHost_.begin(), toHost_.end());
  toHost_.clear();
  return got == expected;
}

}  // namespace exchanges
