// A USB serial adapter between host and switch: the switch's replies reach the host late (the
// adapter's latency timer holds them, a full 62-byte packet goes at once), and every byte
// arrives as it was sent.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/usb_adapter.h"
#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using UsbAdapter = SimTest;
using O = sim::Options;

O behindAdapter(int latencyMs) {
  return with(blankBootloader(), [&](O& o) { o.adapterLatencyMs = latencyMs; });
}

// The reply to "R 268435456 n" for data in RAM: the code, then the blocks as W sent them.
std::string readReply(const std::vector<std::uint8_t>& data) {
  std::string reply = "0\r\n";
  for (const std::string& block : uuBlocks(data)) reply += block;
  return reply;
}

TEST_F(UsbAdapter, RepliesComeLateAndUnchanged) {
  startSynced(behindAdapter(40));  // the whole handshake, byte for byte
  port.send("K\r\n");
  long long sent = nowMs();
  std::string reply = port.read(1);
  EXPECT_GE(nowMs() - sent, 30) << "a short reply waits for the latency timer";
  EXPECT_EQ(reply + port.read(9), "0\r\n1\r\n13\r\n");
  std::vector<std::uint8_t> data(900);
  std::iota(data.begin(), data.end(), 0);
  writeRam(data);
  std::string expected = readReply(data);
  expectReply("R 268435456 900\r\n", expected);
  expectReply("OK\r\n", "");
}

TEST_F(UsbAdapter, FullPacketsGoAtOnceTheRestWhenTheTimerRunsOut) {
  startSynced(behindAdapter(1000));
  std::vector<std::uint8_t> data(900, 0x5A);
  writeRam(data);
  std::string expected = readReply(data);
  port.send("R 268435456 900\r\n");
  std::string early = port.readFor(400);
  EXPECT_EQ(early.size(), expected.size() / 62 * 62) << "every full 62-byte packet, no more";
  EXPECT_EQ(early + port.read(expected.size() - early.size(), 3000), expected);
}

// When the host gets the switch's bytes: at the latency timer (from the first byte held), at
// once when 62 have gathered, and with frames only at the end of the 1 ms frame that the
// packet was ready in. Times in microseconds from the start of a frame.
TEST(UsbAdapterRelease, TimerPacketAndFrameEnds) {
  struct Burst {
    int us;
    std::size_t bytes;
  };
  struct Case {
    int latencyMs;
    bool frames;
    std::vector<Burst> arrive;
    std::vector<Burst> handed;
  };
  const Case cases[] = {
      {0, false, {{200, 3}}, {{200, 3}}},
      {0, true, {{200, 3}, {1500, 2}}, {{1000, 3}, {2000, 2}}},
      {0, true, {{0, 1}}, {{1000, 1}}},  // ready at a frame's start: that frame's end
      {16, false, {{200, 3}}, {{16200, 3}}},
      {16, true, {{200, 3}}, {{17000, 3}}},
      {1, true, {{200, 1}}, {{2000, 1}}},
      {16, false, {{100, 40}, {3300, 30}}, {{3300, 62}, {19300, 8}}},
      {16, true, {{100, 40}, {3300, 30}}, {{4000, 62}, {20000, 8}}},
      // The timer ran out before the second burst came: it waits for a packet of its own.
      {4, true, {{100, 10}, {4500, 10}}, {{5000, 10}, {9000, 10}}},
      {4, false, {{100, 70}}, {{100, 62}, {4100, 8}}},
  };
  const sim::TimePoint frame = sim::TimePoint{} + std::chrono::hours(1);
  auto at = [&](int us) { return frame + sim::Micros(us); };
  auto text = [](const std::vector<Burst>& bursts) {
    std::string t;
    for (const Burst& b : bursts) t.append(std::to_string(b.us)).append(":").append(std::to_string(b.bytes)).append(" ");
    return t;
  };
  for (const Case& c : cases) {
    sim::UsbAdapter adapter(c.latencyMs, c.frames);
    std::vector<Burst> handed;
    std::vector<std::uint8_t> out;
    std::uint8_t next = 0;
    auto burst = c.arrive.begin();
    // Takes and releases in time order; a burst is taken before a release at the same time.
    for (;;) {
      auto release = adapter.nextRelease();
      if (burst != c.arrive.end() && (!release || at(burst->us) <= *release)) {
        for (std::size_t i = 0; i < burst->bytes; ++i) adapter.take(next++, at(burst->us));
        ++burst;
      } else if (release) {
        std::size_t count = adapter.release(*release, &out);
        handed.push_back({static_cast<int>((*release - frame) / sim::Micros(1)), count});
      } else {
        break;
      }
    }
    EXPECT_EQ(text(handed), text(c.handed)) << "latency " << c.latencyMs << (c.frames ? " ms, frames" : " ms");
    std::vector<std::uint8_t> sent(next);
    std::iota(sent.begin(), sent.end(), 0);
    EXPECT_EQ(out, sent) << "every byte once, in order";
  }
}

}  // namespace
}  // namespace simtest
