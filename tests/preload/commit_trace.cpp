// Test aid preloaded into vlfwu (LD_PRELOAD): tells where each commit of the support log to the
// disk (fdatasync) falls among the run's operations on the serial line. For every commit it
// appends one line to the file named by VLFWU_TEST_COMMIT_TRACE:
//   <before> <after> <bytes>
// before is the last operation on the port ahead of the commit, after the first operation on
// the port or the keyboard behind it: W a write to the port, R a read from it, P a wait on it,
// K the keyboard (standard input read or waited on), C another commit, - none; bytes are the
// first bytes of that write, escaped, when after is W.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using WriteCall = ssize_t (*)(int, const void*, size_t);

char lastPortOperation = '-';
bool commitWaiting = false;  // a commit whose next operation has not come yet
char beforeCommit = '-';

bool isPort(int fd) { return fd > STDERR_FILENO && isatty(fd) == 1; }

void traceLine(const char* text, int length) {
  static const WriteCall realWrite = next<WriteCall>("write");
  static int traceFd = -2;
  if (traceFd == -2) {
    const char* path = std::getenv("VLFWU_TEST_COMMIT_TRACE");
    traceFd = path == nullptr ? -1 : open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  if (traceFd >= 0 && realWrite != nullptr && length > 0) {
    realWrite(traceFd, text, static_cast<size_t>(length));
  }
}

// An operation: completes the line of a commit that waited for it.
void note(char operation, const void* bytes, size_t count) {
  if (commitWaiting) {
    char line[96];
    int length = std::snprintf(line, sizeof line, "%c %c ", beforeCommit, operation);
    const auto* data = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; operation == 'W' && i < count && i < 16; ++i) {
      const unsigned char byte = data[i];
      length += byte >= 0x20 && byte < 0x7F && byte != '\\'
                    ? std::snprintf(line + length, sizeof line - static_cast<size_t>(length), "%c", byte)
                    : std::snprintf(line + length, sizeof line - static_cast<size_t>(length), "\\x%02X", byte);
    }
    length += std::snprintf(line + length, sizeof line - static_cast<size_t>(length), "\n");
    traceLine(line, length);
    commitWaiting = false;
  }
  if (operation != 'K' && operation != 'C') {
    lastPortOperation = operation;
  }
}

[[gnu::destructor]] void atExit() { note('-', nullptr, 0); }

}  // namespace

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
  static const WriteCall real = next<WriteCall>("write");
  if (isPort(fd)) {
    note('W', bytes, count);
  }
  return real(fd, bytes, count);
}

extern "C" ssize_t read(int fd, void* bytes, size_t count) {
  using Call = ssize_t (*)(int, void*, size_t);
  static const Call real = next<Call>("read");
  if (fd == STDIN_FILENO) {
    note('K', nullptr, 0);
  } else if (isPort(fd)) {
    note('R', nullptr, 0);
  }
  return real(fd, bytes, count);
}

extern "C" int poll(pollfd* fds, nfds_t count, int timeoutMs) {
  using Call = int (*)(pollfd*, nfds_t, int);
  static const Call real = next<Call>("poll");
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].fd == STDIN_FILENO) {
      note('K', nullptr, 0);
    } else if (isPort(fds[i].fd)) {
      note('P', nullptr, 0);
    }
  }
  return real(fds, count, timeoutMs);
}

extern "C" int fdatasync(int fd) {
  using Call = int (*)(int);
  static const Call real = next<Call>("fdatasync");
  note('C', nullptr, 0);
  beforeCommit = lastPortOperation;
  commitWaiting = true;
  return real(fd);
}
