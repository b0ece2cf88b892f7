// Throughput of the simulated switch, measured from the host's side of its pseudo-terminal:
//  1. with wire timing, a 4096-byte Write to RAM at 115200 baud against the line time of the
//     bytes that cross the wire for it (target: within 5 %);
//  2. without it, a whole programming of the first demo image the way an update does it
//     (erase, then Write to RAM, Prepare, Copy and Compare per 4096-byte block; target: well
//     under a second).
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "sim/switch_sim.h"
#include "sim/uu_codec.h"

namespace {

using Clock = std::chrono::steady_clock;

class Host {
 public:
  explicit Host(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~Host() { close(fd_); }
  bool ok() const { return fd_ >= 0; }

  void send(const std::string& s) {
    sent += s.size();
    std::size_t done = 0;
    while (done < s.size()) {
      ssize_t n = write(fd_, s.data() + done, s.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }
  // Reads until text has come; false after 5 s.
  bool expect(const std::string& text) {
    std::string got;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (got.size() < text.size() && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      ssize_t n = read(fd_, buf, std::min(sizeof buf, text.size() - got.size()));
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    received += got.size();
    if (got != text) std::fprintf(stderr, "expected \"%s\", got \"%s\"\n", text.c_str(), got.c_str());
    return got == text;
  }

  std::size_t sent = 0;
  std::size_t received = 0;

 private:
  int fd_ = -1;
};

bool sync(Host& h) {
  h.send("?");
  if (!h.expect("Synchronized\r\n")) return false;
  h.send("Synchronized\r\n");
  if (!h.expect("Synchronized\r\nOK\r\n")) return false;
  h.send("O\r\n");
  if (!h.expect("O\r\nOK\r\n")) return false;
  h.send("A 0\r\n");
  return h.expect("A 0\r\n0\r\n");
}

bool writeRam(Host& h, const std::uint8_t* data, std::size_t n) {
  h.send("W 268435456 " + std::to_string(n) + "\r\n");
  if (!h.expect("0\r\n")) return false;
  for (std::size_t block = 0; block < n; block += 900) {
    std::size_t len = std::min<std::size_t>(900, n - block);
    std::string text;
    std::uint32_t sum = 0;
    for (std::size_t at = block; at < block + len; at += 45)
      text += sim::uuEncodeLine(data + at, std::min<std::size_t>(45, block + len - at)) + "\r\n";
    for (std::size_t i = block; i < block + len; ++i) sum += data[i];
    h.send(text + std::to_string(sum) + "\r\n");
    if (!h.expect("OK\r\n")) return false;
  }
  return true;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A blank chip, started; null (after saying why) when it cannot start.
std::unique_ptr<sim::Switch> startBlankSwitch(bool wireSpeed) {
  sim::Options o;
  o.blank = true;
  o.wireSpeed = wireSpeed;
  auto device = std::make_unique<sim::Switch>(o);
  std::string error;
  if (!device->start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return nullptr;
  }
  return device;
}

int wireSpeedWrite() {
  const auto device = startBlankSwitch(true);
  if (!device) return 1;
  Host h(device->slavePath());
  if (!h.ok() || !sync(h)) return 1;
  std::vector<std::uint8_t> data(4096);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::printf("Write to RAM of 4096 bytes at 115200 baud with wire timing:\n");
  double worst = 0;
  for (int round = 1; round <= 5; ++round) {
    h.sent = h.received = 0;
    auto t0 = Clock::now();
    if (!writeRam(h, data.data(), data.size())) return 1;
    double took = seconds(Clock::now() - t0);
    std::size_t bytes = h.sent + h.received;
    double line = bytes * 10.0 / 115200.0;
    double off = (took - line) / line * 100.0;
    if (std::abs(off) > std::abs(worst)) worst = off;
    std::printf("  round %d: %zu bytes on the wire (%zu sent, %zu received), line time %.1f ms, "
                "took %.1f ms (%+.2f %%)\n",
                round, bytes, h.sent, h.received, line * 1000, took * 1000, off);
  }
  std::printf("  worst deviation %+.2f %% (target within 5 %%): %s\n", worst,
              std::abs(worst) <= 5.0 ? "met" : "MISSED");
  return 0;
}

int fullProgramming() {
  // The first compiled-in image (Sonarch60, 512 KB banks).
  std::vector<std::uint8_t> image(embeddedImages[0].data,
                                  embeddedImages[0].data + embeddedImages[0].size);
  if (image.size() < 0x50) {
    std::fprintf(stderr, "demo image not found\n");
    return 1;
  }
  auto le32 = [&](std::size_t at) {
    return image[at] | image[at + 1] << 8 | image[at + 2] << 16 |
           static_cast<std::uint32_t>(image[at + 3]) << 24;
  };
  std::uint32_t fwOffset = le32(0x14), fwLength = le32(0x1C);
  std::vector<std::uint8_t> firmware(image.begin() + fwOffset, image.begin() + fwOffset + fwLength);
  firmware.resize((firmware.size() + 4095) / 4096 * 4096, 0xFF);

  const auto device = startBlankSwitch(false);
  if (!device) return 1;
  Host h(device->slavePath());
  if (!h.ok() || !sync(h)) return 1;
  auto t0 = Clock::now();
  h.send("U 23130\r\n");
  if (!h.expect("0\r\n")) return 1;
  h.send("P 0 9 0\r\n");
  if (!h.expect("0\r\n")) return 1;
  h.send("E 0 9 0\r\n");
  if (!h.expect("0\r\n")) return 1;
  for (std::uint32_t at = 0; at < firmware.size(); at += 4096) {
    if (!writeRam(h, firmware.data() + at, 4096)) return 1;
    std::uint32_t address = 0x1A000000 + at;
    int first = at < 0x10000 ? static_cast<int>(at / 0x2000) : static_cast<int>(7 + at / 0x10000);
    int last = at + 4095 < 0x10000 ? static_cast<int>((at + 4095) / 0x2000)
                                   : static_cast<int>(7 + (at + 4095) / 0x10000);
    h.send("P " + std::to_string(first) + " " + std::to_string(last) + " 0\r\n");
    if (!h.expect("0\r\n")) return 1;
    h.send("C " + std::to_string(address) + " 268435456 4096\r\n");
    if (!h.expect("0\r\n")) return 1;
    h.send("M " + std::to_string(address) + " 268435456 4096\r\n");
    if (!h.expect("0\r\n")) return 1;
  }
  double took = seconds(Clock::now() - t0);
  std::printf("Programming %zu bytes (%zu blocks of 4096) without wire timing: %.1f ms "
              "(target well under 1000 ms): %s\n",
              firmware.size(), firmware.size() / 4096, took * 1000,
              took < 0.5 ? "met" : "MISSED");
  std::vector<std::uint8_t> flash = device->flash();
  bool same = std::equal(firmware.begin(), firmware.end(), flash.begin());
  std::printf("  flash holds the image: %s\n", same ? "yes" : "NO");
  return same ? 0 : 1;
}

}  // namespace

int main() {
  int rc = wireSpeedWrite();
  if (rc == 0) rc = fullProgramming();
  return rc;
}
