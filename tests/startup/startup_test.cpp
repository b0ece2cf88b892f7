// Start-up of the built program, run as a process: banner, argument checks, image
// validation, and the final key prompt answered from a pipe or a terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/child_process.h"
#include "tests/common/pty.h"

namespace {

using vlfwu_test::ChildProcess;
using vlfwu_test::PseudoTerminal;

const std::string kProgram = VLFWU_BIN_DIR "/vlfwu";
constexpr int kRunLimitMs = 20000;

const std::string kBannerLine = "\nValtrane / Omrix firmware update utility. Version 2.4\n";
const std::string kUsage =
    "\nUse: VLFWU [x]\n"
    "\nWhere:"
    "\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,"
    "\n          otherwise searches COM1 - COM16.";
const std::string kValidated = "Firmware validated.\nFirmware validated.\n";
const std::string kPrompt = "\nPress any key to exit...";

std::string invalidPortMessage(const std::string& shown) {
  return "\nCOM" + shown + " is an invalid COM port number.\nChoose a COM port number between 1 and 99\n";
}

// The banner is its version line and one line of legal notice (whose wording may change);
// returns the rest of the output, or fails.
::testing::AssertionResult splitBanner(const std::string& output, std::string* rest) {
  if (output.compare(0, kBannerLine.size(), kBannerLine) != 0) {
    return ::testing::AssertionFailure() << "no banner at the start of:\n" << output;
  }
  const std::size_t noticeEnd = output.find('\n', kBannerLine.size());
  if (noticeEnd == std::string::npos || noticeEnd == kBannerLine.size()) {
    return ::testing::AssertionFailure() << "no legal notice line after the banner:\n" << output;
  }
  *rest = output.substr(noticeEnd + 1);
  return ::testing::AssertionSuccess();
}

// Runs the program to the key prompt; the prompt is the last thing written before it waits.
void startToPrompt(ChildProcess* child, const std::vector<std::string>& arguments,
                   const vlfwu_test::ChildProcessOptions& options = {}) {
  ASSERT_TRUE(child->start(kProgram, arguments, {}, options)) << child->error();
  ASSERT_TRUE(child->waitForOutput(kPrompt, kRunLimitMs)) << child->output();
}

// True when the child is still running after a short while (it waits for input).
bool stillWaitsAfter(ChildProcess* child, int milliseconds) {
  child->collectOutput(milliseconds);
  return child->running();
}

TEST(Startup, TwoArgumentsGiveTheUsageWithoutPrompt) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"1", "2"}, std::vector<std::string>{"3", "x", "y"}}) {
    ChildProcess child;
    ASSERT_TRUE(child.start(kProgram, arguments)) << child.error();
    // No key is ever sent: a prompt would make this run into the time-out.
    const ChildProcess::Result result = child.wait(kRunLimitMs);
    ASSERT_FALSE(result.timedOut) << result.output;
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 1);
    std::string rest;
    ASSERT_TRUE(splitBanner(result.output, &rest));
    EXPECT_EQ(rest, kUsage) << "no image validation and no key prompt after the usage";
  }
}

struct InvalidPortCase {
  const char* argument;
  const char* shown;
};

class StartupInvalidPort : public ::testing::TestWithParam<InvalidPortCase> {};

TEST_P(StartupInvalidPort, ReportsTheNumberAndWaitsForAKey) {
  ChildProcess child;
  startToPrompt(&child, {GetParam().argument});
  EXPECT_TRUE(stillWaitsAfter(&child, 300)) << "the prompt must wait for a key";
  ASSERT_TRUE(child.writeInput("x"));
  const ChildProcess::Result result = child.wait(kRunLimitMs);
  ASSERT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.exitCode, 1);
  std::string rest;
  ASSERT_TRUE(splitBanner(result.output, &rest));
  EXPECT_EQ(rest, kValidated + invalidPortMessage(GetParam().shown) + kPrompt + "\n");
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, StartupInvalidPort,
                         ::testing::Values(InvalidPortCase{"100", "100"}, InvalidPortCase{"-1", "4294967295"},
                                           InvalidPortCase{"4000000000", "4000000000"}));

TEST(Startup, BothImagesAreValidatedBeforeThePortCheck) {
  ChildProcess child;
  startToPrompt(&child, {"100"});
  child.closeInput();
  const ChildProcess::Result result = child.wait(kRunLimitMs);
  std::string rest;
  ASSERT_TRUE(splitBanner(result.output, &rest));
  EXPECT_EQ(rest.compare(0, kValidated.size(), kValidated), 0) << rest;
}

TEST(Startup, EndOfInputAnswersThePrompt) {
  ChildProcess child;
  startToPrompt(&child, {"100"});
  child.closeInput();
  const ChildProcess::Result result = child.wait(kRunLimitMs);
  ASSERT_FALSE(result.timedOut) << "a run with no input left must not wait for ever";
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(result.output.ends_with(kPrompt + "\n")) << result.output;
}

TEST(Startup, ExtendedKeyIsTakenWithItsSecondCode) {
  ChildProcess child;
  startToPrompt(&child, {"100"});
  // An extended key comes as 0 and a second code; after the 0 the program waits for it.
  ASSERT_TRUE(child.writeInput(std::string(1, '\0')));
  EXPECT_TRUE(stillWaitsAfter(&child, 300)) << "ended before the second code of an extended key";
  ASSERT_TRUE(child.writeInput("H"));
  const ChildProcess::Result result = child.wait(kRunLimitMs);
  ASSERT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.exitCode, 1);
}

// A user at a terminal: a cooked, echoing pseudo-terminal as standard input.
class StartupTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok()) << pty.error();
    termios cooked{};
    ASSERT_TRUE(pty.slaveSettings(&cooked));
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL;
    ASSERT_TRUE(pty.setSlaveSettings(cooked));
    ASSERT_TRUE(pty.slaveSettings(&original));
    slave = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    options.stdinFd = slave;
  }
  void TearDown() override {
    if (slave >= 0) {
      close(slave);
    }
  }

  // The program reads keys from the terminal once it has made it non-canonical.
  bool waitUntilRaw() {
    for (int i = 0; i < 500; ++i) {
      termios now{};
      if (pty.slaveSettings(&now) && (now.c_lflag & ICANON) == 0) {
        return (now.c_lflag & ECHO) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  ::testing::AssertionResult restoredToOriginal() {
    termios now{};
    if (!pty.slaveSettings(&now)) {
      return ::testing::AssertionFailure() << "cannot read the terminal settings";
    }
    if (now.c_lflag != original.c_lflag || now.c_iflag != original.c_iflag) {
      return ::testing::AssertionFailure() << std::hex << "lflag " << now.c_lflag << " iflag " << now.c_iflag
                                           << ", was lflag " << original.c_lflag << " iflag " << original.c_iflag;
    }
    return ::testing::AssertionSuccess();
  }

  PseudoTerminal pty;
  termios original{};
  int slave = -1;
  vlfwu_test::ChildProcessOptions options;
};

TEST_F(StartupTerminal, SingleKeyWithoutEnterOrEchoEndsTheRun) {
  ChildProcess child;
  startToPrompt(&child, {"100"}, options);
  ASSERT_TRUE(waitUntilRaw()) << "the terminal was not made raw and non-echoing";
  ASSERT_TRUE(pty.write("k"));  // no Enter
  const ChildProcess::Result result = child.wait(kRunLimitMs);
  ASSERT_FALSE(result.timedOut) << "a single key without Enter must end the prompt";
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(pty.read(1, 200), "") << "the key was echoed";
  EXPECT_TRUE(restoredToOriginal());
}

class StartupTerminalSignal : public StartupTerminal, public ::testing::WithParamInterface<int> {};

TEST_P(StartupTerminalSignal, TerminalIsRestoredWhenASignalEndsTheRun) {
  ChildProcess child;
  startToPrompt(&child, {"100"}, options);
  ASSERT_TRUE(waitUntilRaw());
  ASSERT_TRUE(child.sendSignal(GetParam()));
  const ChildProcess::Result result = child.wait(kRunLimitMs);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.termSignal, GetParam()) << "the signal must still end the process as it would";
  EXPECT_TRUE(restoredToOriginal());
}

INSTANTIATE_TEST_SUITE_P(EndingSignals, StartupTerminalSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

// The Windows build under Wine, when it has been built and Wine is at hand.
class StartupWine : public ::testing::Test {
 protected:
  // The first run creates the Wine prefix, which takes a while.
  static constexpr int kWineLimitMs = 240000;

  void SetUp() override {
    const std::string exe = VLFWU_WINDOWS_EXE;
    if (exe.empty() || access(exe.c_str(), R_OK) != 0) {
      GTEST_SKIP() << "no Windows build given (VLFWU_WINDOWS_EXE)";
    }
    if (std::system("command -v wine > /dev/null 2>&1") != 0) {
      GTEST_SKIP() << "wine is not installed";
    }
    windowsExe = exe;
    ASSERT_TRUE(preparePrefix());
  }

  // One prefix in the build folder for every Wine test (the end-to-end ones too), created
  // once under a lock, as tests run in parallel; the marker says that it is complete.
  static std::string prefix() { return std::string(VLFWU_BIN_DIR) + "/../e2e-wine-prefix"; }

  static ::testing::AssertionResult preparePrefix() {
    mkdir(prefix().c_str(), 0755);
    const std::string lockPath = prefix() + ".lock";
    const int lock = open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
      return ::testing::AssertionFailure() << "cannot lock " << lockPath;
    }
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    const std::string marker = prefix() + "/vlfwu-prefix-ready";
    if (access(marker.c_str(), F_OK) != 0) {
      ChildProcess boot;
      // wineboot returns before the registry is written; wineserver -w waits for that.
      if (!boot.start("/bin/sh", {"-c", "wineboot -i && wineserver -w && touch \"$0\"", marker},
                      {{"WINEPREFIX", prefix()}, {"WINEDEBUG", "-all"}})) {
        result = ::testing::AssertionFailure() << boot.error();
      } else {
        const ChildProcess::Result done = boot.wait(kWineLimitMs);
        if (!done.exited || access(marker.c_str(), F_OK) != 0) {
          result = ::testing::AssertionFailure() << "wineboot failed:\n" << done.output;
        }
      }
    }
    flock(lock, LOCK_UN);
    close(lock);
    return result;
  }

  bool startWine(ChildProcess* child, const std::string& argument) {
    return child->start("/bin/sh", {"-c", "exec wine \"$0\" $1", windowsExe, argument},
                        {{"WINEPREFIX", prefix()}, {"WINEDEBUG", "-all"}});
  }

  // The Windows runtime writes line breaks as CR LF.
  static std::string unixLines(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
        result.push_back(text[i]);
      }
    }
    return result;
  }

  std::string windowsExe;
};

TEST_F(StartupWine, WineUsageForTwoArguments) {
  ChildProcess child;
  ASSERT_TRUE(startWine(&child, "1 2")) << child.error();
  const ChildProcess::Result result = child.wait(kWineLimitMs);
  ASSERT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.exitCode, 1);
  const std::string output = unixLines(result.output);
  std::string rest;
  ASSERT_TRUE(splitBanner(output, &rest));
  EXPECT_EQ(rest, kUsage);
}

TEST_F(StartupWine, WineInvalidPortPromptAnsweredFromAPipe) {
  ChildProcess child;
  ASSERT_TRUE(startWine(&child, "100")) << child.error();
  ASSERT_TRUE(child.waitForOutput("Press any key to exit...", kWineLimitMs)) << child.output();
  EXPECT_TRUE(stillWaitsAfter(&child, 300)) << "the prompt must wait for a key";
  ASSERT_TRUE(child.writeInput("x"));
  const ChildProcess::Result result = child.wait(kWineLimitMs);
  ASSERT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.exitCode, 1);
  std::string rest;
  ASSERT_TRUE(splitBanner(unixLines(result.output), &rest));
  EXPECT_EQ(rest, kValidated + invalidPortMessage("100") + kPrompt + "\n");
}

TEST_F(StartupWine, WineEndOfInputAnswersThePrompt) {
  ChildProcess child;
  ASSERT_TRUE(startWine(&child, "-1")) << child.error();
  ASSERT_TRUE(child.waitForOutput("Press any key to exit...", kWineLimitMs)) << child.output();
  child.closeInput();
  const ChildProcess::Result result = child.wait(kWineLimitMs);
  ASSERT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(unixLines(result.output).find(invalidPortMessage("4294967295")), std::string::npos) << result.output;
}

}  // namespace
