#pragma once
// A bounded text buffer over storage that the caller provides. It holds at most
// capacity - 1 characters; what does not fit is dropped and the text stays terminated.
#include <cstdint>

struct t_TextBuffer {
  char* data;
  std::uint16_t length;
  std::uint16_t capacity;  // bytes of storage, terminator included
};

void textInit(t_TextBuffer* buffer, char* storage, std::uint16_t capacity);
// Sink for the formatting engine: the context is the t_TextBuffer. Stores without terminating.
void textPutChar(int ch, void* buffer);
int textAppendChar(t_TextBuffer* buffer, int ch);
int textAppendString(t_TextBuffer* buffer, const char* text);
int textAppendFormat(t_TextBuffer* buffer, const char* format, ...);
