#include "support/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/format.h"
#include "support/support_log.h"

namespace {

// The log's copy of a formatted text; the console gets the standard library's output itself,
// so a longer text is only cut in the log.
constexpr int kLoggedTextBytes = 1024;

}  // namespace

int conPutChar(int ch) {
  const char byte = static_cast<char>(ch & 0xFF);
  logConsole(&byte, 1);
  return std::fputc(ch & 0xFF, stdout);
}

void conPuts(const char* text) {
  logConsole(text, static_cast<int>(std::strlen(text)));
  std::fputs(text, stdout);
}

int conPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int count = formatThrough(conPutChar, format, args);
  va_end(args);
  return count;
}

int conStdPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (logActive()) {
    char text[kLoggedTextBytes];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (length > 0) {
      logConsole(text, length < kLoggedTextBytes ? length : kLoggedTextBytes - 1);
    }
  }
  const int count = std::vprintf(format, args);
  va_end(args);
  return count;
}
