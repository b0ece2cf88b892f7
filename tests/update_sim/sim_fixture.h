#pragma once
// A simulated switch on its own pseudo-terminal, with devicePort opened on it at 19200 baud as
// the port scan leaves it, and helpers to capture what the program prints.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "sim/switch_sim.h"

namespace updsim {

constexpr int kPortNumber = 42;

std::string imagePath(int index);  // the shipped image file of embeddedImages[index]
std::vector<std::uint8_t> readFile(const std::string& path);
std::string tempPath(const std::string& name);  // unique per test process

// Options for a switch that runs the given shipped image, quiet after its restart so that
// only the identity line answers "^V$".
sim::Options installedOptions(int imageIndex);

class SimTest : public ::testing::Test {
 protected:
  void TearDown() override;
  // Starts the switch and opens devicePort on it; fails the test when either fails.
  void startSwitch(sim::Options options);
  // A validated record of embeddedImages[index].
  t_FirmwareImage shippedImage(int index);
  void beginCapture();
  std::string endCapture();
  std::string logText() const;  // the simulator's transcript
  // Every byte the host sent to the switch (toSwitch) or the switch sent back, in order,
  // joined from the transcript's quoted chunks.
  std::string logStream(bool toSwitch) const;

  // A flash file holding the installed shipped image after edit has changed its bytes (bank A
  // then bank B); removed when the test ends.
  std::string editedFlashFile(int imageIndex,
                              const std::function<void(std::vector<std::uint8_t>*)>& edit);

  std::unique_ptr<sim::Switch> sim_;
  std::vector<std::string> flashFiles_;
  std::string logFile_;
  bool capturing_ = false;
};

}  // namespace updsim
