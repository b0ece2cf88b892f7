// The Windows build under Wine against switch-sim: Wine's COM ports are the symbolic links of
// the prefix's dosdevices folder, which the simulator makes point at its pseudo-terminal.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/common/e2e_harness.h"

namespace vlfwu_e2e {
namespace {

// One prefix for the whole build folder, shared by tests that run at once.
const std::string kPrefix = std::string(VLFWU_BIN_DIR) + "/../e2e-wine-prefix";
const std::string kExe = VLFWU_WINDOWS_EXE;
const std::vector<std::pair<std::string, std::string>> kWineEnvironment = {{"WINEPREFIX", kPrefix},
                                                                           {"WINEDEBUG", "-all"}};

// Created once, under a lock; wineboot returns before the registry is written, so a marker
// follows once wineserver has finished.
::testing::AssertionResult prepareWinePrefix() {
  std::filesystem::create_directories(kPrefix);
  const int lock = ::open((kPrefix + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    return ::testing::AssertionFailure() << "cannot lock the prefix";
  }
  const std::string marker = kPrefix + "/vlfwu-prefix-ready";
  ChildProcess boot;
  if (!std::filesystem::exists(marker) &&
      boot.start("/bin/sh", {"-c", "wineboot -i && wineserver -w && touch \"$0\"", marker}, kWineEnvironment)) {
    boot.wait(240000);
  }
  ::close(lock);
  if (!std::filesystem::exists(marker)) {
    return ::testing::AssertionFailure() << "wineboot failed: " << boot.error() << boot.output();
  }
  return ::testing::AssertionSuccess();
}

class Wine : public EndToEnd, public ::testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    if (kExe.empty() || !std::filesystem::exists(kExe)) {
      GTEST_SKIP() << "no Windows build (configure with -DVLFWU_WINDOWS_EXE=path/to/vlfwu.exe)";
    }
    if (std::system("command -v wine > /dev/null 2>&1") != 0) {
      GTEST_SKIP() << "wine is not installed";
    }
    EndToEnd::SetUp();
    ASSERT_TRUE(prepareWinePrefix());
    timeoutMs_ = 240000;  // Wine takes a while to start
    ::unlink(link(GetParam().port).c_str());
  }
  std::string link(unsigned port) const override { return kPrefix + "/dosdevices/com" + std::to_string(port); }
  bool launch(ChildProcess& run, const std::vector<std::string>& args, const Ports&) override {
    std::vector<std::string> command = {"-c", "exec wine \"$@\"", "wine", kExe};
    command.insert(command.end(), args.begin(), args.end());
    return run.start("/bin/sh", command, kWineEnvironment);
  }
  // The console writes every line break as CR LF.
  std::string onConsole(const std::string& text) const override {
    std::string out;
    for (const char c : text) {
      out += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return out;
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

}  // namespace
}  // namespace vlfwu_e2e
