#pragma once
// devicePort opened, as the driver opens it, on a pseudo-terminal whose far end the test plays.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "isp/device_line.h"
#include "tests/common/pty.h"
#include "transport/serial.h"

namespace isptest {

inline void openPort(const std::string& path, int number) {
  setenv(("VLFWU_COM" + std::to_string(number)).c_str(), path.c_str(), 1);
  ASSERT_EQ(comOpen(&devicePort, number, 19200), 1);
  currentBaud = 19200;
}

inline void closePort() {
  comClose(&devicePort);
  currentBaud = 0;
}

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok()) << pty.error();
    openPort(pty.slavePath(), 7);
  }
  void TearDown() override { closePort(); }
  // Everything the program has sent since the last call.
  std::string sent() { return pty.readUntilQuiet(50, 5000); }
  vlfwu_test::PseudoTerminal pty;
};

}  // namespace isptest
