// The support log's file and host facts on POSIX systems. Lines are handed to the kernel with
// one write each (no stdio buffer), so a killed process loses nothing already logged.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "support/support_log_file.h"

namespace {

constexpr int kLineEndBytes = 1;
int logFd = -1;

void describe(unsigned long error, char* why, int whySize) {
  logFileErrorText(error, why, whySize);
}

}  // namespace

bool logFileOpen(const char* path, bool* holdsText, char* why, int whySize) {
  // Non-blocking only for the open: a FIFO without a reader is refused instead of waited for.
  logFd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (logFd < 0) {
    describe(static_cast<unsigned long>(errno), why, whySize);
    return false;
  }
  struct stat status{};
  if (fstat(logFd, &status) != 0 || S_ISDIR(status.st_mode) || isatty(logFd)) {
    // A terminal would put the log among the console texts the run shows.
    std::snprintf(why, static_cast<std::size_t>(whySize), "not a file");
    logFileClose();
    return false;
  }
  const int flags = fcntl(logFd, F_GETFL);
  if (flags >= 0) {
    fcntl(logFd, F_SETFL, flags & ~O_NONBLOCK);
  }
  *holdsText = S_ISREG(status.st_mode) && status.st_size > 0;
  return true;
}

bool logFileWriteLine(const char* text, int length, char* why, int whySize) {
  if (logFd < 0) {
    std::snprintf(why, static_cast<std::size_t>(whySize), "not open");
    return false;
  }
  // The line and its end in one write: appended whole or not at all by every other writer.
  char buffer[kLogLineMax + kLineEndBytes];
  if (length < 0 || length > kLogLineMax) {
    length = length < 0 ? 0 : kLogLineMax;
  }
  std::memcpy(buffer, text, static_cast<std::size_t>(length));
  buffer[length] = '\n';
  const std::size_t total = static_cast<std::size_t>(length + kLineEndBytes);
  std::size_t done = 0;
  while (done < total) {
    const ssize_t wrote = write(logFd, buffer + done, total - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    describe(static_cast<unsigned long>(wrote < 0 ? errno : ENOSPC), why, whySize);
    return false;
  }
  return true;
}

void logFileCommit() {
  if (logFd >= 0) {
    fdatasync(logFd);
  }
}

void logFileClose() {
  if (logFd >= 0) {
    close(logFd);
    logFd = -1;
  }
}

unsigned long logFileLastError() { return static_cast<unsigned long>(errno); }

void logFileErrorText(unsigned long error, char* text, int size) {
  if (text == nullptr || size <= 0) {
    return;
  }
  std::snprintf(text, static_cast<std::size_t>(size), "%s (errno %lu)",
                std::strerror(static_cast<int>(error)), error);
}

void logFileLocalTime(char* text, int size) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (size <= 0 || localtime_r(&now, &local) == nullptr ||
      std::strftime(text, static_cast<std::size_t>(size), "%Y-%m-%d %H:%M:%S %z", &local) == 0) {
    if (size > 0) {
      text[0] = '\0';
    }
  }
}

void logFilePlatform(char* text, int size) {
  utsname names{};
  if (uname(&names) != 0) {
    std::snprintf(text, static_cast<std::size_t>(size), "POSIX (uname failed)");
    return;
  }
  std::snprintf(text, static_cast<std::size_t>(size), "%s %s %s", names.sysname, names.release, names.machine);
}
