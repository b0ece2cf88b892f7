#include "chip_link.h"

#include <algorithm>
#include <cstring>

#include "sim/line_model.h"

namespace exchanges {

ChipLink::ChipLink(const sim::Options& options, sim::Memory& memory)
    : options_(options),
      memory_(memory),
      plan_(options_.faults, options_.seed),
      chip_(*this, memory_, plan_, options_),
      console_(*this, memory_, plan_, options_) {
  chip_.reset();
}

void ChipLink::runFirmware() {
  firmware_ = true;
  console_.start(false, sim::TimePoint{});
}

void ChipLink::enterBootloader() {
  firmware_ = false;
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
  dropToHost();
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
  if (firmware_) {
    const bool clean = hostBaud_ == sim::kConsoleBaud;
    console_.receive(clean ? byte : sim::noiseByte(byte, noiseSequence_++), clean);
    return;
  }
  // A chip that has measured its rate hears bytes sent at another one as framing noise; one
  // still waiting for '?' measures whatever comes.
  const bool clean = chip_.waitingForSync() || chip_.baud() == hostBaud_;
  chip_.receive(clean ? byte : sim::noiseByte(byte, noiseSequence_++), hostBaud_);
}

int ChipLink::onWire(Way way, std::size_t at, std::uint8_t byte, std::uint8_t out[2]) const {
  using Kind = WireFault::Kind;
  const std::size_t span = fault_.kind == Kind::Lose ? fault_.count : 1;
  if (fault_.kind == Kind::None || fault_.way != way || at < fault_.at || at - fault_.at >= span) {
    out[0] = byte;
    return 1;
  }
  switch (fault_.kind) {
    case Kind::Flip: out[0] = static_cast<std::uint8_t>(byte ^ (1u << fault_.bit)); return 1;
    case Kind::Replace: out[0] = fault_.byte; return 1;
    case Kind::Insert:
      out[fault_.after ? 1 : 0] = fault_.byte;
      out[fault_.after ? 0 : 1] = byte;
      return 2;
    case Kind::Lose:
    case Kind::None: break;
  }
  return 0;
}

void ChipLink::hostWrite(const char* bytes, int count) {
  for (int i = 0; i < count; ++i) {
    const auto byte = static_cast<std::uint8_t>(bytes[i]);
    if (!recording_) {
      deliver(byte);
      continue;
    }
    std::uint8_t out[2];
    const int n = onWire(Way::ToChip, sentToChip_.size(), byte, out);
    sentToChip_.push_back(byte);
    for (int k = 0; k < n; ++k) {
      deliver(out[k]);
    }
  }
}

void ChipLink::queueToHost(std::uint8_t byte) {
  if (!recording_) {
    toHost_.push_back(byte);
    return;
  }
  std::uint8_t out[2];
  const int n = onWire(Way::ToHost, sentToHost_.size(), byte, out);
  sentToHost_.push_back(byte);
  causes_.push_back(sentToChip_.size());
  for (int k = 0; k < n; ++k) {
    toHost_.push_back(out[k]);
  }
}

void ChipLink::transmit(const std::string& bytes) {
  // The chip sends at the rate it measured; a host listening at another reads noise.
  const bool clean = (firmware_ ? sim::kConsoleBaud : chip_.baud()) == hostBaud_;
  for (char c : bytes) {
    const auto byte = static_cast<std::uint8_t>(c);
    queueToHost(clean ? byte : sim::noiseByte(byte, noiseSequence_++));
  }
}

void ChipLink::replyLine(const std::string& text, const std::string& end) {
  transmit(text);
  transmit(end);
}

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
  return static_cast<int>(toHost_.size() - toHostRead_);
}

int ChipLink::hostRead(char* buffer, int count) {
  if (hostWaiting() == 0) {
    sleep(1000);  // the port's read gives up after that long
    return 0;
  }
  const int got = std::min(count, static_cast<int>(toHost_.size() - toHostRead_));
  std::memcpy(buffer, toHost_.data() + toHostRead_, static_cast<std::size_t>(got));
  toHostRead_ += static_cast<std::size_t>(got);
  if (toHostRead_ == toHost_.size()) {
    dropToHost();
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
  dropToHost();
  // ESC first: a half line that a fault left in the chip's buffer is not the question here
  // (the echo of the next command would show it).
  const std::string probe = "\x1bK\r\n";
  hostWrite(probe.data(), static_cast<int>(probe.size()));
  chip_.idle();
  const std::string expected = probe + "0\r\n" + std::to_string(options_.bootCodeVersion[0]) +
                               "\r\n" + std::to_string(options_.bootCodeVersion[1]) + "\r\n";
  const std::string got(toHost_.begin(), toHost_.end());
  dropToHost();
  return got == expected;
}

}  // namespace exchanges
