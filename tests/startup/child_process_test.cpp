// What the process tests do not show of the child-process helper, checked with the shell.
#include <signal.h>

#include <gtest/gtest.h>

#include "tests/common/child_process.h"

namespace {

using vlfwu_test::ChildProcess;

TEST(ChildProcessHelper, OverridesTheEnvironmentKeepsOutputInOrderAndMatchesEachTextOnce) {
  ChildProcess child;
  ASSERT_TRUE(child.start("/bin/sh", {"-c", "echo \"$0 $PROBE $HOME\"; echo err >&2; read l; echo $l; exit 7", "a b"},
                          {{"PROBE", "set"}, {"HOME", "/override"}}))
      << child.error();
  ASSERT_TRUE(child.waitForOutput("a b", 5000));
  EXPECT_FALSE(child.waitForOutput("a b", 200));
  ASSERT_TRUE(child.writeInput("in\n"));
  const ChildProcess::Result result = child.wait(10000);
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_EQ(result.output, "a b set /override\nerr\nin\n");
  EXPECT_FALSE(ChildProcess().start("/nonexistent/program", {}));
}

TEST(ChildProcessHelper, KillsAChildPastItsTimeAndFailsWritesToAClosedInput) {
  ChildProcess child;
  ASSERT_TRUE(child.start("/bin/sh", {"-c", "exec 0<&-; echo started; exec sleep 30"})) << child.error();
  ASSERT_TRUE(child.waitForOutput("started", 5000));
  EXPECT_FALSE(child.writeInput("nobody reads this")) << "false, not SIGPIPE";
  const ChildProcess::Result result = child.wait(300);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.termSignal, SIGKILL);
  EXPECT_EQ(result.output, "started\n");
}

}  // namespace
