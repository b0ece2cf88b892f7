#pragma once
// A simulated switch on a pseudo-terminal, opened by the program as its COM port at 19200.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../isp/pty_peer.h"
#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "sim/switch_sim.h"
#include "transport/serial.h"

namespace isptest {

constexpr int kSimComPort = 9;
constexpr std::uint32_t kRamBase = 0x10000000u;   // local SRAM, outside the ISP work area
constexpr std::uint32_t kBankA = 0x1A000000u;

// A container image the switch runs as its installed firmware.
inline std::string installedImage() {
  return std::string(VLFWU_SOURCE_DIR) + "/firmware/images/sonarch60.vlfw";
}

class SimTest : public ::testing::Test {
 protected:
  // Starts the switch with the given options and opens the port as the driver does.
  void startSwitch(sim::Options options) {
    device = std::make_unique<sim::Switch>(std::move(options));
    std::string error;
    ASSERT_TRUE(device->start(&error)) << error;
    mapComPort(kSimComPort, device->slavePath());
    ASSERT_EQ(comOpen(&devicePort, kSimComPort, 19200), 1);
    currentBaud = 19200;
    devFlushInput();
  }
  // A switch in its bootloader, synchronised with echo off at 115200.
  void startSyncedBootloader() {
    sim::Options options;
    options.startInBootloader = true;
    startSwitch(options);
    ASSERT_EQ(nxpSync(), kSyncBootloader);
    ASSERT_EQ(currentBaud, 115200);
  }
  void TearDown() override {
    comClose(&devicePort);
    currentBaud = 0;
    device.reset();
  }
  std::unique_ptr<sim::Switch> device;
};

}  // namespace isptest
