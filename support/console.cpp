#include "support/console.h"

#include <cstdarg>
#include <cstdio>

#include "support/format.h"

int conPutChar(int ch) { return std::fputc(ch & 0xFF, stdout); }

void conPuts(const char* text) { std::fputs(text, stdout); }

int conPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int count = formatThrough(conPutChar, format, args);
  va_end(args);
  return count;
}
