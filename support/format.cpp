#include "support/format.h"

#include <climits>
#include <cstring>

namespace {

// Every character goes out as its 8 bits taken as a signed value, widened.
void emit(t_CharSink sink, void* context, int ch) { sink(static_cast<signed char>(ch), context); }

// The engine counts what it hands on by routing its own output through this wrapper, so
// formatNumber and padSpaces stay usable with any sink on their own.
struct t_CountingSink {
  t_CharSink sink;
  void* context;
  int count;
};

void countingSink(int ch, void* context) {
  auto* counter = static_cast<t_CountingSink*>(context);
  counter->sink(ch, counter->context);
  counter->count++;
}

// Writes at most limit characters of text, stopping at a NUL; returns how many it wrote.
int emitString(t_CharSink sink, void* context, const char* text, int limit) {
  int written = 0;
  while (written < limit && text[written] != '\0') {
    emit(sink, context, text[written]);
    written++;
  }
  return written;
}

}  // namespace

int padSpaces(t_CharSink sink, void* context, int enabled, int count) {
  if (enabled == 0 || count <= 0) {
    return 0;
  }
  for (int i = 0; i < count; i++) {
    emit(sink, context, ' ');
  }
  return count;
}

// Digits come from the most significant position down, by dividing by the highest power of
// the base that fits in 32 bits, so no digit buffer is needed. `skip` counts the positions
// (digits and separators) that lie left of the field and are not written.
//
// Under space padding with separators, once the first digit has been written zero padding
// is in force, so the separator right after a first digit at the 10^3, 10^6 or 10^9 position
// is a ',' ("1,234" in any width).
int formatNumber(t_CharSink sink, void* context, std::uint32_t value, int base, int width,
                 int signMode, int padFlags, int prefix) {
  int written = 0;
  bool spacePadding = (padFlags & kPadSpaces) != 0;
  bool separators = false;
  int positions = 10;
  std::uint32_t divisor = 1000000000u;
  switch (base) {
    case 16:
      positions = 8;
      divisor = 0x10000000u;
      break;
    case 8:
      positions = 11;
      divisor = 0x40000000u;
      break;
    case 2:
      positions = 32;
      divisor = 0x80000000u;
      break;
    default:
      base = 10;
      separators = (padFlags & kPadSeparators) != 0;
      if (separators) {
        positions = 13;  // ten digits and three separators
      }
      break;
  }

  int skip = positions - (width > 0 ? width : 0);
  if (prefix != 0) {
    skip++;
  }

  int sign = 0;
  if ((base == 8 || base == 10) && signMode != kSignNone) {
    if (static_cast<std::int32_t>(value) < 0) {
      value = 0u - value;  // unsigned negation, so -2147483648 prints as 2147483648
      sign = '-';
      skip++;
    } else if (signMode == kSignPlus) {
      sign = '+';
      skip++;
    } else if (signMode == kSignSpace) {
      sign = ' ';
      skip++;
    }
  }
  const char* digits = (base == 16 && signMode != kSignNone) ? "0123456789abcdef"
                                                              : "0123456789ABCDEF";

  if (skip < 0) {
    // The field is wider than the digit positions: spaces even under zero padding.
    written += padSpaces(sink, context, 1, -skip);
    skip = 0;
  }

  const auto ubase = static_cast<std::uint32_t>(base);
  bool started = false;
  for (;;) {
    const std::uint32_t digit = (value / divisor) % ubase;
    if (!started && (digit != 0 || divisor == 1 || (!spacePadding && skip <= 0))) {
      started = true;
      if (sign == ' ') {
        emit(sink, context, ' ');
        written++;
      }
      if (prefix != 0) {
        emit(sink, context, prefix);
        written++;
      }
      if (sign == '-' || sign == '+') {
        emit(sink, context, sign);
        written++;
      }
      skip = 0;
      spacePadding = false;
    }
    if (skip <= 0) {
      emit(sink, context, started ? digits[digit] : ' ');
      written++;
    }
    skip--;
    if (separators && (divisor == 1000000000u || divisor == 1000000u || divisor == 1000u)) {
      if (skip <= 0) {
        emit(sink, context, (spacePadding || skip == 0) ? ' ' : ',');
        written++;
      }
      skip--;
    }
    if (divisor == 1) {
      break;
    }
    divisor /= ubase;
  }
  return written;
}

// Returns the number of characters handed to the sink. The outer width ('.') and '-' belong
// to the conversion that sets them: each conversion starts again from width 0, right-aligned,
// so "%8.3u%u" pads only the first number.
int formatEngine(t_CharSink sink, void* context, const char* format, va_list args) {
  t_CountingSink counter{sink, context, 0};
  const t_CharSink out = countingSink;
  void* const outContext = &counter;

  bool inConversion = false;
  int outerWidth = 0;
  bool leftJustify = false;
  bool spacePadding = true;
  bool paddingSettled = false;
  bool separators = false;
  int number = 0;
  int signMode = kSignNone;
  int prefix = 0;

  for (const char* p = format; *p != '\0'; p++) {
    const char ch = *p;
    if (!inConversion) {
      if (ch == '%') {
        inConversion = true;
        spacePadding = true;
        paddingSettled = false;
        separators = false;
        number = 0;
        signMode = kSignNone;
        prefix = 0;
      } else {
        emit(out, outContext, ch);
      }
      continue;
    }

    // Modifiers leave the conversion open.
    if (ch >= '0' && ch <= '9') {
      if (!paddingSettled) {
        paddingSettled = true;
        spacePadding = ch != '0';
      }
      if (number <= (INT_MAX - 9) / 10) {  // an absurd width saturates rather than overflows
        number = number * 10 + (ch - '0');
      }
      continue;
    }
    switch (ch) {
      case '*':
        number = va_arg(args, int);
        if (number < 0) {  // a negative width means nothing here
          number = 0;
        }
        continue;
      case '.':
        outerWidth = number;
        number = 0;
        continue;
      case '-':
        leftJustify = true;
        continue;
      case '+':
        signMode = kSignPlus;
        continue;
      case ' ':
        signMode = kSignSpace;
        continue;
      case ',':
        separators = true;
        continue;
      case '$':
        prefix = '$';
        continue;
      case '@':
        prefix = va_arg(args, int) & 0xFF;
        continue;
      default:
        break;
    }

    // A conversion character ends the conversion.
    inConversion = false;
    int base = 0;
    int numberSign = signMode;
    switch (ch) {
      case 'd':
        base = 10;
        if (numberSign == kSignNone) {
          numberSign = kSignMinus;
        }
        break;
      case 'u':
        base = 10;
        numberSign = kSignNone;
        break;
      case 'o':
        base = 8;
        break;
      case 'b':
        base = 2;
        numberSign = kSignNone;
        break;
      case 'x':
      case 'p':
        base = 16;
        numberSign = kSignMinus;  // any mode but none selects 'a' to 'f'
        break;
      case 'X':
      case 'P':
        base = 16;
        break;
      case 'c':
        emit(out, outContext, va_arg(args, int));
        break;
      case 's':
      case 'S': {
        int length = 0;
        const char* text = nullptr;
        if (ch == 'S') {
          length = va_arg(args, int);
          text = va_arg(args, const char*);
          if (length < 0) {
            length = 0;
          }
        } else {
          text = va_arg(args, const char*);
          length = static_cast<int>(std::strlen(text));
        }
        const int limit = (number != 0 && number <= length) ? number : length;
        if (!leftJustify) {
          outerWidth -= padSpaces(out, outContext, 1, outerWidth - limit);
        }
        const int written = emitString(out, outContext, text, limit);
        padSpaces(out, outContext, 1, outerWidth - written);
        break;
      }
      case 'I':
      case 'i': {
        const auto value = static_cast<std::uint32_t>(va_arg(args, int));
        const int padFlags = spacePadding ? kPadSpaces : 0;
        for (int part = 0; part < 4; part++) {
          if (part != 0) {
            emit(out, outContext, '.');
          }
          formatNumber(out, outContext, (value >> (8 * part)) & 0xFF, 10, number, kSignNone,
                       padFlags, 0);
        }
        break;
      }
      default:
        // Not a conversion ("%%", "%l"): the character itself.
        emit(out, outContext, ch);
        break;
    }

    if (base != 0) {
      const auto value = static_cast<std::uint32_t>(va_arg(args, int));
      if (!leftJustify) {
        outerWidth -= padSpaces(out, outContext, 1, outerWidth - number);
      }
      const int padFlags = (spacePadding ? kPadSpaces : 0) | (separators ? kPadSeparators : 0);
      const int written =
          formatNumber(out, outContext, value, base, number, numberSign, padFlags, prefix);
      padSpaces(out, outContext, 1, outerWidth - written);
    }
    outerWidth = 0;
    leftJustify = false;
  }
  return counter.count;
}

void charFunctionSink(int ch, void* context) {
  const auto function = reinterpret_cast<t_CharFunction>(context);
  function(static_cast<signed char>(ch));
}

int formatThrough(t_CharFunction function, const char* format, va_list args) {
  return formatEngine(charFunctionSink, reinterpret_cast<void*>(function), format, args);
}
