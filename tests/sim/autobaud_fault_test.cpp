// An auto-baud rate error after power-up: the bootloader's first answer to '?' reaches the
// host as noise, and the chip measures the rate again from the next '?'.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using GarbledFirstAnswer = SimTest;

TEST_F(GarbledFirstAnswer, NoiseThenTheNextQuestionMarkSynchronises) {
  start(with(blankBootloader(), [](sim::Options& o) { o.faults.garbledFirstAnswer = true; }));
  std::string noise = port.exchange("?", 14);
  EXPECT_EQ(noise.size(), 14u) << "as many bytes as \"Synchronized\\r\\n\"";
  EXPECT_TRUE(std::all_of(noise.begin(), noise.end(), [](char c) { return c & 0x80; })) << noise;
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  expectQuiet("Synchronized\r\n", 100);  // not measured: the line is nothing to the chip
  ASSERT_TRUE(syncBootloader(port));
  expectReply("K\r\n", "0\r\n1\r\n13\r\n");
}

}  // namespace
}  // namespace simtest
