#include "sim/transcript.h"

#include <cerrno>
#include <cstring>

namespace sim {

std::string quoteBytes(const std::uint8_t* data, std::size_t count) {
  std::string out = "\"";
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t b = data[i];
    switch (b) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0x1B: out += "\\e"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (b >= 0x20 && b < 0x7F) {
          out.push_back(static_cast<char>(b));
        } else {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", b);
          out += buf;
        }
    }
  }
  out += "\"";
  return out;
}

Transcript::~Transcript() { close(); }

bool Transcript::open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) {
    if (error) *error = "cannot open log " + path + ": " + std::strerror(errno);
    return false;
  }
  start_ = simNow();
  return true;
}

void Transcript::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void Transcript::stamp() {
  double t = std::chrono::duration<double>(simNow() - start_).count();
  std::fprintf(file_, "[%12.6f] ", t);
}

void Transcript::bytes(bool toSwitch, const std::uint8_t* data, std::size_t count, int baud,
                       const std::string& note) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_ || count == 0) return;
  stamp();
  std::fprintf(file_, "%s @%-6d %s%s%s\n", toSwitch ? "host>sim " : "sim>host ", baud,
               quoteBytes(data, count).c_str(), note.empty() ? "" : "  ; ", note.c_str());
  std::fflush(file_);
}

void Transcript::event(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  stamp();
  std::fprintf(file_, "state     %s\n", text.c_str());
  std::fflush(file_);
}

}  // namespace sim
