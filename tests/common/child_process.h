#pragma once
// Runs a program as a child process for end-to-end tests: arguments and extra environment
// variables in, standard input through a pipe (or a given descriptor such as a terminal),
// standard output and standard error captured together, in the order written.
//
// Typical use:
//   ChildProcess child;
//   ASSERT_TRUE(child.start(VLFWU_BIN_DIR "/vlfwu", {"3"}, {{"VLFWU_COM3", pty.slavePath()}}));
//   ASSERT_TRUE(child.waitForOutput("(Y/N)", 5000)) << child.output();
//   child.writeInput("Y");
//   const ChildProcess::Result result = child.wait(60000);
//   EXPECT_EQ(result.exitCode, 1);
#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vlfwu_test {

// How to start a child process (see ChildProcess::start).
struct ChildProcessOptions {
  // Descriptor to give the child as its standard input instead of a pipe (e.g. the slave
  // of a PseudoTerminal); -1 for a pipe that writeInput and closeInput feed.
  int stdinFd = -1;
  // Working directory of the child; empty for the test's own.
  std::string workingDirectory;
};

class ChildProcess {
 public:
  using Options = ChildProcessOptions;

  struct Result {
    bool exited = false;    // ended by itself; exitCode is valid
    int exitCode = -1;
    int termSignal = 0;     // the signal that ended it, 0 if none
    bool timedOut = false;  // wait() ran out of time and killed it
    std::string output;     // everything it wrote to standard output and standard error
  };

  ChildProcess() = default;
  ~ChildProcess();  // kills a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with the given arguments (argv[0] is the program path) and the test's
  // environment plus extraEnvironment (name, value pairs, overriding same-named variables).
  // False, with error() set, when the process could not be started.
  bool start(const std::string& program, const std::vector<std::string>& arguments,
             const std::vector<std::pair<std::string, std::string>>& extraEnvironment = {},
             const Options& options = {});

  // Collects output until text appears after the end of the previous match (so waiting
  // twice for the same text needs it twice), the child's output ends, or timeoutMs passes.
  bool waitForOutput(std::string_view text, int timeoutMs);

  // Collects whatever output arrives within timeoutMs (at least until then, or until the
  // output ends); returns everything collected so far.
  const std::string& collectOutput(int timeoutMs);

  // Writes text to the child's standard input pipe; false if it is closed or gone.
  bool writeInput(std::string_view text);

  // Closes the standard input pipe: the child sees the end of its input.
  void closeInput();

  // True while the child has not ended (collects the exit status when it has).
  bool running();

  // Sends a signal to the child.
  bool sendSignal(int signalNumber);

  // Waits up to timeoutMs for the child to end, killing it (and its process group) when the
  // time runs out, then collects the rest of its output.
  Result wait(int timeoutMs);

  // Output collected so far.
  const std::string& output() const { return output_; }
  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }

 private:
  // Reads output until the deadline (steady clock, milliseconds); false once it has ended.
  bool pump(int timeoutMs);
  void reap(bool block);

  pid_t pid_ = -1;
  int inputFd_ = -1;
  int outputFd_ = -1;
  bool outputEnded_ = false;
  bool reaped_ = false;
  int waitStatus_ = 0;
  std::size_t matchEnd_ = 0;
  std::string output_;
  std::string error_;
};

}  // namespace vlfwu_test
