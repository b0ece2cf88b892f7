#pragma once
// The C library's own ioctl, for a test aid that puts its own in front of it to make a driver
// answer otherwise.
#include <dlfcn.h>

inline int realIoctl(int fd, unsigned long request, void* argument) {
  using Call = int (*)(int, unsigned long, ...);
  static const Call real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "ioctl"));
  return real(fd, request, argument);
}
