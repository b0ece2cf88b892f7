// The Windows build under Wine and the ports Windows lists. A port is registered as a driver and
// the Plug and Play manager register one: a value under HARDWARE\DEVICEMAP\SERIALCOMM, the
// device's entry under the Ports class with its PortName, and Wine's dosdevices\comN link, which
// the simulated switch makes point at its pseudo-terminal. And the machine's own serial device
// behind COM1: no run waits on it when the port is closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/common/deadline.h"
#include "tests/common/e2e_harness.h"
#include "isp/line_policy.h"
#include "tests/common/wine_prefix.h"

namespace vlfwu_e2e {
namespace {

const std::string kS60 = "Sonarch60";
constexpr unsigned kBluetoothPort = 5;
constexpr unsigned kUsbPort = 23;

// A paired Bluetooth device's outgoing serial link, and an FTDI USB adapter, as Device Manager
// lists them.
const std::string kBluetoothName = "Standard Serial over Bluetooth link (COM5)";
const std::string kBluetoothHardwareId = "BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0000";
const std::string kBluetoothInstance =
    "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1C8E5A2&0&000000000000_00000000";
const std::string kUsbName = "USB Serial Port (COM23)";
const std::string kUsbHardwareId = "FTDIBUS\\COMPORT&VID_0403&PID_6001";
const std::string kUsbInstance = "FTDIBUS\\VID_0403+PID_6001+A10KZ3Q1A\\0000";

// The reg commands that register port as a driver and the Plug and Play manager would.
std::string registration(unsigned port, const std::string& device, const std::string& name,
                         const std::string& hardwareId, const std::string& instance) {
  const std::string com = "COM" + std::to_string(port);
  const std::string key = "\"HKLM\\System\\CurrentControlSet\\Enum\\" + instance + "\"";
  const std::string parameters = "\"HKLM\\System\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters\"";
  return "reg add \"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM\" /v \"" + device + "\" /t REG_SZ /d " + com + " /f >nul\r\n" +
         "reg add " + key + " /v ClassGUID /t REG_SZ /d {4d36e978-e325-11ce-bfc1-08002be10318} /f >nul\r\n" +
         "reg add " + key + " /v FriendlyName /t REG_SZ /d \"" + name + "\" /f >nul\r\n" +
         "reg add " + key + " /v HardwareID /t REG_MULTI_SZ /d \"" + hardwareId + "\" /f >nul\r\n" +
         "reg add " + parameters + " /v PortName /t REG_SZ /d " + com + " /f >nul\r\n" +
         "reg query " + key + " /s >>registered.txt 2>&1\r\n";
}

std::string recordStarting(const vlfwu_test::SupportLog& log, const std::string& start) {
  for (const std::string& text : vlfwu_test::recordTexts(log, "port")) {
    if (text.starts_with(start)) {
      return text;
    }
  }
  return "";
}

// Runs in a prefix of their own, whose registry they change. SERIALCOMM lives only as long as
// the wineserver, so every run registers its ports itself, in a batch file that then starts
// vlfwu.exe in the same session.
class WinePorts : public EndToEnd {
 protected:
  void SetUp() override {
    if (const std::string why = vlfwu_test::wineUnavailable(); !why.empty()) {
      GTEST_SKIP() << why;
    }
    EndToEnd::SetUp();
    ASSERT_TRUE(vlfwu_test::prepareWinePrefix(vlfwu_test::winePortsPrefix()));
    timeoutMs_ = vlfwu_test::kWineLimitMs;
    for (const unsigned port : {kBluetoothPort, kUsbPort}) {
      ::unlink(link(port).c_str());
    }
  }
  std::string link(unsigned port) const override {
    return vlfwu_test::winePortsPrefix() + "/dosdevices/com" + std::to_string(port);
  }
  bool launch(ChildProcess& run, const std::vector<std::string>& args, const Ports&) override {
    const std::string batch = dir_ + "/run.bat";
    std::ofstream(batch) << "@echo off\r\ncd /d " << vlfwu_test::windowsPath(dir_) << "\r\n"
                         << registration(kBluetoothPort, "\\Device\\BthModem0", kBluetoothName, kBluetoothHardwareId,
                                         kBluetoothInstance)
                         << registration(kUsbPort, "\\Device\\VCP0", kUsbName, kUsbHardwareId, kUsbInstance)
                         << vlfwu_test::windowsPath(VLFWU_WINDOWS_EXE) << " %*\r\n";
    ::unlink((dir_ + "/registered.txt").c_str());
    std::vector<std::string> command = {"/c", vlfwu_test::windowsPath(batch)};
    command.insert(command.end(), args.begin(), args.end());
    return vlfwu_test::startProgramInPrefix(vlfwu_test::winePortsPrefix(), run, "cmd", command,
                                            {{"VLFWU_LOG", logSetting()}});
  }
  std::string logSetting() const override { return vlfwu_test::windowsPath(logFile()); }
  std::string onConsole(const std::string& text) const override { return vlfwu_test::windowsConsoleText(text); }

  // What the scan says of COMn, which Wine may have linked to a serial device of the machine
  // (/dev/ttyS0 as COM1): nothing answers there, when the device can be opened at all.
  std::string machinePortOutcome(unsigned port) const {
    const int fd = ::open(link(port).c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      return kCouldNotOpen;
    }
    ::close(fd);
    return kNoDevice;
  }
};

TEST_F(WinePorts, ScanFindsTheSwitchOnCom23AndLeavesTheBluetoothLinkOnCom5Alone) {
  // A switch behind the Bluetooth link too: the scan must not touch it.
  ASSERT_TRUE(startSim(kBluetoothPort, 0, "4.01", {"--log", simLogFile()}));
  ASSERT_TRUE(startSim(kUsbPort, 0, "4.01"));
  std::string expected;
  for (unsigned port = 1; port <= 16; ++port) {
    expected += portText(port, port == kBluetoothPort ? "Bluetooth link, not tried." : machinePortOutcome(port));
  }
  expected += portText(kUsbPort, foundText(kS60, "4.01")) + questionText(Comparison::Newer, kS60, "4.01", 'N') +
              kCanceled;
  expectRun({}, {}, {"N"}, expected);
  // What the registry held when the run started: a registration Wine did not keep shows here.
  const std::vector<std::uint8_t> registered = readFile(dir_ + "/registered.txt");
  const std::string registry(registered.begin(), registered.end());
  EXPECT_NE(registry.find(kBluetoothHardwareId), std::string::npos) << registry;
  EXPECT_NE(registry.find(kUsbHardwareId), std::string::npos) << registry;

  const std::vector<std::uint8_t> bluetoothLine = readFile(simLogFile());
  EXPECT_EQ(std::string(bluetoothLine.begin(), bluetoothLine.end()).find("host>sim"), std::string::npos)
      << "the scan sent bytes over the Bluetooth link";
  const vlfwu_test::SupportLog log = readLog();
  EXPECT_EQ(vlfwu_test::headerField(log, "ports"), "COM1 to COM16, then COM23");
  const std::vector<std::string> serial = vlfwu_test::headerFields(log, "serial");
  for (const std::string& line :
       {"COM5: " + kBluetoothName + "; hardware ID " + kBluetoothHardwareId + "; instance " + kBluetoothInstance +
            "; device \\Device\\BthModem0; Bluetooth link",
        "COM23: " + kUsbName + "; hardware ID " + kUsbHardwareId + "; instance " + kUsbInstance +
            "; device \\Device\\VCP0"}) {
    EXPECT_NE(std::find(serial.begin(), serial.end(), line), serial.end()) << "no header line \"serial  " << line << "\"";
  }
  EXPECT_EQ(recordStarting(log, "COM5 "), "") << "COM5 was opened";
  const std::string opened = recordStarting(log, "COM23 (\\\\.\\COM23) opened: ");
  EXPECT_TRUE(opened.ends_with("; adapter: " + kUsbName + "; hardware ID " + kUsbHardwareId)) << opened;
}

TEST_F(WinePorts, BluetoothLinkNamedOnTheCommandLineIsTried) {
  ASSERT_TRUE(startSim(kBluetoothPort, 0, "4.01"));
  expectRun({"5"}, {}, {"N"},
            portText(kBluetoothPort, foundText(kS60, "4.01")) + questionText(Comparison::Newer, kS60, "4.01", 'N') +
                kCanceled);
  const std::string opened = recordStarting(readLog(), "COM5 (\\\\.\\COM5) opened: ");
  EXPECT_TRUE(opened.ends_with("; adapter: " + kBluetoothName + "; hardware ID " + kBluetoothHardwareId)) << opened;
}

// Runs the program to its end (or limitMs) and returns how long it ran on after its last
// output, in ms; -1 when it had not ended by then.
long long msFromLastOutputToEnd(ChildProcess& run, int limitMs) {
  const auto deadline = vlfwu_test::deadlineIn(limitMs);
  auto lastOutput = vlfwu_test::Clock::now();
  std::size_t seen = 0;
  while (run.running()) {
    if (vlfwu_test::msLeft(deadline) == 0) {
      return -1;
    }
    const auto before = vlfwu_test::Clock::now();
    run.waitForOutput("\x01 never printed", 50);
    if (run.output().size() != seen) {
      seen = run.output().size();
      lastOutput = vlfwu_test::Clock::now();
    } else if (vlfwu_test::Clock::now() - before < std::chrono::milliseconds(50)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the output has ended
    }
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(vlfwu_test::Clock::now() - lastOutput).count();
}

// COM1 is the machine's own serial device, a real UART driver: closing the port after a wait
// for received bytes must not hold the run, in single-port mode or in a scan. The probe of the
// silent port is the last thing that takes time: two rounds at both rates, the second as long
// as a slow link may hold an answer.
TEST(WineMachineSerialPort, RunsEndSoonAfterTheSilentPortsProbe) {
  if (const std::string why = vlfwu_test::wineUnavailable(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const char* device = "/dev/ttyS0";
  const int fd = ::open(device, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    GTEST_SKIP() << "no serial device of this machine to run on: " << device << ": " << std::strerror(errno);
  }
  ::close(fd);
  ASSERT_TRUE(vlfwu_test::prepareWinePrefix());
  const std::string com1 = vlfwu_test::winePrefix() + "/dosdevices/com1";
  std::filesystem::remove(com1);
  std::filesystem::create_symlink(device, com1);
  constexpr int kRunLimitMs = 60000;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"1"}, std::vector<std::string>{}}) {
    SCOPED_TRACE(args.empty() ? "scan" : "vlfwu.exe 1");
    ChildProcess run;
    ASSERT_TRUE(vlfwu_test::startUnderWine(run, args)) << run.error();
    run.closeInput();  // the final prompt ends at once
    const long long after = msFromLastOutputToEnd(run, kRunLimitMs);
    const ChildProcess::Result result = run.wait(0);
    EXPECT_GE(after, 0) << "still running after " << kRunLimitMs << " ms:\n" << result.output;
    EXPECT_LE(after, 2 * (kLineTimeoutMs + kSyncSlowLinkMs) + 2000) << result.output;
    EXPECT_NE(result.output.find(vlfwu_test::windowsConsoleText("\nCOM1: " + kNoDevice + "\n")), std::string::npos)
        << result.output;
    EXPECT_TRUE(result.output.ends_with(vlfwu_test::windowsConsoleText(kExitText))) << result.output;
  }
}

}  // namespace
}  // namespace vlfwu_e2e
