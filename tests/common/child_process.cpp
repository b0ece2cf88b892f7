#include "tests/common/child_process.h"

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

using Clock = std::chrono::steady_clock;

// After the child has ended, its output is read until the pipe ends or stays quiet this long
// (a grandchild such as a daemon it started may hold the pipe open for ever).
constexpr int kQuietAfterExitMs = 200;
constexpr int kMaxDrainAfterExitMs = 2000;

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

Clock::time_point deadlineIn(int timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

std::vector<std::string> mergedEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    const bool overridden = std::any_of(extra.begin(), extra.end(),
                                        [&](const auto& pair) { return pair.first == name; });
    if (!overridden) {
      merged.emplace_back(text);
    }
  }
  for (const auto& [name, value] : extra) {
    merged.push_back(name + "=" + value);
  }
  return merged;
}

std::vector<char*> pointerArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    reap(true);
  }
  closeInput();
  if (outputFd_ >= 0) {
    close(outputFd_);
  }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::pair<std::string, std::string>>& extraEnvironment,
                         const Options& options) {
  if (pid_ > 0) {
    error_ = "already started";
    return false;
  }
  int inputPipe[2] = {-1, -1};
  int outputPipe[2] = {-1, -1};
  if (pipe2(outputPipe, O_CLOEXEC) != 0 || (options.stdinFd < 0 && pipe2(inputPipe, O_CLOEXEC) != 0)) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    for (int fd : {inputPipe[0], inputPipe[1], outputPipe[0], outputPipe[1]}) {
      if (fd >= 0) {
        close(fd);
      }
    }
    return false;
  }
  const int childInput = options.stdinFd >= 0 ? options.stdinFd : inputPipe[0];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childInput, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDERR_FILENO);
  if (!options.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  }

  // The child starts with default signal handling and nothing blocked, whatever the test
  // runner did, in a process group of its own so that a kill reaches its helpers too.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> argumentStrings{program};
  argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environmentStrings = mergedEnvironment(extraEnvironment);
  std::vector<char*> argv = pointerArray(argumentStrings);
  std::vector<char*> envp = pointerArray(environmentStrings);

  pid_t pid = -1;
  const int failure = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);

  close(outputPipe[1]);
  if (inputPipe[0] >= 0) {
    close(inputPipe[0]);
  }
  if (failure != 0) {
    error_ = "posix_spawn " + program + ": " + std::strerror(failure);
    close(outputPipe[0]);
    if (inputPipe[1] >= 0) {
      close(inputPipe[1]);
    }
    return false;
  }
  pid_ = pid;
  inputFd_ = inputPipe[1];
  outputFd_ = outputPipe[0];
  fcntl(outputFd_, F_SETFL, fcntl(outputFd_, F_GETFL) | O_NONBLOCK);
  return true;
}

bool ChildProcess::pump(int timeoutMs) {
  if (outputFd_ < 0) {
    if (timeoutMs > 0) {
      poll(nullptr, 0, timeoutMs);  // nothing to read: just let the time pass
    }
    return false;
  }
  pollfd entry{outputFd_, POLLIN, 0};
  const int ready = poll(&entry, 1, timeoutMs);
  if (ready <= 0) {
    return ready == 0 || errno == EINTR;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(outputFd_, buffer, sizeof buffer);
    if (got > 0) {
      output_.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && errno == EAGAIN) {
      return true;
    }
    close(outputFd_);
    outputFd_ = -1;
    outputEnded_ = true;
    return false;
  }
}

bool ChildProcess::waitForOutput(std::string_view text, int timeoutMs) {
  const auto deadline = deadlineIn(timeoutMs);
  for (;;) {
    const std::size_t position = output_.find(text, matchEnd_);
    if (position != std::string::npos) {
      matchEnd_ = position + text.size();
      return true;
    }
    if (outputEnded_ || msLeft(deadline) == 0) {
      return false;
    }
    pump(msLeft(deadline));
  }
}

const std::string& ChildProcess::collectOutput(int timeoutMs) {
  const auto deadline = deadlineIn(timeoutMs);
  while (!outputEnded_ && msLeft(deadline) > 0) {
    pump(msLeft(deadline));
  }
  return output_;
}

bool ChildProcess::writeInput(std::string_view text) {
  if (inputFd_ < 0) {
    return false;
  }
  // A child that has closed its input would raise SIGPIPE in the test; hold it back and
  // swallow it, so the failure shows as a false result instead.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  bool ok = true;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(inputFd_, text.data() + done, text.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      ok = false;
      break;
    }
  }
  if (!ok) {
    const timespec zero{0, 0};
    sigtimedwait(&pipeSignal, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ok;
}

void ChildProcess::closeInput() {
  if (inputFd_ >= 0) {
    close(inputFd_);
    inputFd_ = -1;
  }
}

void ChildProcess::reap(bool block) {
  if (pid_ <= 0 || reaped_) {
    return;
  }
  for (;;) {
    int status = 0;
    const pid_t result = waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (result == pid_) {
      reaped_ = true;
      waitStatus_ = status;
      return;
    }
    if (result < 0 && errno == EINTR) {
      continue;
    }
    return;
  }
}

bool ChildProcess::running() {
  reap(false);
  return pid_ > 0 && !reaped_;
}

bool ChildProcess::sendSignal(int signalNumber) { return running() && kill(pid_, signalNumber) == 0; }

ChildProcess::Result ChildProcess::wait(int timeoutMs) {
  Result result;
  const auto deadline = deadlineIn(timeoutMs);
  constexpr int kStatusPollMs = 10;
  while (running()) {
    if (msLeft(deadline) == 0) {
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
      reap(true);
      result.timedOut = true;
      break;
    }
    pump(std::min(kStatusPollMs, msLeft(deadline)));
  }
  // The rest of the output: until the pipe ends, or a helper that outlives the child keeps
  // it open and quiet.
  const auto drainDeadline = deadlineIn(kMaxDrainAfterExitMs);
  while (!outputEnded_ && msLeft(drainDeadline) > 0) {
    const std::size_t before = output_.size();
    pump(std::min(kQuietAfterExitMs, msLeft(drainDeadline)));
    if (output_.size() == before) {
      break;
    }
  }
  closeInput();
  if (reaped_) {
    if (WIFEXITED(waitStatus_)) {
      result.exited = true;
      result.exitCode = WEXITSTATUS(waitStatus_);
    } else if (WIFSIGNALED(waitStatus_)) {
      result.termSignal = WTERMSIG(waitStatus_);
    }
  }
  result.output = output_;
  return result;
}

}  // namespace vlfwu_test
