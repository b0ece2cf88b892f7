// The link as the utility uses it, and the switch-sim program: its help, its ready line, and a
// clean stop that leaves the flash file behind for the next run.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "tests/common/child_process.h"
#include "tests/sim/host_port.h"

namespace simtest {
namespace {

const std::string kProgram = std::string(VLFWU_BIN_DIR) + "/switch-sim";
const std::string kIdentity = "^=V \"Sonarch60\" 4.02,86,5,4101$";

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

int descriptorsOn(const std::string& path) {  // this process's descriptors on path
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* e = dir ? readdir(dir) : nullptr) {
    char target[512];
    ssize_t n = readlink(("/proc/self/fd/" + std::string(e->d_name)).c_str(), target, 511);
    count += n > 0 && std::string(target, static_cast<std::size_t>(n)) == path;
  }
  if (dir) closedir(dir);
  return count;
}

using Link = SimTest;

TEST_F(Link, SymlinkToTheTerminalWhichTheSwitchDoesNotHoldOpen) {
  std::string link = tempPath("link");
  sim::Options o = installedSwitch();
  o.link = link;
  start(o, 19200);
  char target[512];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(target, static_cast<std::size_t>(n)), device->slavePath());
  // Only the host's descriptor: its exclusive open is not disturbed, nothing is read away.
  EXPECT_EQ(descriptorsOn(device->slavePath()), 1);
  ASSERT_EQ(ioctl(port.fd(), TIOCEXCL), 0);
  expectReply("^P$", "^+$");
  TearDown();
  EXPECT_EQ(descriptorsOn(device->slavePath()), 0);
  EXPECT_FALSE(exists(link));
}

TEST_F(Link, StateSurvivesReopeningAtOtherRates) {
  startUnlocked();
  for (int round = 0; round < 4; ++round) {
    ASSERT_TRUE(port.open(device->slavePath(), round % 2 ? 19200 : 9600));
    port.setBaud(115200);
    // Still synchronised, echo off, unlocked.
    run({{"P 0 0 0\r\n", "0\r\n"}, {"E 0 0 0\r\n", "0\r\n"}});
  }
}

TEST(SwitchSimProgram, HelpAndBadOptions) {
  vlfwu_test::ChildProcess help;
  ASSERT_TRUE(help.start(kProgram, {"--help"}));
  auto result = help.wait(10000);
  EXPECT_EQ(result.exitCode, 0);
  std::istringstream options(
      "--link --flash --log --install --blank --wire-speed --bank --set-version --set-name "
      "--set-model --set-pcb --old-table --bad-check-crc --erase-table --state --boot-code "
      "--probe-answer --ack-before-identity --boot-delay --dsp-banks --dsp-interval --no-ready "
      "power-loss-after-bytes power-loss-after-copy power-loss-before-table-write SIGTERM "
      "corrupt-write-line weak-cell-copy drop-reply-line delay-reply-line console-noise "
      "vanish-after-copy");
  for (std::string option; options >> option;)
    EXPECT_NE(result.output.find(option), std::string::npos) << option;
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--fault", "meteor-strike"}, {"--bank", "1M"}, {"--frobnicate"},
        {"--set-model", "300"}, {"--set-name", "X"} /* needs an image */}) {
    vlfwu_test::ChildProcess child;
    ASSERT_TRUE(child.start(kProgram, args));
    result = child.wait(10000);
    EXPECT_NE(result.exitCode, 0) << args[0];
    EXPECT_NE(result.output.find("switch-sim:"), std::string::npos) << result.output;
  }
}

TEST(SwitchSimProgram, ServesALinkLogsAndSavesTheFlashOnSigterm) {
  std::string link = tempPath("cli-link"), flash = tempPath("cli-flash.bin");
  std::string log = tempPath("cli.log");
  unlink(flash.c_str());
  {
    vlfwu_test::ChildProcess child;
    ASSERT_TRUE(child.start(kProgram, {"--link", link, "--flash", flash, "--log", log,
                                       "--install", demoImagePath(0)}));
    ASSERT_TRUE(child.waitForOutput("switch-sim: COM link " + link + " -> /dev/pts/", 10000))
        << child.output();
    // The port opens and closes many times in a run; each time the switch answers.
    for (int round = 0; round < 3; ++round) {
      HostPort port(link, 19200);
      EXPECT_EQ(port.exchange("\x1b^P$*\r", 3), "^+$") << round;
    }
    HostPort port(link, 19200);
    EXPECT_EQ(port.exchange("^V$", kIdentity.size()), kIdentity);
    port.close();
    ASSERT_TRUE(child.sendSignal(SIGTERM));
    EXPECT_EQ(child.wait(10000).exitCode, 0);
  }
  EXPECT_FALSE(exists(link));
  EXPECT_EQ(readFile(flash).size(), 1024u * 1024);
  // The transcript names both directions and the state changes.
  std::vector<std::uint8_t> bytes = readFile(log);
  std::string text(bytes.begin(), bytes.end());
  for (const char* entry : {"host>sim  @19200  \"^V$\"", "sim>host  @19200  \"^+$\"",
                            "state     mode: firmware"})
    EXPECT_NE(text.find(entry), std::string::npos) << entry << "\n" << text;
  // The same file again is the same switch.
  vlfwu_test::ChildProcess child;
  ASSERT_TRUE(child.start(kProgram, {"--link", link, "--flash", flash}));
  ASSERT_TRUE(child.waitForOutput("switch-sim: COM link", 10000)) << child.output();
  HostPort port(link, 19200);
  EXPECT_EQ(port.exchange("^V$", kIdentity.size()), kIdentity);
  port.close();
  ASSERT_TRUE(child.sendSignal(SIGINT));
  EXPECT_EQ(child.wait(10000).exitCode, 0);
  unlink(flash.c_str());
  unlink(log.c_str());
}

TEST(SwitchSimProgram, PicksTheBankSizeFromTheInstalledImage) {
  std::string link = tempPath("cli-link-256");
  vlfwu_test::ChildProcess child;
  ASSERT_TRUE(child.start(kProgram, {"--link", link, "--install", demoImagePath(1), "--state",
                                     "bootloader"}));
  ASSERT_TRUE(child.waitForOutput("switch-sim: COM link", 10000)) << child.output();
  HostPort port(link, 115200);
  ASSERT_TRUE(syncBootloader(port));
  EXPECT_EQ(port.exchange("J\r\n", 19), "0\r\n2684471344\r\n68\r\n");
  port.close();
  child.sendSignal(SIGTERM);
  EXPECT_EQ(child.wait(10000).exitCode, 0);
}

}  // namespace
}  // namespace simtest
