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
// Standard output is unbuffered: a formatted text goes to it in pieces of this size, one
// write each, not a write per character (a progress line was 33 writes).
constexpr int kShownPieceBytes = 128;

struct t_LoggedText {
  char text[kLoggedTextBytes];
  int count;
  char shown[kShownPieceBytes];
  int shownCount;
};

void showPiece(t_LoggedText* copy) {
  std::fwrite(copy->shown, 1, static_cast<std::size_t>(copy->shownCount), stdout);
  copy->shownCount = 0;
}

// Every character to standard output, and into the copy for the log.
void consoleSink(int ch, void* context) {
  auto* copy = static_cast<t_LoggedText*>(context);
  if (copy->shownCount == kShownPieceBytes) {
    showPiece(copy);
  }
  copy->shown[copy->shownCount++] = static_cast<char>(ch);
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
  copy.shownCount = 0;
  va_list args;
  va_start(args, format);
  const int count = formatEngine(consoleSink, &copy, format, args);
  va_end(args);
  showPiece(&copy);
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
