#include "bench/fault_campaign/sim_log.h"

#include <cstdlib>
#include <fstream>

namespace campaign {

namespace {

constexpr std::size_t kBodyAt = 15;  // "[%12.6f] " before every entry
constexpr double kBaud = 115200.0;
constexpr double kBitsPerByte = 10.0;
constexpr double kEraseSeconds = 0.100;
constexpr double kPageSeconds = 0.001;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// The bytes of a quoted transcript text ("..." with \r \n \e \" \\ \xNN escapes).
std::string unquote(const std::string& body, std::size_t open) {
  std::string out;
  for (std::size_t i = open + 1; i < body.size() && body[i] != '"'; ++i) {
    if (body[i] != '\\' || i + 1 >= body.size()) {
      out.push_back(body[i]);
      continue;
    }
    const char e = body[++i];
    if (e == 'r') out.push_back('\r');
    else if (e == 'n') out.push_back('\n');
    else if (e == 'e') out.push_back('\x1B');
    else if (e == 'x' && i + 2 < body.size()) {
      out.push_back(static_cast<char>(hexDigit(body[i + 1]) * 16 + hexDigit(body[i + 2])));
      i += 2;
    } else out.push_back(e);
  }
  return out;
}

bool has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

SimLog readSimLog(const std::string& path) {
  SimLog log;
  std::ifstream in(path);
  if (!in) return log;
  log.read = true;
  std::string line;
  bool session = false;   // between the rate measurement and the Go
  bool requested = false;  // the bootloader was requested (or ran from power-on)
  std::string pending;     // the current host line of the session
  std::string console;     // what the switch sent at the console's rate
  long pendingFirst = 0;
  while (std::getline(in, line)) {
    if (line.size() <= kBodyAt) continue;
    const double stamp = std::strtod(line.c_str() + 1, nullptr);
    const std::string body = line.substr(kBodyAt);
    if (body.rfind("state", 0) == 0) {
      const std::string event = body.substr(10);
      log.events.push_back(event);
      if (event.rfind("fault:", 0) == 0) log.faultLines.push_back(event);
      if (has(event, "bootloader: erased sectors")) ++log.erases;
      if (event.rfind("bootloader: copy ", 0) == 0) {
        ++log.copies;
        const std::size_t comma = event.find(", ");
        if (comma != std::string::npos) log.copiedBytes += std::strtol(event.c_str() + comma + 2, nullptr, 10);
      }
      if (has(event, "bootloader requested") || has(event, "the bootloader runs") || has(event, "held in the bootloader"))
        requested = true;
      if (event.rfind("power on", 0) == 0 && (has(event, "silent") || has(event, "crash")))
        log.silentBoot = true;
      if (has(event, "bootloader measured") && !session && log.sessionEnd == 0) {
        session = true;
        log.sessionStart = stamp;
      }
      if (event.rfind("bootloader: Go to", 0) == 0 && session) {
        session = false;
        log.sessionEnd = stamp;
      }
      if (event == "mode: firmware" && log.sessionEnd > 0) log.go = true;
      continue;
    }
    const std::size_t open = body.find('"');
    if (open == std::string::npos) continue;
    const std::string bytes = unquote(body, open);
    const bool toSwitch = body.rfind("host>sim", 0) == 0;
    const bool bootRate = has(body, "@115200");
    if (toSwitch) {
      for (const char c : bytes) {
        log.hostBytes.push_back(c);
        if (!requested) continue;
        if (pending.empty() && c != '\r' && c != '\n') pendingFirst = static_cast<long>(log.hostBytes.size());
        if (c == '\n' || c == '\r') {
          if (!pending.empty()) {
            log.hostLines.push_back({pendingFirst, static_cast<long>(log.hostBytes.size()), pending});
            pending.clear();
          } else if (c == '\n' && !log.hostLines.empty() &&
                     log.hostLines.back().last + 1 == static_cast<long>(log.hostBytes.size())) {
            log.hostLines.back().last = static_cast<long>(log.hostBytes.size());  // CR LF: the LF ends it
          }
        } else {
          pending.push_back(c);
        }
      }
    } else {
      if (has(body, "\\xFE\\x00\\x8A\\x07")) log.consoleNoise = true;
      if (has(body, "@19200")) console += bytes;
      if (bootRate)
        for (const char c : bytes)
          if (c == '\n') ++log.deviceLines;
    }
    if (session && bootRate) (toSwitch ? log.sessionHostBytes : log.sessionDeviceBytes) += static_cast<long>(bytes.size());
  }
  for (std::size_t at = console.find("^=V"); at != std::string::npos; at = console.find("^=V", at + 1)) {
    const std::size_t end = console.find('$', at);
    log.identityFrames.push_back(console.substr(at, end == std::string::npos ? end : end - at + 1));
  }
  return log;
}

double wireFloorSeconds(const SimLog& log) {
  // The line is full duplex: the echo travels while the host sends, so the busier direction
  // bounds the time, not the sum of both.
  const long busier = log.sessionHostBytes > log.sessionDeviceBytes ? log.sessionHostBytes : log.sessionDeviceBytes;
  const double line = static_cast<double>(busier) * kBitsPerByte / kBaud;
  return line + log.erases * kEraseSeconds + static_cast<double>(log.copiedBytes) / 512.0 * kPageSeconds;
}

}  // namespace campaign
