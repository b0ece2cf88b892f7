// USB serial adapters on Linux: with no argument the scan tries, after COM1 to COM16, every USB
// serial device of the device folder, ttyUSB<n> then ttyACM<n>, each family in numeric order,
// and names each by its path; the support log lists them with their serial/by-id names and
// names the adapter in the record of the port it opens.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "tests/common/e2e_harness.h"

namespace vlfwu_e2e {
namespace {

const std::string kS60 = "Sonarch60";
const std::string kByIdName = "usb-FTDI_FT232R_USB_UART_A10KZ3Q1-if00-port0";

// The simulated switches sit on USB serial device names in the device folder; the keys are
// only the handles of their flash files.
class UsbAdapters : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    std::filesystem::create_directories(deviceFolder() + "/serial/by-id");
  }
  std::string link(unsigned sim) const override {
    const auto name = names_.find(sim);
    return name != names_.end() ? deviceFolder() + "/" + name->second : EndToEnd::link(sim);
  }
  std::string at(unsigned sim, std::string_view outcome) const {
    std::string line = "\n";
    return line.append(link(sim)).append(": ").append(outcome);
  }
  const std::map<unsigned, std::string> names_ = {{1, "ttyUSB2"}, {2, "ttyUSB10"}, {3, "ttyACM0"}};
};

TEST_F(UsbAdapters, ScanFindsTheSwitchOnAUsbDeviceAfterComOneToSixteen) {
  // Two adapters with switches that no image fits, the switch on a CDC adapter.
  ASSERT_TRUE(startSim(1, 0, "4.01", {"--set-pcb", "4", "--set-name", "Sonarch36"}));
  ASSERT_TRUE(startSim(2, 0, "4.01", {"--set-pcb", "4", "--set-name", "Sonarch36"}));
  ASSERT_TRUE(startSim(3, 0, "4.01"));
  std::filesystem::create_symlink("../../ttyACM0", deviceFolder() + "/serial/by-id/" + kByIdName);
  // Not USB serial devices: a plain file, names of other forms, a serial port of another kind.
  std::ofstream(deviceFolder() + "/ttyUSB3") << "not a device";
  for (const char* name : {"ttyUSB", "ttyUSB05", "ttyACMx", "ttyS4"}) {
    std::filesystem::create_symlink(link(1), deviceFolder() + "/" + name);
  }
  std::string expected;
  for (unsigned port = 1; port <= 16; ++port) {
    expected += portText(port, kCouldNotOpen);
  }
  expected += at(1, kNoMatch) + at(2, kNoMatch) + at(3, foundText(kS60, "4.01")) +
              questionText(Comparison::Newer, kS60, "4.01", 'N') + kCanceled;
  expectRun({}, {}, {"N"}, expected);

  const vlfwu_test::SupportLog log = readLog();
  EXPECT_EQ(vlfwu_test::headerField(log, "ports"),
            "COM1 to COM16, then " + link(1) + ", " + link(2) + ", " + link(3));
  EXPECT_EQ(vlfwu_test::headerFields(log, "serial"),
            (std::vector<std::string>{link(1) + ": no adapter named by the system",
                                      link(2) + ": no adapter named by the system",
                                      link(3) + ": " + deviceFolder() + "/serial/by-id/" + kByIdName}));
  const std::vector<std::string> records = vlfwu_test::recordTexts(log, "port");
  const auto opened = std::find_if(records.begin(), records.end(),
                                   [&](const std::string& text) { return text.starts_with(link(3) + " opened: "); });
  ASSERT_NE(opened, records.end());
  EXPECT_TRUE(opened->ends_with("; adapter: " + deviceFolder() + "/serial/by-id/" + kByIdName)) << *opened;
}

}  // namespace
}  // namespace vlfwu_e2e
