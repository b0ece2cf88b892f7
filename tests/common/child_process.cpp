#include "tests/common/child_process.h"

#include "tests/common/deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace vlfwu_test {
namespace {


void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (running()) {
    kill(-pid_, SIGKILL);
    reap(true);
  }
  closeFd(inputFd_);
  closeFd(outputFd_);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const Environment& extraEnvironment, const Options& options) {
  signal(SIGPIPE, SIG_IGN);  // a write to a child that closed its input must fail, not kill the test
  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  if (pid_ > 0 || pipe2(output, O_CLOEXEC) != 0 || (options.stdinFd < 0 && pipe2(input, O_CLOEXEC) != 0)) {
    error_ = pid_ > 0 ? "already started" : std::string("pipe: ") + std::strerror(errno);
    closeFd(input[0]), closeFd(input[1]), closeFd(output[0]), closeFd(output[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, options.stdinFd >= 0 ? options.stdinFd : input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
  if (!options.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  }
  // Default signal handling, nothing blocked, and a process group of its own that a kill reaches.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view name(*entry, std::strcspn(*entry, "="));
    if (std::none_of(extraEnvironment.begin(), extraEnvironment.end(), [&](auto& pair) { return pair.first == name; })) {
      envp.emplace_back(*entry);
    }
  }
  for (const auto& [name, value] : extraEnvironment) envp.push_back(name + "=" + value);
  const int failure =
      posix_spawn(&pid_, program.c_str(), &actions, &attributes, pointers(argv).data(), pointers(envp).data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  closeFd(output[1]);
  closeFd(input[0]);
  inputFd_ = input[1];
  outputFd_ = output[0];
  fcntl(outputFd_, F_SETFL, O_NONBLOCK);
  if (failure != 0) {
    error_ = "posix_spawn " + program + ": " + std::strerror(failure);
    pid_ = -1;
  }
  return failure == 0;
}

// Reads what output arrives within timeoutMs (once it has ended, just lets the time pass).
void ChildProcess::pump(int timeoutMs) {
  pollfd entry{outputFd_, POLLIN, 0};
  if (poll(&entry, outputFd_ < 0 ? 0 : 1, timeoutMs) <= 0 || outputFd_ < 0) return;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(outputFd_, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
    output_.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  }
  if (got == 0 || errno != EAGAIN) closeFd(outputFd_);
}

bool ChildProcess::waitForOutput(std::string_view text, int timeoutMs) {
  const auto deadline = deadlineIn(timeoutMs);
  std::size_t position = 0;
  while ((position = output_.find(text, matchEnd_)) == std::string::npos) {
    if (outputFd_ < 0 || msLeft(deadline) == 0) return false;
    pump(msLeft(deadline));
  }
  matchEnd_ = position + text.size();
  return true;
}

bool ChildProcess::writeInput(std::string_view text) {
  while (inputFd_ >= 0 && !text.empty()) {
    const ssize_t written = write(inputFd_, text.data(), text.size());
    if (written < 0 && errno != EINTR) return false;
    text.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(written, 0)));
  }
  return inputFd_ >= 0;
}

void ChildProcess::closeInput() { closeFd(inputFd_); }

void ChildProcess::reap(bool block) {
  pid_t result = 0;
  while (pid_ > 0 && !reaped_ && (result = waitpid(pid_, &waitStatus_, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
  }
  reaped_ = reaped_ || (pid_ > 0 && result == pid_);
}

bool ChildProcess::running() {
  reap(false);
  return pid_ > 0 && !reaped_;
}

bool ChildProcess::sendSignal(int signalNumber) { return running() && kill(pid_, signalNumber) == 0; }

ChildProcess::Result ChildProcess::wait(int timeoutMs) {
  Result result;
  const auto deadline = deadlineIn(timeoutMs);
  while (running()) {
    if (msLeft(deadline) == 0) {
      kill(-pid_, SIGKILL);
      reap(true);
      result.timedOut = true;
    }
    pump(std::min(10, msLeft(deadline)));
  }
  // The rest of the output: until the pipe ends, or stays quiet for 200 ms as a helper that
  // outlives the child (a simulator it started) may hold it open.
  const auto drainEnd = deadlineIn(2000);
  for (std::size_t before = std::string::npos; outputFd_ >= 0 && before != output_.size() && msLeft(drainEnd) > 0;) {
    before = output_.size();
    pump(std::min(200, msLeft(drainEnd)));
  }
  closeInput();
  result.exited = reaped_ && WIFEXITED(waitStatus_);
  result.exitCode = result.exited ? WEXITSTATUS(waitStatus_) : -1;
  result.termSignal = reaped_ && WIFSIGNALED(waitStatus_) ? WTERMSIG(waitStatus_) : 0;
  result.output = output_;
  return result;
}

}  // namespace vlfwu_test
