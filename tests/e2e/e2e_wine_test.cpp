// The Windows build under Wine against switch-sim: Wine's COM ports are the symbolic links of
// the prefix's dosdevices folder, which the simulator makes point at its pseudo-terminal.
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/common/child_process.h"
#include "tests/common/e2e_harness.h"
#include "tests/common/pty.h"
#include "tests/common/wine_prefix.h"

namespace vlfwu_e2e {
namespace {

// Runs of the Windows build in the shared Wine prefix; skipped where there is none.
class UnderWine : public EndToEnd {
 protected:
  void SetUp() override {
    if (const std::string why = vlfwu_test::wineUnavailable(); !why.empty()) {
      GTEST_SKIP() << why;
    }
    EndToEnd::SetUp();
    ASSERT_TRUE(vlfwu_test::prepareWinePrefix());
    timeoutMs_ = vlfwu_test::kWineLimitMs;  // Wine takes a while to start
  }
};

class Wine : public UnderWine, public ::testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    UnderWine::SetUp();
    if (!IsSkipped()) {
      ::unlink(link(GetParam().port).c_str());
    }
  }
  std::string link(unsigned port) const override {
    return vlfwu_test::winePrefix() + "/dosdevices/com" + std::to_string(port);
  }
  bool launch(ChildProcess& run, const std::vector<std::string>& args, const Ports&) override {
    return vlfwu_test::startUnderWineWith(run, args, {{"VLFWU_LOG", logSetting()}});
  }
  std::string logSetting() const override { return vlfwu_test::windowsPath(logFile()); }
  std::string onConsole(const std::string& text) const override { return vlfwu_test::windowsConsoleText(text); }
  std::string launchMessages() const override {
    return "\nWine's own complaints, the last of every run in the prefix:\n" + vlfwu_test::wineMessages();
  }
};

TEST_P(Wine, TranscriptAndFlash) { runScenario(GetParam()); }

// Distinct ports, so that the runs can share the prefix.
const Scenario kWineScenarios[] = {
    {"FullUpdate", 0, "4.01", {}, {"Y"},
     [] {
       return portText(21, foundText("Sonarch60", "4.01")) + questionText(Comparison::Newer, "Sonarch60", "4.01", 'Y') +
              updateText(embeddedImage(0).header->firmwareLength, 2);
     },
     0, false, 21},
    {"DeclinedUpdate", 0, "4.02", {}, {"N"},
     [] {
       return portText(22, foundText("Sonarch60", "4.02")) + questionText(Comparison::Same, "Sonarch60", "4.02", 'N') +
              kCanceled;
     },
     -1, false, 22},
    {"NoSwitchOnAPortThatDoesNotExist", -1, "", {}, {},
     [] { return portText(23, kCouldNotOpen) + kNoneFound; }, -1, false, 23},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, Wine, ::testing::ValuesIn(kWineScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// Windows keeps a port's last settings. A port left at 7 data bits, odd parity, two stop bits
// and hardware and software flow control by another program is set to 8N1 without any flow
// control while the program has it open.
TEST(WineLine, OpenSetsTheWholeLineFormat) {
  if (const std::string why = vlfwu_test::wineUnavailable(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  ASSERT_TRUE(vlfwu_test::prepareWinePrefix());
  vlfwu_test::PseudoTerminal port;  // nothing answers, so the program searches for seconds
  ASSERT_TRUE(port.ok()) << port.error();
  termios left{};
  ASSERT_TRUE(port.slaveSettings(&left));
  left.c_cflag = (left.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
  left.c_iflag |= IXON | IXOFF | INPCK;
  ASSERT_TRUE(port.setSlaveSettings(left));
  const std::string link = vlfwu_test::winePrefix() + "/dosdevices/com24";
  std::filesystem::remove(link);
  std::filesystem::create_symlink(port.slavePath(), link);
  ChildProcess run;
  ASSERT_TRUE(vlfwu_test::startUnderWine(run, {"24"})) << run.error();
  run.closeInput();  // no key will come: the final prompt ends the run at once
  constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
  termios now{};
  bool set = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(vlfwu_test::kWineLimitMs);
  while (!set && run.running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set = port.slaveSettings(&now) && (now.c_cflag & kFormat) == CS8 && (now.c_iflag & (IXON | IXOFF)) == 0;
  }
  run.wait(vlfwu_test::kWineLimitMs);
  std::filesystem::remove(link);
  EXPECT_TRUE(set) << "line settings left: cflag " << std::oct << (now.c_cflag & kFormat) << ", iflag "
                   << (now.c_iflag & (IXON | IXOFF)) << "\n" << run.output();
}

// Two support logs in one file (two vlfwu-log.bat windows in one folder): each run appends,
// so neither overwrites the other's lines. Run A logs, then waits at its last key; run B
// opens the file meanwhile and logs past A's lines; then A writes the rest of its lines, and
// B the rest of its. The file must hold every line of both, whole.
class WineLog : public UnderWine {};

TEST_F(WineLog, TwoRunsWritingOneLogAtOnceKeepEveryLineOfBoth) {
  const auto start = [&](ChildProcess& run, unsigned port) {
    std::filesystem::remove(vlfwu_test::winePrefix() + "/dosdevices/com" + std::to_string(port));
    ASSERT_TRUE(vlfwu_test::startUnderWineWith(run, {std::to_string(port)},
                                               {{"VLFWU_LOG", vlfwu_test::windowsPath(logFile())}}))
        << run.error();
    ASSERT_TRUE(run.waitForOutput("Press any key to exit...", timeoutMs_)) << run.output();
  };
  ChildProcess first;
  ChildProcess second;
  start(first, 27);
  start(second, 28);
  for (ChildProcess* run : {&first, &second}) {
    ASSERT_TRUE(run->writeInput("x"));
    const ChildProcess::Result result = run->wait(timeoutMs_);
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result.output;
  }

  const std::vector<std::uint8_t> bytes = readFile(logFile());
  std::istringstream content(std::string(bytes.begin(), bytes.end()));
  // Each line as the two runs have it alike: without its time, the port's number and the date.
  const std::regex record(R"(^ *\d+\.\d{3} (sent|recv|con |key |port|step|run ) .*)");
  const std::regex header(R"(^  [a-z0-9 ]{9} .*)");
  std::map<std::string, int> lines;
  std::string malformed;
  for (std::string line; std::getline(content, line);) {
    if (line.empty() || line.back() != '\r') {
      malformed += "\n  " + line + "  (no CR LF)";
      continue;
    }
    line.pop_back();
    if (line != std::string(72, '=') && line != "vlfwu support log" && !std::regex_match(line, record) &&
        !std::regex_match(line, header)) {
      malformed += "\n  " + line;
      continue;
    }
    line = std::regex_replace(line, std::regex(R"(^ *\d+\.\d{3} )"), "");
    line = std::regex_replace(line, std::regex("2[78]"), "N");
    line = std::regex_replace(line, std::regex(R"(^  started .*)"), "  started");
    ++lines[line];
  }
  EXPECT_EQ(malformed, "") << "lines broken by the other run:";
  EXPECT_EQ(lines[std::string(72, '=')], 1) << "the separator before the second run";
  lines.erase(std::string(72, '='));
  EXPECT_EQ(lines["vlfwu support log"], 2);
  EXPECT_EQ(lines["key  0x78 'x'"], 2);
  // The two runs print the same texts (a line such as "Firmware validated." twice each).
  std::string unpaired;
  for (const auto& [line, count] : lines) {
    if (count % 2 != 0) {
      unpaired += "\n  " + std::to_string(count) + "x " + line;
    }
  }
  EXPECT_EQ(unpaired, "") << "every line of one run must be there for the other too:";
}

}  // namespace
}  // namespace vlfwu_e2e
