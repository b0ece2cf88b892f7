// A serial device named by its path on the command line: the run is a single-port run on that
// device, and every message names the port by the path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "tests/common/e2e_harness.h"
#include "tests/common/pty.h"

namespace vlfwu_e2e {
namespace {

const std::string kS60 = "Sonarch60";

std::string at(const std::string& path, std::string_view outcome) { return "\n" + path + ": " + std::string(outcome); }

class NamedDevice : public EndToEnd {};

// The simulated switch's pseudo-terminal, given by the path of its link; no environment
// variable names it.
TEST_F(NamedDevice, SwitchFoundUpdatedOrLeftAlone) {
  struct Case {
    const char* name;
    unsigned port;  // only keeps the simulators' files apart
    const char* version;
    std::vector<std::string> simArgs;
    std::vector<std::string> keys;
    std::function<std::string(const std::string& path)> expected;
    int flashAfter;  // -1: unchanged
  };
  const std::uint32_t length = embeddedImage(0).header->firmwareLength;
  const Case cases[] = {
      {"accepted", 1, "4.01", {}, {"Y"},
       [&](const std::string& path) {
         return at(path, foundText(kS60, "4.01")) + questionText(Comparison::Newer, kS60, "4.01", 'Y') +
                updateText(length, 2);
       },
       0},
      {"declined", 2, "4.01", {}, {"n"},
       [](const std::string& path) {
         return at(path, foundText(kS60, "4.01")) + questionText(Comparison::Newer, kS60, "4.01", 'N') + kCanceled;
       },
       -1},
      {"unknown product", 3, "4.01", {"--set-model", "90", "--set-name", "Sonarch99"}, {},
       [](const std::string& path) {
         return at(path, kNoMatch) + "\n\nThe device on " + path +
                " not compatible with this update.\nProduct name: \"Sonarch99\"\n";
       },
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(startSim(c.port, 0, c.version, c.simArgs));
    const std::vector<std::uint8_t> before = readFile(flash(c.port));
    expectRun({link(c.port)}, {}, c.keys, c.expected(link(c.port)));
    stopSims();
    const std::vector<std::uint8_t> after = readFile(flash(c.port));
    if (c.flashAfter >= 0) {
      EXPECT_EQ(flashMismatch(after, embeddedImage(c.flashAfter)), "");
    } else {
      EXPECT_TRUE(!after.empty() && after == before) << "the flash changed";
    }
  }
}

// A terminal with nothing on the line, by its own /dev/pts path: the scan and the console loop
// both name it.
TEST_F(NamedDevice, SilentTerminalIsNamedByTheScanAndTheLoop) {
  vlfwu_test::PseudoTerminal silent;
  ASSERT_TRUE(silent.ok()) << silent.error();
  const std::string path = silent.slavePath();
  expectRun({path}, {}, {}, at(path, kNoDevice) + "\n\nNo Valtrane device found on " + path + ".\n");
}

TEST_F(NamedDevice, DeviceThatCannotBeOpened) {
  vlfwu_test::PseudoTerminal held;
  ASSERT_TRUE(held.ok()) << held.error();
  // Another program holding the device keeps its lock on it, as vlfwu itself does.
  const int holder = open(held.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string plain = dir_ + "/ttyUSB0";
  std::ofstream(plain) << "not a terminal";
  for (const std::string& path : {dir_ + "/ttyACM7", plain, dir_ + "/", held.slavePath()}) {
    SCOPED_TRACE(path);
    expectRun({path}, {}, {}, at(path, kCouldNotOpen) + kNoneFound);
  }
  close(holder);
}

}  // namespace
}  // namespace vlfwu_e2e
