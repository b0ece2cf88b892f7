#pragma once
// A simulated switch on a pseudo-terminal, devicePort open on it at 19200 baud as the port
// scan leaves it, and helpers to see what the program printed and sent.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "firmware/image.h"
#include "sim/switch_sim.h"

namespace updsim {

// A switch with the given shipped image installed (or a blank chip), quiet after a restart so
// that only the identity line answers "^V$".
sim::Options switchOptions(int imageIndex, bool inBootloader = false, bool blank = false);

class SimTest : public ::testing::Test {
 protected:
  void TearDown() override;
  void startSwitch(sim::Options options);  // fails the test when it cannot
  t_FirmwareImage shippedImage(int index);  // validated
  // Runs routine with what it prints captured into output_.
  template <typename Routine>
  int capture(Routine routine) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    const int result = routine();
    std::fflush(stdout);
    output_ = ::testing::internal::GetCapturedStdout();
    return result;
  }
  // Every byte the host sent (toSwitch) or the switch sent back, from the transcript.
  std::string logStream(bool toSwitch) const;

  std::unique_ptr<sim::Switch> sim_;
  std::string logFile_;
  std::string output_;
};

}  // namespace updsim
