#pragma once
// Runs a program as a child process: arguments and extra environment in, standard input
// through a pipe (or a given descriptor such as a terminal), standard output and standard
// error captured together, in the order written.
//
//   ChildProcess child;
//   ASSERT_TRUE(child.start(VLFWU_BIN_DIR "/vlfwu", {"3"}, {{"VLFWU_COM3", pty.slavePath()}}));
//   ASSERT_TRUE(child.waitForOutput("(Y/N)", 5000)) << child.output();
//   child.writeInput("Y");
//   EXPECT_EQ(child.wait(60000).exitCode, 1);
#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vlfwu_test {

struct ChildProcessOptions {
  int stdinFd = -1;              // the child's standard input; -1 for a pipe fed by writeInput
  std::string workingDirectory;  // empty for the test's own
};

class ChildProcess {
 public:
  using Options = ChildProcessOptions;
  using Environment = std::vector<std::pair<std::string, std::string>>;
  struct Result {
    bool exited = false;  // ended by itself, with exitCode
    int exitCode = -1;
    int termSignal = 0;     // the signal that ended it, 0 if none
    bool timedOut = false;  // wait() ran out of time and killed it
    std::string output;
  };

  ChildProcess() = default;
  ~ChildProcess();  // kills a child that still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program (argv[0] is its path) in a process group of its own, with the test's
  // environment plus extraEnvironment; false, with error(), when it cannot be started.
  bool start(const std::string& program, const std::vector<std::string>& arguments,
             const Environment& extraEnvironment = {}, const Options& options = {});
  // Collects output until text appears after the previous match (so waiting twice for a text
  // needs it twice), the output ends, or timeoutMs passes.
  bool waitForOutput(std::string_view text, int timeoutMs);
  bool writeInput(std::string_view text);  // false once the child's input is closed
  void closeInput();
  bool running();
  bool sendSignal(int signalNumber);
  // Waits up to timeoutMs for the end (then kills the process group); collects the rest of the output.
  Result wait(int timeoutMs);
  const std::string& output() const { return output_; }
  const std::string& error() const { return error_; }

 private:
  void pump(int timeoutMs);
  void reap(bool block);

  pid_t pid_ = -1;
  int inputFd_ = -1, outputFd_ = -1;
  bool reaped_ = false;
  int waitStatus_ = 0;
  std::size_t matchEnd_ = 0;
  std::string output_, error_;
};

}  // namespace vlfwu_test
