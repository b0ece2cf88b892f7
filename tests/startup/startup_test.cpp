// Start-up of the built program, run as a process (and the Windows build under Wine): banner,
// argument checks, image validation, and the final key prompt from a pipe or a terminal.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/child_process.h"
#include "tests/common/pty.h"
#include "tests/common/wine_prefix.h"

namespace {

using vlfwu_test::ChildProcess;
using Launch = std::function<bool(ChildProcess&, const std::vector<std::string>&)>;

constexpr int kRunLimitMs = 20000;
const std::string kProgram = VLFWU_BIN_DIR "/vlfwu";
const std::string kPrompt = "\nPress any key to exit...";

bool launchNative(ChildProcess& child, const std::vector<std::string>& arguments) {
  return child.start(kProgram, arguments);
}

// The output after the banner (whose second line is a legal notice of any wording), with the
// Windows console's CR LF read as LF.
std::string afterBanner(std::string output) {
  for (std::size_t at = 0; (at = output.find("\r\n", at)) != std::string::npos;) output.erase(at, 1);
  const std::string banner = "\nValtrane / Omrix firmware update utility. Version 2.4\n";
  const std::size_t noticeEnd = output.find('\n', banner.size());
  EXPECT_TRUE(output.starts_with(banner) && noticeEnd > banner.size()) << "no banner in:\n" << output;
  return noticeEnd == std::string::npos ? output : output.substr(noticeEnd + 1);
}

// The usage text as the Windows build prints it; the POSIX build adds one line about devices.
const std::string kUsage =
    "\nUse: VLFWU [x]\n\nWhere:\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,"
    "\n          otherwise searches COM1 - COM16.";
const std::string kDeviceUsage = "\n          A path such as /dev/ttyUSB0 names one serial device instead.";

void expectUsage(const Launch& launch, const std::vector<std::string>& arguments, const std::string& usage,
                 int limitMs) {
  ChildProcess child;
  ASSERT_TRUE(launch(child, arguments)) << child.error();
  const ChildProcess::Result result = child.wait(limitMs);  // no key is sent: a prompt would time out
  ASSERT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(afterBanner(result.output), usage);
}

struct PromptCase {
  const char* argument;
  const char* shown;              // the number in the message
  std::vector<std::string> keys;  // sent one by one, the prompt still waiting before each
  bool endInput;                  // then the input ends
};

void expectInvalidPortPrompt(const Launch& launch, const PromptCase& c, int limitMs) {
  SCOPED_TRACE(c.argument);
  ChildProcess child;
  ASSERT_TRUE(launch(child, {c.argument})) << child.error();
  ASSERT_TRUE(child.waitForOutput(kPrompt, limitMs)) << child.output();
  for (std::size_t i = 0; i < c.keys.size() + (c.endInput ? 1 : 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(child.running()) << "ended before key " << i << " or the end of input";
    if (i == c.keys.size()) {
      child.closeInput();
    } else {
      ASSERT_TRUE(child.writeInput(c.keys[i]));
    }
  }
  const ChildProcess::Result result = child.wait(limitMs);
  ASSERT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(afterBanner(result.output), "Firmware validated.\nFirmware validated.\n\nCOM" + std::string(c.shown) +
                                            " is an invalid COM port number.\nChoose a COM port number between 1 "
                                            "and 99\n" + kPrompt + "\n");
}

TEST(Startup, MoreThanOneArgumentGivesTheUsageWithoutPrompt) {
  expectUsage(launchNative, {"1", "2"}, kUsage + kDeviceUsage, kRunLimitMs);
  expectUsage(launchNative, {"3", "x", "y"}, kUsage + kDeviceUsage, kRunLimitMs);
  expectUsage(launchNative, {"/dev/ttyUSB0", "1"}, kUsage + kDeviceUsage, kRunLimitMs);
}

TEST(Startup, InvalidPortWaitsForAKeyFromAPipeOrTheEndOfInput) {
  const PromptCase cases[] = {
      {"100", "100", {"x"}, false},
      {"-1", "4294967295", {std::string(1, '\0'), "H"}, false},  // an extended key: 0 and a second code
      {"4000000000", "4000000000", {}, true},
      // Read as a 32-bit unsigned long: too large a number saturates, it does not wrap to COM1.
      {"4294967297", "4294967295", {"x"}, false},
  };
  for (const PromptCase& c : cases) expectInvalidPortPrompt(launchNative, c, kRunLimitMs);
}

TEST(Startup, WindowsBuildUnderWine) {
  if (const std::string why = vlfwu_test::wineUnavailable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(vlfwu_test::prepareWinePrefix());
  const Launch wine = vlfwu_test::startUnderWine;
  expectUsage(wine, {"1", "2"}, kUsage, vlfwu_test::kWineLimitMs);
  expectInvalidPortPrompt(wine, {"100", "100", {"x"}, false}, vlfwu_test::kWineLimitMs);
  expectInvalidPortPrompt(wine, {"-1", "4294967295", {}, true}, vlfwu_test::kWineLimitMs);
  expectInvalidPortPrompt(wine, {"4294967297", "4294967295", {"x"}, false}, vlfwu_test::kWineLimitMs);
}

// At a terminal the prompt takes one key without Enter or echo, and the terminal gets its
// settings back however the run ends: by that key or by a signal.
TEST(Startup, TerminalIsRawDuringThePromptAndRestoredAfterAKeyOrASignal) {
  for (const int signal : {0, SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    vlfwu_test::PseudoTerminal pty;
    termios cooked{};
    ASSERT_TRUE(pty.slaveSettings(&cooked)) << pty.error();
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL;
    ASSERT_TRUE(pty.setSlaveSettings(cooked) && pty.slaveSettings(&cooked));
    const int terminal = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ChildProcess child;
    ASSERT_TRUE(child.start(kProgram, {"100"}, {}, {.stdinFd = terminal, .workingDirectory = {}})) << child.error();
    close(terminal);
    ASSERT_TRUE(child.waitForOutput(kPrompt, kRunLimitMs)) << child.output();
    termios now{};
    for (int i = 0; i < 500 && pty.slaveSettings(&now) && (now.c_lflag & ICANON) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u) << "not made raw and silent";
    ASSERT_TRUE(signal != 0 ? child.sendSignal(signal) : pty.write("k"));  // no Enter
    const ChildProcess::Result result = child.wait(kRunLimitMs);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(signal != 0 ? result.termSignal : result.exitCode, signal != 0 ? signal : 1);
    EXPECT_EQ(pty.read(1, signal != 0 ? 0 : 200), "") << "the key was echoed";
    ASSERT_TRUE(pty.slaveSettings(&now));
    EXPECT_EQ(now.c_lflag, cooked.c_lflag);
    EXPECT_EQ(now.c_iflag, cooked.c_iflag);
  }
}

// A signal that arrives just as the terminal has been switched to no echo, before the program
// has gone on from that call, still gives the user's shell its echo and line editing back.
TEST(Startup, SignalJustAfterTheSwitchToNoEchoRestoresTheTerminal) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    vlfwu_test::PseudoTerminal pty;
    termios cooked{};
    ASSERT_TRUE(pty.slaveSettings(&cooked)) << pty.error();
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL;
    ASSERT_TRUE(pty.setSlaveSettings(cooked) && pty.slaveSettings(&cooked));
    const int terminal = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ChildProcess child;
    ASSERT_TRUE(child.start(kProgram, {"100"},
                            {{"LD_PRELOAD", VLFWU_SIGNAL_AFTER_SILENCE},
                             {"VLFWU_TEST_SIGNAL_AFTER_SILENCE", std::to_string(signal)},
                             // the sanitizer build's runtime otherwise insists on being first
                             {"ASAN_OPTIONS", "verify_asan_link_order=0"}},
                            {.stdinFd = terminal, .workingDirectory = {}}))
        << child.error();
    close(terminal);
    const ChildProcess::Result result = child.wait(kRunLimitMs);
    ASSERT_FALSE(result.timedOut) << result.output;
    EXPECT_EQ(result.termSignal, signal) << "the signal did not come in the window:\n" << result.output;
    termios now{};
    ASSERT_TRUE(pty.slaveSettings(&now));
    EXPECT_EQ(now.c_lflag, cooked.c_lflag) << "left without echo or line editing";
    EXPECT_EQ(now.c_iflag, cooked.c_iflag);
  }
}

// Keys typed while the banner shows and the ports are searched are not echoed either: the
// terminal is silent from the start, and gets its settings back when a signal ends the run.
TEST(Startup, KeysTypedDuringTheScanAreNotEchoed) {
  vlfwu_test::PseudoTerminal keyboard;
  vlfwu_test::PseudoTerminal silentPort;  // nothing answers: the search takes seconds
  ASSERT_TRUE(keyboard.ok() && silentPort.ok()) << keyboard.error() << silentPort.error();
  termios cooked{};
  ASSERT_TRUE(keyboard.slaveSettings(&cooked));
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_TRUE(keyboard.setSlaveSettings(cooked) && keyboard.slaveSettings(&cooked));
  const int terminal = open(keyboard.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ChildProcess child;
  ASSERT_TRUE(child.start(kProgram, {"5"}, {{"VLFWU_COM5", silentPort.slavePath()}},
                          {.stdinFd = terminal, .workingDirectory = {}}))
      << child.error();
  close(terminal);
  ASSERT_TRUE(child.waitForOutput("Firmware validated.\nFirmware validated.\n", kRunLimitMs)) << child.output();
  termios now{};
  ASSERT_TRUE(keyboard.slaveSettings(&now));
  EXPECT_EQ(now.c_lflag & ECHO, 0u) << "the terminal echoes during the scan";
  ASSERT_TRUE(keyboard.write("yes"));
  EXPECT_EQ(keyboard.read(1, 300), "") << "a key was echoed";
  EXPECT_EQ(child.output().find("No Valtrane"), std::string::npos) << "the search ended too soon for this test";
  ASSERT_TRUE(child.sendSignal(SIGTERM));
  const ChildProcess::Result result = child.wait(kRunLimitMs);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.termSignal, SIGTERM);
  ASSERT_TRUE(keyboard.slaveSettings(&now));
  EXPECT_EQ(now.c_lflag, cooked.c_lflag);
  EXPECT_EQ(now.c_iflag, cooked.c_iflag);
}

}  // namespace
