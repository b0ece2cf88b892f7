// Test aid preloaded into vlfwu (LD_PRELOAD): right after the tcsetattr call that turns the
// echo of the terminal on standard input off, raises the signal numbered in the environment
// variable VLFWU_TEST_SIGNAL_AFTER_SILENCE. Its handler then runs in the narrowest window of
// the switch to no-echo mode: the terminal has changed, and nothing after the call has run.
#include <dlfcn.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

extern "C" int tcsetattr(int fd, int action, const termios* settings) {
  using Real = int (*)(int, int, const termios*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
  if (real == nullptr) {
    return -1;
  }
  const int result = real(fd, action, settings);
  const char* signalNumber = std::getenv("VLFWU_TEST_SIGNAL_AFTER_SILENCE");
  if (result == 0 && fd == STDIN_FILENO && signalNumber != nullptr && settings != nullptr &&
      (settings->c_lflag & ECHO) == 0) {
    raise(std::atoi(signalNumber));
  }
  return result;
}
