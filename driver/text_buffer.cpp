#include "driver/text_buffer.h"

#include <cstdarg>

#include "support/format.h"

namespace {

// Keeps a length that was set from outside within the storage.
void textClampLength(t_TextBuffer* buffer) {
  if (buffer->length > buffer->capacity - 1) {
    buffer->length = static_cast<std::uint16_t>(buffer->capacity - 1);
  }
}

// Terminates the text at length; a buffer without storage has nowhere to put it.
void textTerminate(t_TextBuffer* buffer) {
  if (buffer->capacity != 0) {
    textClampLength(buffer);
    buffer->data[buffer->length] = '\0';
  }
}

}  // namespace

void textInit(t_TextBuffer* buffer, char* storage, std::uint16_t capacity) {
  buffer->data = storage;
  buffer->length = 0;
  buffer->capacity = capacity;
}

// Once full, each further character lands in the last slot, which the terminator then
// overwrites: what does not fit is dropped.
void textPutChar(int ch, void* context) {
  auto* buffer = static_cast<t_TextBuffer*>(context);
  if (buffer->capacity == 0) {
    return;
  }
  textClampLength(buffer);
  buffer->data[buffer->length] = static_cast<char>(ch);
  if (buffer->length < buffer->capacity - 1) {
    buffer->length++;
  }
}

int textAppendChar(t_TextBuffer* buffer, int ch) {
  const int before = buffer->length;
  textPutChar(ch, buffer);
  textTerminate(buffer);
  return buffer->length - before;
}

int textAppendString(t_TextBuffer* buffer, const char* text) {
  const int before = buffer->length;
  for (const char* p = text; *p != '\0'; p++) {
    textPutChar(*p, buffer);
  }
  textTerminate(buffer);
  return buffer->length - before;
}

int textAppendFormat(t_TextBuffer* buffer, const char* format, ...) {
  const int before = buffer->length;
  va_list args;
  va_start(args, format);
  formatEngine(textPutChar, buffer, format, args);
  va_end(args);
  textTerminate(buffer);
  return buffer->length - before;
}
