#pragma once
// A child process of the campaign (switch-sim or the utility): standard input on a pipe, standard
// output and error captured together, in a process group of its own so that a kill reaches
// whatever it started (wine and its helpers).
#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace campaign {

using Clock = std::chrono::steady_clock;

struct Ending {
  bool ended = false;     // the process has ended and was reaped
  bool killedByUs = false;
  int exitCode = -1;      // when it exited by itself
  int signal = 0;         // the signal that ended it, when one did
};

// Ends every child process that still runs (each with its group), for a campaign that is
// stopped by a signal: no simulator or utility is left behind.
void killAllChildren();

class Process {
 public:
  Process() = default;
  ~Process();  // kills and reaps a process that still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool start(const std::string& program, const std::vector<std::string>& arguments,
             const std::vector<std::string>& extraEnvironment);
  // Reads output until one of texts appears after the last match; returns its index, or -1 when
  // the output ended or the deadline passed first.
  int awaitAny(std::initializer_list<std::string_view> texts, Clock::time_point deadline);
  // Reads whatever comes until the output has been quiet for quietMs (or the deadline).
  void drainQuiet(int quietMs, Clock::time_point deadline);
  void write(std::string_view text);
  bool outputEnded() const { return output_ < 0; }
  const std::string& text() const { return text_; }
  std::size_t seen() const { return seen_; }
  // Signal to the whole group, then waits up to waitMs for the end; SIGKILL after that.
  Ending stop(int signalNumber, int waitMs);
  // Waits up to waitMs for the process to end by itself.
  Ending waitEnd(int waitMs);
  pid_t pid() const { return pid_; }

 private:
  bool readSome(int timeoutMs);
  void reap(bool block);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string text_;
  std::size_t seen_ = 0;
  Ending ending_;
};

}  // namespace campaign
