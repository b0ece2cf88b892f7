// Host services on POSIX systems: monotonic clock, sleep and the keyboard.
//
// The keyboard reads single keys without echo and without Enter. On a terminal that means
// switching it to non-canonical mode without echo, at the start of the run (so that keys
// typed during the scan do not show either) or on first use; the saved settings are put back at exit
// and by the handlers of the signals that end or stop the process, so the user's shell never
// inherits a raw terminal. When standard input is not a terminal (a pipe or a file), its bytes
// are the keys, and its end is reported instead of waiting for ever.
#include "support/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kInputFd = STDIN_FILENO;

// Extended keys arrive from a terminal as escape sequences. After an ESC, the rest of a
// sequence follows within a few milliseconds; a lone ESC key does not.
constexpr int kEscapeFollowMs = 30;
constexpr int kMaxSequenceBytes = 8;
constexpr unsigned char kEscape = 0x1B;

enum class InputKind { unknown, terminal, stream };

InputKind inputKind = InputKind::unknown;
bool inputEnded = false;
int pendingSecondCode = -1;  // second code of an extended key, returned by the next read

// Written once before the handlers are installed, then only read (also from the handlers).
termios savedTermios{};
volatile std::sig_atomic_t rawModeActive = 0;

constexpr int kRestoringSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void restoreTerminal() {
  if (rawModeActive) {
    tcsetattr(kInputFd, TCSANOW, &savedTermios);
    rawModeActive = 0;
  }
}

bool applyRawMode() {
  termios raw = savedTermios;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
  raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // Marked before the change: a signal right after it must find it marked and undo it, and
  // one that comes first restores settings that never changed, which is harmless.
  rawModeActive = 1;
  if (tcsetattr(kInputFd, TCSANOW, &raw) != 0) {
    rawModeActive = 0;
    return false;
  }
  return true;
}

// Restores the terminal, then lets the signal do what it would have done.
void onTerminatingSignal(int signalNumber) {
  const int savedErrno = errno;
  restoreTerminal();
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
  errno = savedErrno;
}

void onStopSignal(int signalNumber);

void installHandler(int signalNumber, void (*handler)(int)) {
  struct sigaction action{};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
}

// Ctrl-Z: give the shell a sane terminal while stopped, go raw again on continuing.
void onStopSignal(int signalNumber) {
  const int savedErrno = errno;
  const bool wasRaw = rawModeActive != 0;
  restoreTerminal();
  std::signal(signalNumber, SIG_DFL);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signalNumber);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  std::raise(signalNumber);
  // Execution resumes here after SIGCONT.
  installHandler(signalNumber, onStopSignal);
  if (wasRaw) {
    applyRawMode();
  }
  errno = savedErrno;
}

void enterRawMode() {
  if (tcgetattr(kInputFd, &savedTermios) != 0) {
    return;
  }
  std::atexit(restoreTerminal);
  for (int signalNumber : kRestoringSignals) {
    struct sigaction previous{};
    sigaction(signalNumber, nullptr, &previous);
    // A signal the caller chose to ignore stays ignored.
    if (previous.sa_handler != SIG_IGN) {
      installHandler(signalNumber, onTerminatingSignal);
    }
  }
  installHandler(SIGTSTP, onStopSignal);
  applyRawMode();
}

InputKind prepareInput() {
  if (inputKind == InputKind::unknown) {
    if (isatty(kInputFd)) {
      inputKind = InputKind::terminal;
      enterRawMode();
    } else {
      inputKind = InputKind::stream;
    }
  }
  return inputKind;
}

// Waits up to timeoutMs (negative: without limit) for input; true when a read will not block.
bool waitReadable(int timeoutMs) {
  pollfd entry{kInputFd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready > 0) {
      return true;
    }
    if (ready == 0) {
      return false;
    }
    if (errno != EINTR) {
      return true;  // the read will report the failure
    }
  }
}

// One byte of input, or kKeyEndOfInput once the input has ended or failed.
int readByte() {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t got = read(kInputFd, &byte, 1);
    if (got == 1) {
      return byte;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      waitReadable(-1);
      continue;
    }
    inputEnded = true;
    return kKeyEndOfInput;
  }
}

// Second codes of the extended keys, as the console keyboard of the runtime library gives them.
int extendedCodeForFinal(unsigned char finalByte) {
  switch (finalByte) {
    case 'A': return 72;  // up
    case 'B': return 80;  // down
    case 'C': return 77;  // right
    case 'D': return 75;  // left
    case 'H': return 71;  // home
    case 'F': return 79;  // end
    case 'P': return 59;  // F1
    case 'Q': return 60;  // F2
    case 'R': return 61;  // F3
    case 'S': return 62;  // F4
    default: return -1;
  }
}

int extendedCodeForNumber(int number) {
  switch (number) {
    case 1: case 7: return 71;  // home
    case 2: return 82;          // insert
    case 3: return 83;          // delete
    case 4: case 8: return 79;  // end
    case 5: return 73;          // page up
    case 6: return 81;          // page down
    case 11: return 59;         // F1..F5
    case 12: return 60;
    case 13: return 61;
    case 14: return 62;
    case 15: return 63;
    case 17: return 64;         // F6..F10
    case 18: return 65;
    case 19: return 66;
    case 20: return 67;
    case 21: return 68;
    default: return -1;
  }
}

// Called after an ESC from the terminal: consumes an escape sequence that follows at once
// and returns the extended key's second code; -1 when the ESC stood alone or the sequence is
// unknown (its bytes are consumed either way, so they never turn into stray keys).
int readEscapeSequence() {
  if (!waitReadable(kEscapeFollowMs)) {
    return -1;
  }
  const int introducer = readByte();
  if (introducer != '[' && introducer != 'O') {
    return -1;
  }
  int number = 0;
  for (int i = 0; i < kMaxSequenceBytes; ++i) {
    if (!waitReadable(kEscapeFollowMs)) {
      return -1;
    }
    const int byte = readByte();
    if (byte == kKeyEndOfInput) {
      return -1;
    }
    if (byte >= '0' && byte <= '9') {
      number = number * 10 + (byte - '0');
      continue;
    }
    if (byte == ';') {
      number = 0;  // modifiers such as Shift come after a ';'; the key itself is enough
      continue;
    }
    if (byte == '~') {
      return extendedCodeForNumber(number);
    }
    return extendedCodeForFinal(static_cast<unsigned char>(byte));
  }
  return -1;
}

}  // namespace

void platformStart() {
  // Linux lets a sleep or a wait end up to 50 us late by default; the line's bytes come every
  // 87 us at 115200 baud, and each exchange waits for its last one.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // A run started in the background would be stopped for changing the terminal; it does
  // so on its first key read instead, as it has to then anyway.
  const pid_t foreground = isatty(kInputFd) ? tcgetpgrp(kInputFd) : -1;
  if (foreground > 0 && foreground != getpgrp()) {
    return;
  }
  prepareInput();
}

std::uint32_t platformClockMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(milliseconds);
}

void platformSleepMs(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000u),
                     static_cast<long>(milliseconds % 1000u) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void platformSleepUs(std::uint32_t microseconds) {
  timespec remaining{static_cast<time_t>(microseconds / 1000000u),
                     static_cast<long>(microseconds % 1000000u) * 1000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

int platformKeyHit() {
  prepareInput();
  if (inputEnded || pendingSecondCode >= 0) {
    return 1;
  }
  // A pipe at its end reports itself readable (or hung up): the next read returns at once.
  pollfd entry{kInputFd, POLLIN, 0};
  const int ready = poll(&entry, 1, 0);
  return ready > 0 ? 1 : 0;
}

bool platformInputIsTerminal() { return prepareInput() == InputKind::terminal; }

int platformReadKey() {
  std::fflush(stdout);
  const InputKind kind = prepareInput();
  if (pendingSecondCode >= 0) {
    const int code = pendingSecondCode;
    pendingSecondCode = -1;
    return code;
  }
  if (inputEnded) {
    return kKeyEndOfInput;
  }
  waitReadable(-1);
  const int byte = readByte();
  if (byte == kEscape && kind == InputKind::terminal) {
    const int code = readEscapeSequence();
    if (code >= 0) {
      pendingSecondCode = code;
      return 0;
    }
  }
  return byte;
}
