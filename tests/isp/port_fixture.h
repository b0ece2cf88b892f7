#pragma once
// A test whose program side has devicePort open at 19200 baud on a fresh pseudo-terminal.
#include <gtest/gtest.h>

#include "isp/device_line.h"
#include "pty_peer.h"
#include "transport/serial.h"

namespace isptest {

constexpr int kTestComPort = 7;

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.ok()) << "no pseudo-terminal";
    mapComPort(kTestComPort, peer.slavePath());
    ASSERT_EQ(comOpen(&devicePort, kTestComPort, 19200), 1);
    currentBaud = 19200;
  }
  void TearDown() override {
    peer.stopScript();
    comClose(&devicePort);
    currentBaud = 0;
  }
  PtyPeer peer;
};

}  // namespace isptest
