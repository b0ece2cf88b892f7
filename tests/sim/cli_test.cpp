// The link as the utility uses it, and the switch-sim program: its help, its ready line, and a
// clean stop that leaves the flash file behind for the next run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <filesystem>
#include <sstream>

#include "tests/common/child_process.h"
#include "tests/sim/host_port.h"

namespace simtest {
namespace {

namespace fs = std::filesystem;
const std::string kProgram = std::string(VLFWU_BIN_DIR) + "/switch-sim";
const std::string kIdentity = "^=V \"Sonarch60\" 4.02,86,5,4101$";

int descriptorsOn(const std::string& path) {  // this process's descriptors on path
  int count = 0;
  std::error_code ignored;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd"))
    count += fs::read_symlink(fd.path(), ignored) == path;
  return count;
}

// Starts switch-sim and waits for its ready line.
::testing::AssertionResult startSim(vlfwu_test::ChildProcess& sim, std::vector<std::string> args) {
  std::string ready = "switch-sim: COM link " + args[1] + " -> /dev/pts/";
  if (sim.start(kProgram, args) && sim.waitForOutput(ready, 10000))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << sim.output();
}

using Link = SimTest;

TEST_F(Link, SymlinkToTheTerminalWhichTheSwitchDoesNotHoldOpen) {
  std::string link = tempPath("link");
  start(with(installedSwitch(), [&](sim::Options& o) { o.link = link; }), 19200);
  EXPECT_EQ(fs::read_symlink(link), device->slavePath());
  // Only the host's descriptor: its exclusive open is not disturbed, nothing is read away.
  EXPECT_EQ(descriptorsOn(device->slavePath()), 1);
  ASSERT_EQ(ioctl(port.fd(), TIOCEXCL), 0);
  expectReply("^P$", "^+$");
  TearDown();
  EXPECT_EQ(descriptorsOn(device->slavePath()), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST_F(Link, StateSurvivesReopeningButOutputWhileClosedIsLost) {
  startUnlocked(with(installedSwitch(), [](sim::Options& o) {
    o.startInBootloader = true, o.bootDelayMs = 150, o.dspIntervalMs = 100;
  }));
  for (int round = 0; round < 4; ++round) {
    ASSERT_TRUE(port.open(device->slavePath(), round % 2 ? 19200 : 9600));
    port.setBaud(115200);
    run({{"P 0 0 1\r\n", "0\r\n"}, {"E 0 0 1\r\n", "0\r\n"}});  // synchronised, unlocked
  }
  expectReply("G 436263100 T\r\n", "0\r\n");
  port.close();
  usleep(400 * 1000);  // the restart's first progress messages go out meanwhile
  ASSERT_TRUE(port.open(device->slavePath(), 19200));
  std::string rest = port.read(1 << 20, 3000, "^=P$");
  EXPECT_EQ(rest.find("^!100,1,0$"), std::string::npos) << rest;
  EXPECT_NE(rest.find("^=P$"), std::string::npos) << rest;
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
      "vanish-after-copy --seed --adapter-latency --adapter-frames power-loss-before-erase "
      "power-loss-after-erase power-loss-before-copy torn-erase torn-copy garbled-first-answer");
  for (std::string option; options >> option;)
    EXPECT_NE(result.output.find(option), std::string::npos) << option;
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--fault", "meteor-strike"}, {"--bank", "1M"}, {"--frobnicate"},
        {"--set-model", "300"}, {"--set-name", "X"} /* needs an image */, {"--seed", "-1"},
        {"--seed", "0x10"}, {"--adapter-latency", "fast"}, {"--fault", "torn-erase=0"},
        {"--fault", "garbled-first-answer=2"}}) {
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
  fs::remove(flash);
  for (int run = 0; run < 2; ++run) {  // the second run is the same switch from its flash file
    vlfwu_test::ChildProcess child;
    std::vector<std::string> args = {"--link", link, "--flash", flash, "--log", log, "--install",
                                     demoImagePath(0)};
    ASSERT_TRUE(startSim(child, run ? std::vector(args.begin(), args.begin() + 4) : args));
    // The port opens and closes many times in a run; each time the switch answers.
    EXPECT_EQ(HostPort(link).exchange("\x1b^P$*\r", 3), "^+$");
    EXPECT_EQ(HostPort(link).exchange("^V$", kIdentity.size()), kIdentity);
    ASSERT_TRUE(child.sendSignal(run ? SIGINT : SIGTERM));
    EXPECT_EQ(child.wait(10000).exitCode, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_EQ(fs::file_size(flash), 1024u * 1024);
  }
  // The transcript names both directions and the state changes.
  std::vector<std::uint8_t> bytes = readFile(log);
  std::string text(bytes.begin(), bytes.end());
  for (const char* entry : {"host>sim  @19200  \"^V$\"", "sim>host  @19200  \"^+$\"",
                            "state     mode: firmware"})
    EXPECT_NE(text.find(entry), std::string::npos) << entry << "\n" << text;
  fs::remove(flash);
  fs::remove(log);
}

TEST(SwitchSimProgram, PicksTheBankSizeFromTheInstalledImage) {
  vlfwu_test::ChildProcess child;
  std::string link = tempPath("cli-link-256");
  ASSERT_TRUE(
      startSim(child, {"--link", link, "--install", demoImagePath(1), "--state", "bootloader"}));
  HostPort port(link, 115200);
  ASSERT_TRUE(syncBootloader(port));
  EXPECT_EQ(port.exchange("J\r\n", 19), "0\r\n2684471344\r\n68\r\n");
  port.close();
  child.sendSignal(SIGTERM);
  EXPECT_EQ(child.wait(10000).exitCode, 0);
}

}  // namespace
}  // namespace simtest
