#include "bench/fault_campaign/process.h"

#include "bench/common/spawn_args.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>


namespace campaign {

namespace {

std::mutex liveMutex;
std::set<pid_t> live;  // children started and not yet reaped

void track(pid_t pid, bool alive) {
  std::lock_guard<std::mutex> lock(liveMutex);
  if (alive) {
    live.insert(pid);
  } else {
    live.erase(pid);
  }
}

}  // namespace

void killAllChildren() {
  std::lock_guard<std::mutex> lock(liveMutex);
  for (const pid_t pid : live) kill(-pid, SIGKILL);
  live.clear();
}

Process::~Process() {
  if (pid_ > 0 && !ending_.ended) stop(SIGKILL, 2000);
  if (input_ >= 0) close(input_);
  if (output_ >= 0) close(output_);
}

bool Process::start(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& extraEnvironment) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, and none of the signals the campaign holds back for itself.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  t_SpawnArgs spawnArgs;
  buildSpawnArgs(&spawnArgs, program, arguments, extraEnvironment);
  const int failure = posix_spawn(&pid_, program.c_str(), &actions, &attributes, spawnArgs.argv.data(), spawnArgs.envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  if (failure != 0) {
    pid_ = -1;
    close(in[1]);
    close(out[0]);
    return false;
  }
  input_ = in[1];
  output_ = out[0];
  track(pid_, true);
  return true;
}

bool Process::readSome(int timeoutMs) {
  if (output_ < 0) return false;
  pollfd entry{output_, POLLIN, 0};
  if (poll(&entry, 1, std::max(timeoutMs, 0)) <= 0) return false;
  char buffer[8192];
  const ssize_t got = read(output_, buffer, sizeof buffer);
  if (got <= 0) {
    close(output_);
    output_ = -1;
    return false;
  }
  text_.append(buffer, static_cast<std::size_t>(got));
  return true;
}

int Process::awaitAny(std::initializer_list<std::string_view> texts, Clock::time_point deadline) {
  for (;;) {
    std::size_t best = std::string::npos;
    int which = -1;
    int index = 0;
    for (const std::string_view text : texts) {
      const std::size_t at = text_.find(text, seen_);
      if (at != std::string::npos && (best == std::string::npos || at < best)) {
        best = at;
        which = index;
      }
      ++index;
    }
    if (which >= 0) {
      seen_ = best + std::data(texts)[which].size();
      return which;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || output_ < 0) return -1;
    readSome(static_cast<int>(std::min<long long>(left, 1000)));
  }
}

void Process::drainQuiet(int quietMs, Clock::time_point deadline) {
  while (Clock::now() < deadline && readSome(quietMs)) {
  }
}

void Process::write(std::string_view text) {
  if (input_ >= 0) (void)!::write(input_, text.data(), text.size());
}

void Process::reap(bool block) {
  if (pid_ <= 0 || ending_.ended) return;
  int status = 0;
  const pid_t done = waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (done != pid_) return;
  ending_.ended = true;
  track(pid_, false);
  if (WIFEXITED(status)) ending_.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) ending_.signal = WTERMSIG(status);
}

Ending Process::waitEnd(int waitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    reap(false);
    if (ending_.ended || Clock::now() >= deadline) return ending_;
    // The output is read meanwhile, so that a child never blocks on a full pipe.
    if (!readSome(20)) usleep(5000);
  }
}

Ending Process::stop(int signalNumber, int waitMs) {
  reap(false);
  if (pid_ > 0 && !ending_.ended) {
    ending_.killedByUs = true;
    kill(-pid_, signalNumber);
    waitEnd(waitMs);
    if (!ending_.ended) {
      kill(-pid_, SIGKILL);
      reap(true);
    }
  }
  return ending_;
}

}  // namespace campaign
