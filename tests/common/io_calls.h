#pragma once
// Read ("syscr:") or write ("syscw:") calls this thread has made so far, as the kernel counts
// them (/proc/thread-self/io): what a piece of work costs in system calls, whatever the pace of
// its bytes. The file is taken with one plain read, which adds no write to the count.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace vlfwu_test {

inline long ioCalls(const char* which) {
  char text[512] = {};
  const int fd = open("/proc/thread-self/io", O_RDONLY);
  if (fd < 0) {
    return -1;
  }
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  const char* at = got > 0 ? std::strstr(text, which) : nullptr;
  return at != nullptr ? std::strtol(at + std::strlen(which), nullptr, 10) : -1;
}
inline long readCalls() { return ioCalls("syscr:"); }
inline long writeCalls() { return ioCalls("syscw:"); }

}  // namespace vlfwu_test
