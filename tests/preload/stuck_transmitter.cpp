// Test aid preloaded (LD_PRELOAD) into the program that drives the serial device, Wine among
// them: the device's output is stuck, as that of a UART or USB adapter that never sends again.
// Its driver reports bytes in its output queue (TIOCOUTQ) and a transmitter that is not empty
// (TIOCSERGETLSR) for ever, and a wait for its output to drain (tcdrain) never ends. Terminals
// on the standard descriptors are left alone.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdarg>

#include "tests/common/real_ioctl.h"

namespace {

bool isPort(int fd) { return fd > STDERR_FILENO && isatty(fd) == 1; }

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if ((request == TIOCOUTQ || request == TIOCSERGETLSR) && argument != nullptr && isPort(fd)) {
    *static_cast<int*>(argument) = request == TIOCOUTQ ? 1 : 0;  // one byte queued; TIOCSER_TEMT clear
    return 0;
  }
  return realIoctl(fd, request, argument);
}

extern "C" int tcdrain(int fd) {
  while (isPort(fd)) {
    pause();  // a signal only starts the wait again, as Wine's retry after EINTR would
  }
  using Call = int (*)(int);
  static const Call real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "tcdrain"));
  return real(fd);
}
