#pragma once
// The program's own formatting engine: interprets a format string against its arguments and
// hands each character it produces to a sink, with no buffer of its own.
#include <cstdarg>
#include <cstdint>

// Receives one character (its 8 bits as a signed value, widened) and the caller's context.
using t_CharSink = void (*)(int ch, void* context);

// A plain character function, as the console and the serial line offer.
using t_CharFunction = int (*)(int ch);

// Sign modes of a numeric conversion.
constexpr int kSignNone = 0;
constexpr int kSignMinus = 1;
constexpr int kSignPlus = 2;
constexpr int kSignSpace = 3;

// Padding flags of formatNumber.
constexpr int kPadSpaces = 1;
constexpr int kPadSeparators = 2;

int formatEngine(t_CharSink sink, void* context, const char* format, va_list args);

// Writes value right-aligned in a field of width characters; base 16, 8 or 2, any other
// value means 10. Returns the number of characters the sink received.
int formatNumber(t_CharSink sink, void* context, std::uint32_t value, int base, int width,
                 int signMode, int padFlags, int prefix);

// Hands count spaces to the sink when enabled and count > 0; returns how many it wrote.
int padSpaces(t_CharSink sink, void* context, int enabled, int count);

// Sink whose context is a t_CharFunction.
void charFunctionSink(int ch, void* context);

// formatEngine with charFunctionSink and the given function as context.
int formatThrough(t_CharFunction function, const char* format, va_list args);
