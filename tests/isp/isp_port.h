#pragma once
// devicePort opened, as the driver opens it, on a pseudo-terminal whose far end the test plays.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "isp/device_line.h"
#include "isp/line_policy.h"
#include "tests/common/io_calls.h"
#include "tests/common/pty.h"
#include "transport/serial.h"

namespace isptest {

inline void openPort(const std::string& path, int number) {
  setenv(("VLFWU_COM" + std::to_string(number)).c_str(), path.c_str(), 1);
  ASSERT_EQ(comOpen(&devicePort, number, 19200), 1);
  currentBaud = 19200;
  devFlushInput();  // as the driver does after opening: nothing of an earlier port is held
}

inline void closePort() {
  comClose(&devicePort);
  currentBaud = 0;
}

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok()) << pty.error();
    lineBudgetEnd();  // each test's first block goes whole
    openPort(pty.slavePath(), 7);
  }
  void TearDown() override { closePort(); }
  // Everything the program has sent since the last call.
  std::string sent() { return pty.readUntilQuiet(50, 5000); }
  vlfwu_test::PseudoTerminal pty;
};

using vlfwu_test::readCalls;
using vlfwu_test::writeCalls;

// How often part stands in text.
inline int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

// The far end answers each line the host sends, in turn, with the given text; what it heard
// goes to *heard.
inline std::thread answering(vlfwu_test::PseudoTerminal& pty,
                             std::vector<std::pair<std::string, std::string>> steps,
                             std::string* heard) {
  return std::thread([&pty, steps, heard] {
    for (const auto& [want, reply] : steps) {
      if (!pty.waitFor(want, 3000, heard)) return;
      pty.write(reply);
    }
  });
}

}  // namespace isptest
