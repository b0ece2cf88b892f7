// The child-process helper that the process tests stand on, checked with the shell.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/common/child_process.h"

namespace {

using vlfwu_test::ChildProcess;

const std::string kShell = "/bin/sh";

TEST(ChildProcessHelper, PassesArgumentsAndEnvironmentAndExitCode) {
  ChildProcess child;
  ASSERT_TRUE(child.start(kShell, {"-c", "echo \"$0|$VLFWU_HELPER_PROBE|$HOME\"; exit 7", "first arg"},
                          {{"VLFWU_HELPER_PROBE", "set by test"}, {"HOME", "/override"}}))
      << child.error();
  const ChildProcess::Result result = child.wait(10000);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_EQ(result.output, "first arg|set by test|/override\n");
}

TEST(ChildProcessHelper, CapturesStandardErrorInOrderWithStandardOutput) {
  ChildProcess child;
  ASSERT_TRUE(child.start(kShell, {"-c", "echo one; echo two >&2; echo three"})) << child.error();
  EXPECT_EQ(child.wait(10000).output, "one\ntwo\nthree\n");
}

TEST(ChildProcessHelper, FeedsStandardInputAndWaitsForEachMatchInTurn) {
  ChildProcess child;
  ASSERT_TRUE(child.start(kShell, {"-c", "while read line; do echo \"got $line\"; done; echo end"}))
      << child.error();
  ASSERT_TRUE(child.writeInput("a\n"));
  ASSERT_TRUE(child.waitForOutput("got ", 5000));
  // The same text again needs a second occurrence.
  EXPECT_FALSE(child.waitForOutput("got ", 200));
  ASSERT_TRUE(child.writeInput("b\n"));
  ASSERT_TRUE(child.waitForOutput("got ", 5000));
  child.closeInput();
  EXPECT_TRUE(child.waitForOutput("end\n", 5000));
  const ChildProcess::Result result = child.wait(10000);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "got a\ngot b\nend\n");
}

TEST(ChildProcessHelper, KillsAChildThatOutlivesItsTimeLimit) {
  ChildProcess child;
  ASSERT_TRUE(child.start(kShell, {"-c", "echo started; exec sleep 30"})) << child.error();
  const ChildProcess::Result result = child.wait(300);
  EXPECT_TRUE(result.timedOut);
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.termSignal, SIGKILL);
  EXPECT_EQ(result.output, "started\n");
}

TEST(ChildProcessHelper, WritingToAChildThatIgnoresItsInputFailsQuietly) {
  ChildProcess child;
  ASSERT_TRUE(child.start(kShell, {"-c", "exec 0<&-; echo closed; exec sleep 5"})) << child.error();
  ASSERT_TRUE(child.waitForOutput("closed", 5000));
  EXPECT_FALSE(child.writeInput("nobody reads this")) << "a closed input must give false, not SIGPIPE";
}

TEST(ChildProcessHelper, MissingProgramIsReported) {
  ChildProcess child;
  EXPECT_FALSE(child.start("/nonexistent/vlfwu-helper-probe", {}));
  EXPECT_FALSE(child.error().empty());
}

}  // namespace
