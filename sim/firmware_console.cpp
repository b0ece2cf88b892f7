#include "sim/firmware_console.h"

#include <cstdio>
#include <cstring>

#include "sim/image_install.h"
#include "update/param_table.h"

namespace sim {

namespace {
constexpr std::size_t kMaxFrame = 64;
constexpr std::uint8_t kEsc = 0x1B;
// What the console's line driver lets slip out between frames when noise is injected:
// bytes a host must drop (control characters and bytes with the high bit set), never a
// frame character or a line end.
constexpr char kNoise[] = "\xFE\x00\x8A\x07";
}  // namespace

FirmwareConsole::FirmwareConsole(DeviceServices& device, const Memory& memory,
                                 const FaultPlan& faults, const Options& options)
    : dev_(device), mem_(memory), faults_(faults), options_(options) {}

void FirmwareConsole::start(bool afterRestart, TimePoint now) {
  inFrame_ = false;
  body_.clear();
  scheduled_.clear();
  if (!afterRestart) return;
  TimePoint at = now + std::chrono::milliseconds(options_.bootDelayMs);
  auto interval = std::chrono::milliseconds(options_.dspIntervalMs);
  bool first = true;
  for (int bank = 1; bank <= options_.dspBanks; ++bank)
    for (int step = 0; step <= 5; ++step) {
      if (!first) at += interval;
      first = false;
      scheduled_.emplace_back(at, "!100," + std::to_string(bank) + "," + std::to_string(step));
    }
  if (options_.readyMessage) {
    if (!first) at += interval;
    scheduled_.emplace_back(at, "=P");
  }
}

void FirmwareConsole::stop() {
  scheduled_.clear();
  inFrame_ = false;
  body_.clear();
}

void FirmwareConsole::poll(TimePoint now) {
  while (!scheduled_.empty() && scheduled_.front().first <= now) {
    std::string body = scheduled_.front().second;
    scheduled_.pop_front();
    sendFrame(body);
  }
}

std::optional<TimePoint> FirmwareConsole::nextEvent() const {
  if (scheduled_.empty()) return std::nullopt;
  return scheduled_.front().first;
}

void FirmwareConsole::sendFrame(const std::string& body) { sendRaw("^" + body + "$"); }

void FirmwareConsole::sendRaw(std::string frame) {
  if (faults_.consoleNoise()) frame.insert(0, kNoise, sizeof kNoise - 1);
  dev_.transmit(frame);
}

std::string FirmwareConsole::identityFrame() {
  const LineFaults& f = options_.lineFaults;
  std::string frame(1, '^');
  frame += identityText();
  frame += '$';
  const int answer = ++identityAnswers_;
  const struct {
    int answer;
    int byte;
    int bit;  // -1: the byte is lost
  } strikes[] = {{f.identityFlipBit < 0 ? -1 : f.identityFlipAnswer, f.identityFlipBit / 8,
                  f.identityFlipBit % 8},
                 {f.identityLoseByte < 0 ? -1 : f.identityLoseAnswer, f.identityLoseByte, -1}};
  for (const auto& strike : strikes) {
    if (answer != strike.answer || static_cast<std::size_t>(strike.byte) >= frame.size())
      continue;  // a frame shorter than that is left alone
    const std::string line = "fault: identity answer " + std::to_string(answer) + " \"" + frame + "\", ";
    dev_.event(line + strikeByte(&frame, static_cast<std::size_t>(strike.byte), strike.bit));
  }
  return frame;
}

void FirmwareConsole::receive(std::uint8_t byte, bool clean) {
  if (!clean || byte == kEsc) {
    // A garbled byte spoils the frame it falls into; ESC starts afresh.
    inFrame_ = false;
    body_.clear();
    return;
  }
  if (byte == '^') {
    inFrame_ = true;
    body_.clear();
  } else if (!inFrame_) {
    // Outside a frame: the probe character, CR and the like are ignored.
  } else if (byte == '$') {
    inFrame_ = false;
    std::string body;
    body.swap(body_);
    dispatch(body);
  } else if (byte < 0x20 || body_.size() >= kMaxFrame) {
    inFrame_ = false;
    body_.clear();
  } else {
    body_.push_back(static_cast<char>(byte));
  }
}

void FirmwareConsole::dispatch(const std::string& body) {
  if (body == "P") {
    sendFrame(options_.probeAnswer == ProbeAnswer::Ack ? "+" : "=P00");
  } else if (body == "V") {
    if (options_.ackBeforeIdentity) sendFrame("+");
    sendRaw(identityFrame());
  } else if (body == "BOOTL") {
    dev_.event("firmware: bootloader requested");
    stop();
    dev_.enterBootloader();
  } else {
    dev_.event("firmware: frame \"" + body + "\" ignored");
  }
}

std::string FirmwareConsole::identityText() const {
  t_ParamTable table;
  std::uint8_t raw[sizeof table];
  mem_.read(tableAddressFor(mem_.bankSize()), raw, sizeof raw);
  std::memcpy(&table, raw, sizeof table);
  bool known = table.magic == kTableMagic || table.magic == kTableMagicOld;
  std::string name;
  std::uint32_t version = 0, identity = 0;
  if (known) {
    for (char c : table.productName) {
      if (c == '\0') break;
      if (c != '"' && static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F)
        name.push_back(c);
    }
    version = table.firmwareVersion;
    identity = table.identityWord;
  }
  unsigned major = version >> 24, minor = (version >> 16) & 0xFF;
  unsigned letter = (version >> 12) & 0xF, build = version & 0x3F;
  char text[160];
  int n = std::snprintf(text, sizeof text, "=V \"%s\" %u.%02u", name.c_str(), major, minor);
  if (build != 0) n += std::snprintf(text + n, sizeof text - n, ".%02u", build);
  if (letter != 0) n += std::snprintf(text + n, sizeof text - n, "%c", 'a' + letter - 1);
  std::snprintf(text + n, sizeof text - n, ",%u,%u,%X", identity >> 24, (identity >> 16) & 0xFF,
                identity & 0xFFFF);
  return text;
}

}  // namespace sim
