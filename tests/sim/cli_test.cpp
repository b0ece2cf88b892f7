// The switch-sim program: its help, its ready line, the link, and a clean stop that leaves
// the flash file behind for the next run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/common/child_process.h"
#include "tests/sim/host_port.h"

namespace simtest {
namespace {

const std::string kProgram = std::string(VLFWU_BIN_DIR) + "/switch-sim";
const std::string kIdentity = "^=V \"Sonarch60\" 4.02,86,5,4101$";

TEST(SwitchSimProgram, HelpDocumentsEveryOption) {
  vlfwu_test::ChildProcess child;
  ASSERT_TRUE(child.start(kProgram, {"--help"}));
  auto result = child.wait(10000);
  EXPECT_EQ(result.exitCode, 0);
  for (const char* option :
       {"--link", "--flash", "--log", "--install", "--blank", "--wire-speed", "--bank",
        "--set-version", "--set-name", "--set-model", "--set-pcb", "--old-table",
        "--bad-check-crc", "--erase-table", "--state", "--boot-code", "--probe-answer",
        "--ack-before-identity", "--boot-delay", "--dsp-banks", "--dsp-interval", "--no-ready",
        "power-loss-after-bytes", "power-loss-after-copy", "power-loss-before-table-write",
        "corrupt-write-line", "weak-cell-copy", "drop-reply-line", "delay-reply-line",
        "console-noise", "vanish-after-copy", "SIGTERM"})
    EXPECT_NE(result.output.find(option), std::string::npos) << option;
}

TEST(SwitchSimProgram, BadOptionsAreRefused) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--fault", "meteor-strike"}, {"--bank", "1M"}, {"--frobnicate"},
        {"--set-model", "300"}, {"--set-name", "X"} /* needs an image */}) {
    vlfwu_test::ChildProcess child;
    ASSERT_TRUE(child.start(kProgram, args));
    auto result = child.wait(10000);
    EXPECT_NE(result.exitCode, 0) << args[0];
    EXPECT_NE(result.output.find("switch-sim:"), std::string::npos) << result.output;
  }
}

TEST(SwitchSimProgram, ServesALinkAndSavesTheFlashOnSigterm) {
  std::string link = tempPath("cli-link");
  std::string flash = tempPath("cli-flash.bin");
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
      ASSERT_TRUE(port.isOpen());
      EXPECT_EQ(port.exchange("\x1b^P$*\r", 3), "^+$") << round;
    }
    HostPort port(link, 19200);
    EXPECT_EQ(port.exchange("^V$", kIdentity.size()), kIdentity);
    port.close();
    ASSERT_TRUE(child.sendSignal(SIGTERM));
    auto result = child.wait(10000);
    EXPECT_EQ(result.exitCode, 0) << result.output;
  }
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed";
  ASSERT_EQ(stat(flash.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1024 * 1024);
  // The transcript names both directions and the state changes.
  {
    FILE* f = fopen(log.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    EXPECT_NE(text.find("host>sim  @19200  \"^V$\""), std::string::npos) << text;
    EXPECT_NE(text.find("sim>host  @19200  \"^+$\""), std::string::npos) << text;
    EXPECT_NE(text.find("state     mode: firmware"), std::string::npos) << text;
  }
  // The same file again is the same switch.
  {
    vlfwu_test::ChildProcess child;
    ASSERT_TRUE(child.start(kProgram, {"--link", link, "--flash", flash}));
    ASSERT_TRUE(child.waitForOutput("switch-sim: COM link", 10000)) << child.output();
    HostPort port(link, 19200);
    EXPECT_EQ(port.exchange("^V$", kIdentity.size()), kIdentity);
    port.close();
    ASSERT_TRUE(child.sendSignal(SIGINT));
    EXPECT_EQ(child.wait(10000).exitCode, 0);
  }
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
