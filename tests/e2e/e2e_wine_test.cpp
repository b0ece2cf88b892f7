// The Windows build under Wine against the switch-sim program: Wine's COM ports are symbolic
// links in the prefix's dosdevices folder, here pointing at the simulator's pseudo-terminal.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/e2e/e2e_support.h"

namespace vlfwu_e2e {
namespace {

// Wine takes a few seconds to start, and longer the first time, when it creates the prefix.
constexpr int kWineTimeoutMs = 240000;

// Distinct port numbers per test, so that the tests can share one prefix and run at once.
constexpr unsigned kUpdatePort = 21;
constexpr unsigned kDeclinePort = 22;
constexpr unsigned kAbsentPort = 23;

std::string windowsExe() { return VLFWU_WINDOWS_EXE; }

// One prefix for the whole build folder, created once (under a lock, as tests run in parallel).
std::string winePrefix() { return std::string(VLFWU_BIN_DIR) + "/../e2e-wine-prefix"; }

::testing::AssertionResult prepareWinePrefix() {
  std::error_code ignored;
  std::filesystem::create_directories(winePrefix(), ignored);
  const std::string lockPath = winePrefix() + ".lock";
  const int lock = ::open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    return ::testing::AssertionFailure() << "cannot lock " << lockPath;
  }
  ::testing::AssertionResult result = ::testing::AssertionSuccess();
  // wineboot returns before the registry is written; the marker follows once it has been.
  const std::string marker = winePrefix() + "/vlfwu-prefix-ready";
  if (!std::filesystem::exists(marker)) {
    ChildProcess boot;
    if (!boot.start("/bin/sh", {"-c", "wineboot -i && wineserver -w && touch \"$0\"", marker},
                    {{"WINEPREFIX", winePrefix()}, {"WINEDEBUG", "-all"}})) {
      result = ::testing::AssertionFailure() << boot.error();
    } else {
      const ChildProcess::Result done = boot.wait(kWineTimeoutMs);
      if (!done.exited || !std::filesystem::exists(marker)) {
        result = ::testing::AssertionFailure() << "wineboot failed:\n" << done.output;
      }
    }
  }
  ::flock(lock, LOCK_UN);
  ::close(lock);
  return result;
}

std::string comLink(unsigned port) { return winePrefix() + "/dosdevices/com" + std::to_string(port); }

// Windows writes every line break of the console text as CR LF.
std::string windowsText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

class EndToEndWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (windowsExe().empty() || !std::filesystem::exists(windowsExe())) {
      GTEST_SKIP() << "no Windows build (configure with -DVLFWU_WINDOWS_EXE=path/to/vlfwu.exe)";
    }
    if (std::system("command -v wine > /dev/null 2>&1") != 0) {
      GTEST_SKIP() << "wine is not installed";
    }
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(prepareWinePrefix());
    image0_ = embeddedImage(0);
    ASSERT_NE(image0_.header, nullptr);
  }

  void TearDown() override {
    for (const unsigned port : usedPorts_) {
      ::unlink(comLink(port).c_str());
    }
  }

  // A simulator whose pseudo-terminal is Wine's COM port number port.
  ::testing::AssertionResult startSim(SimProcess& sim, unsigned port, const std::vector<std::string>& arguments) {
    usedPorts_.push_back(port);
    if (!sim.start(dir_.file("com" + std::to_string(port)), arguments)) {
      return ::testing::AssertionFailure() << sim.report();
    }
    ::unlink(comLink(port).c_str());
    if (::symlink(sim.linkPath().c_str(), comLink(port).c_str()) != 0) {
      return ::testing::AssertionFailure() << "cannot link " << comLink(port);
    }
    return ::testing::AssertionSuccess();
  }

  ::testing::AssertionResult startUtility(ChildProcess& run, unsigned port) {
    if (!run.start("/bin/sh", {"-c", "exec wine \"$0\" \"$1\"", windowsExe(), std::to_string(port)},
                   {{"WINEPREFIX", winePrefix()}, {"WINEDEBUG", "-all"}})) {
      return ::testing::AssertionFailure() << run.error();
    }
    return ::testing::AssertionSuccess();
  }

  // Under Wine a console program cannot tell whether a key waits in a pipe, so a pass of the
  // console loop may wait for one: a key that no question accepts lets the first pass go on.
  // Once the last answer is given the input ends, which lets every later read return at once.
  static void wakeLoop(ChildProcess& run) { run.writeInput("x"); }

  TempDir dir_;
  t_FirmwareImage image0_{};
  std::vector<unsigned> usedPorts_;
};

TEST_F(EndToEndWine, WineFullUpdateOfASwitchRunningAnOlderVersion) {
  SimProcess sim;
  const std::string flash = dir_.file("flash.bin");
  ASSERT_TRUE(startSim(sim, kUpdatePort, installedSwitch(0, "4.01", flash)));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, kUpdatePort));
  ASSERT_TRUE(run.waitForOutput("firmware version: 4.01", kWineTimeoutMs)) << run.output();
  wakeLoop(run);
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y", kWineTimeoutMs));
  run.closeInput();
  const ChildProcess::Result result = run.wait(kWineTimeoutMs);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = startText() + portText(kUpdatePort, foundText("Sonarch60", "4.01")) +
                               questionText(Comparison::Newer, "Sonarch60", "4.01", "4.02", "Sonarch60", 'Y') +
                               progressText(image0_.header->firmwareLength) + dspText(2) +
                               std::string(kExitText);
  EXPECT_TRUE(sameTranscript(windowsText(expected), result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flash, image0_));
}

TEST_F(EndToEndWine, WineDeclinedUpdateLeavesTheFlashAsItWas) {
  SimProcess sim;
  const std::string flash = dir_.file("flash.bin");
  ASSERT_TRUE(startSim(sim, kDeclinePort, installedSwitch(0, "4.02", flash)));
  const std::vector<std::uint8_t> before = readFile(flash);
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, kDeclinePort));
  ASSERT_TRUE(run.waitForOutput("firmware version: 4.02", kWineTimeoutMs)) << run.output();
  wakeLoop(run);
  ASSERT_TRUE(answer(run, "Update anyway? (Y,N) ", "N", kWineTimeoutMs));
  run.closeInput();
  const ChildProcess::Result result = run.wait(kWineTimeoutMs);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = startText() + portText(kDeclinePort, foundText("Sonarch60", "4.02")) +
                               questionText(Comparison::Same, "Sonarch60", "4.02", "4.02", "Sonarch60", 'N') +
                               std::string(kCanceled) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(windowsText(expected), result.output));
  sim.stop();
  EXPECT_TRUE(readFile(flash) == before);
}

TEST_F(EndToEndWine, WineNoSwitchFoundOnAPortThatDoesNotExist) {
  ::unlink(comLink(kAbsentPort).c_str());
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, kAbsentPort));
  ASSERT_TRUE(run.waitForOutput("Press any key to exit...", kWineTimeoutMs)) << run.output();
  run.writeInput("x");
  const ChildProcess::Result result = run.wait(kWineTimeoutMs);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected =
      startText() + portText(kAbsentPort, kCouldNotOpen) + std::string(kNoneFound) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(windowsText(expected), result.output));
}

}  // namespace
}  // namespace vlfwu_e2e
