#include "support/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/format.h"
#include "support/support_log.h"

namespace {

// The log's copy of a formatted text; the console gets the text itself, so a longer text is
// only cut in the log.
constexpr int kLoggedTextBytes = 1024;

struct t_LoggedText {
  char text[kLoggedTextBytes];
  int count;
};

// Every character to standard output as it comes, and into the copy for the log.
void consoleSink(int ch, void* context) {
  std::fputc(ch & 0xFF, stdout);
  auto* copy = static_cast<t_LoggedText*>(context);
  if (copy->count < kLoggedTextBytes) {
    copy->text[copy->count++] = static_cast<char>(ch);
  }
}

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
  t_LoggedText copy;
  copy.count = 0;
  va_list args;
  va_start(args, format);
  const int count = formatEngine(consoleSink, &copy, format, args);
  va_end(args);
  logConsole(copy.text, copy.count);
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
