// A USB serial adapter between host and switch: the switch's replies reach the host late (the
// adapter's latency timer holds them, a full 62-byte packet goes at once), and every byte
// arrives as it was sent.
#include <gtest/gtest.h>

#include <numeric>

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

}  // namespace
}  // namespace simtest
