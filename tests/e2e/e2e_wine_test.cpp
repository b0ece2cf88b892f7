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

// Runs whose COM ports are the prefix's links.
class WineRun : public UnderWine {
 protected:
  std::string link(unsigned port) const override {
    return vlfwu_test::winePrefix() + "/dosdevices/com" + std::to_string(port);
  }
  bool launch(ChildProcess& run, const std::vector<std::string>& args, const Ports&) override {
    ChildProcess::Environment environment = runEnvironment_;
    environment.emplace_back("VLFWU_LOG", logSetting());
    return vlfwu_test::startUnderWineWith(run, args, environment);
  }
  std::string logSetting() const override { return vlfwu_test::windowsPath(logFile()); }
  std::string onConsole(const std::string& text) const override { return vlfwu_test::windowsConsoleText(text); }
  std::string launchMessages() const override {
    return "\nWine's own complaints, the last of every run in the prefix:\n" + vlfwu_test::wineMessages();
  }
};

class Wine : public WineRun, public ::testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    WineRun::SetUp();
    if (!IsSkipped()) {
      ::unlink(link(GetParam().port).c_str());
    }
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

// Output that cannot go out: no write of the run can finish, either because the switch side
// has stopped reading (its terminal holds all it can take) or because the device's transmitter
// never empties (its queue never drains, and a wait for it to drain never ends). Each write
// gives up at its bound and the port is found silent, as one where no switch answers, instead
// of the run waiting for ever for its output to go.
TEST_F(WineRun, OutputThatCannotGoOutLeavesASilentPortNotAHungRun) {
  const struct {
    const char* what;
    bool switchStopsReading;
    bool transmitterStuck;
  } cases[] = {{"the switch side stopped reading", true, false}, {"the transmitter never empties", false, true}};
  timeoutMs_ = 120000;  // the prefix is made: enough for some thirty writes of a second each
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vlfwu_test::PseudoTerminal stuck;
    ASSERT_TRUE(stuck.ok()) << stuck.error();
    ASSERT_TRUE(!c.switchStopsReading || stuck.stopReading());
    runEnvironment_.clear();
    if (c.transmitterStuck) {
      runEnvironment_.emplace_back("LD_PRELOAD", VLFWU_STUCK_TRANSMITTER);
    }
    std::filesystem::remove(logFile());  // each case's log holds its own run alone
    std::filesystem::remove(link(29));
    std::filesystem::create_symlink(stuck.slavePath(), link(29));
    expectRun({"29"}, {}, {}, portText(29, kNoDevice) + "\n\nNo Valtrane device found on COM29.\n");
    std::filesystem::remove(link(29));
  }
}

// One copy of the program per port (Wine lets a second open of a port through): a second
// copy started on the port while the first updates the switch there reports the port as one
// it cannot open and logs why, none of its bytes reach the switch, and the flash ends as a
// clean update leaves it.
TEST_F(WineRun, SecondCopyOnAPortBeingUpdatedCannotOpenIt) {
  ::unlink(link(25).c_str());
  // Bytes at the line's pace: the update lasts long enough for the second copy to run.
  ASSERT_TRUE(startSim(25, 0, "4.01", {"--wire-speed", "--log", simLogFile()}));
  ChildProcess first;
  ASSERT_TRUE(launch(first, {"25"}, {})) << first.error();
  ASSERT_TRUE(first.waitForOutput("(Y,N) ", timeoutMs_)) << first.output();
  ASSERT_TRUE(first.writeInput("Y"));
  ASSERT_TRUE(first.waitForOutput("Updating firmware:", timeoutMs_)) << first.output();
  ChildProcess second;
  const std::string secondLog = dir_ + "/second.log";
  ASSERT_TRUE(vlfwu_test::startUnderWineWith(second, {"25"}, {{"VLFWU_LOG", vlfwu_test::windowsPath(secondLog)}}))
      << second.error();
  ASSERT_TRUE(second.waitForOutput("Press any key to exit...", timeoutMs_)) << second.output();
  EXPECT_FALSE(first.waitForOutput("100% complete.", 1)) << "the update ended before the second copy looked";
  second.writeInput("x");
  ASSERT_TRUE(sameTranscript(onConsole(startText() + portText(25, kCouldNotOpen) + kNoneFound + kExitText),
                             second.wait(timeoutMs_).output));
  const std::vector<std::uint8_t> logged = readFile(secondLog);
  EXPECT_NE(std::string(logged.begin(), logged.end()).find("refused: "), std::string::npos) << "no refusal logged";
  ASSERT_TRUE(first.waitForOutput("Press any key to exit...", timeoutMs_)) << first.output();
  first.writeInput("x");
  EXPECT_TRUE(sameTranscript(onConsole(startText() + portText(25, foundText("Sonarch60", "4.01")) +
                                       questionText(Comparison::Newer, "Sonarch60", "4.01", 'Y') +
                                       updateText(embeddedImage(0).header->firmwareLength, 2) + kExitText),
                             first.wait(timeoutMs_).output));
  stopSims();
  EXPECT_EQ(flashMismatch(readFile(flash(25)), embeddedImage(0)), "");
  expectLogMatchesSim();  // the switch saw the first copy's bytes and no others
}

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
