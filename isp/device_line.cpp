#include "isp/device_line.h"

#include <cstdarg>
#include <cstring>

#include "isp/line_policy.h"
#include "support/clock.h"
#include "support/format.h"
#include "transport/serial.h"

int currentBaud = 0;
bool devLineSilent = false;

namespace {

constexpr int kEchoPieceBytes = 80;  // more than the longest line and its line end
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

bool isTerminator(unsigned char byte, const char* terminators) {
  // strchr would also find the set's own NUL, so a received NUL would end the line.
  for (const char* t = terminators; *t != '\0'; ++t) {
    if (static_cast<unsigned char>(*t) == byte) {
      return true;
    }
  }
  return false;
}

}  // namespace

void devSend(const char* text) {
  comWrite(&devicePort, text, static_cast<int>(std::strlen(text)));
}

int devSendChar(int ch) {
  const char byte = static_cast<char>(ch);
  comWrite(&devicePort, &byte, 1);
  return ch & 0xFF;
}

namespace {

// A formatted command line goes to the port in one write instead of one write per character:
// the switch receives the same bytes in the same order, and the host makes one system call
// where it made twenty.
struct t_LineOut {
  char bytes[64];
  int count;
};

void lineOutFlush(t_LineOut* out) {
  if (out->count > 0) {
    comWrite(&devicePort, out->bytes, out->count);
    out->count = 0;
  }
}

void lineOutSink(int ch, void* context) {
  auto* out = static_cast<t_LineOut*>(context);
  if (out->count == static_cast<int>(sizeof out->bytes)) {
    lineOutFlush(out);  // longer than any command line; sent in pieces, still in order
  }
  out->bytes[out->count++] = static_cast<char>(ch);
}

}  // namespace

void devPrintf(const char* format, ...) {
  t_LineOut out{};
  va_list args;
  va_start(args, format);
  formatEngine(lineOutSink, &out, format, args);
  va_end(args);
  lineOutFlush(&out);
}

namespace {

struct t_LineText {
  char* out;
  int size;
  int count;
};

void lineTextSink(int ch, void* context) {
  auto* text = static_cast<t_LineText*>(context);
  if (text->count < text->size - 1) {
    text->out[text->count++] = static_cast<char>(ch);
  }
}

}  // namespace

int devFormatLine(char* out, int size, const char* format, ...) {
  if (out == nullptr || size <= 0) {
    return 0;
  }
  t_LineText text{out, size, 0};
  va_list args;
  va_start(args, format);
  formatEngine(lineTextSink, &text, format, args);
  va_end(args);
  out[text.count] = '\0';
  return text.count;
}

void devDrainInput(std::uint32_t quietMs, std::uint32_t maxMs) {
  const std::uint32_t start = clockNow();
  while (!clockExpired(start, maxMs)) {
    devFlushInput();
    const std::uint32_t wait = clockRemaining(start, maxMs);
    if (comWaitInput(&devicePort, wait < quietMs ? wait : quietMs) != kComInputWaiting) {
      return;  // quiet for quietMs, or the port has gone
    }
  }
  devFlushInput();
}

void devFlushInput() {
  while (comBytesWaiting(&devicePort) > 0) {
    char byte;
    if (comRead(&devicePort, &byte, 1) <= 0) {
      return;  // the port reports bytes it cannot deliver: nothing more to discard
    }
  }
}

int lineAcceptByte(char* buffer, int size, int* stored, unsigned char byte,
                   const char* terminators) {
  if (*stored < 0 || *stored >= size) {
    return kLineFull;
  }
  if (isTerminator(byte, terminators)) {
    buffer[*stored] = '\0';
    return kLineTerminated;
  }
  // Taken as a signed byte, only 0x20..0x7F are 32 or more.
  if (static_cast<signed char>(byte) >= 32) {
    buffer[*stored] = static_cast<char>(byte);
    ++*stored;
    return kLineStored;
  }
  return kLineDropped;
}

int devReadLine(char* buffer, int size, const char* terminators) {
  if (buffer == nullptr || size <= 0) {
    return -1;
  }
  const std::uint32_t start = clockNow();
  int stored = 0;
  bool terminated = false;
  bool portFailed = false;
  while (!terminated && !portFailed && stored < size && !clockExpired(start, kLineTimeoutMs)) {
    int waiting = comBytesWaiting(&devicePort);
    if (waiting == 0) {
      // Sleeps until a byte comes or the line's time is up; a port that can deliver nothing
      // any more ends the line at once.
      portFailed = comWaitInput(&devicePort, clockRemaining(start, kLineTimeoutMs)) == kComPortFailed;
      continue;
    }
    while (waiting > 0 && stored < size) {
      char byte;
      const int got = comRead(&devicePort, &byte, 1);
      if (got <= 0) {
        portFailed = true;  // reported but not delivered: treat the line as not come
        break;
      }
      waiting -= got;
      if (lineAcceptByte(buffer, size, &stored, static_cast<unsigned char>(byte), terminators) ==
          kLineTerminated) {
        terminated = true;
        break;
      }
    }
  }
  if (!terminated) {
    buffer[0] = '\0';
    return -1;
  }
  return stored;
}

int devReadCrLine(char* buffer, int size) { return devReadLine(buffer, size, "\r"); }

int devReadDollarLine(char* buffer, int size) { return devReadLine(buffer, size, "$"); }

namespace {

// Sleeps until `bytes` more should have arrived at the port's rate, when that takes a
// millisecond or more: one wake-up for a data line's echo instead of one for every byte.
void awaitBytes(int bytes) {
  if (currentBaud <= 0 || bytes <= 0) {
    return;
  }
  constexpr std::uint32_t kBitsPerByte = 10;
  const std::uint32_t rate = static_cast<std::uint32_t>(currentBaud);
  const std::uint32_t ms = (static_cast<std::uint32_t>(bytes) * kBitsPerByte * 1000u + rate - 1) / rate;
  if (ms >= 2) {
    clockDelay(ms - 1);
  }
}

}  // namespace

namespace {

// The echo reader and the reply reader: one loop, which differ only in whether the
// bootloader's flow control may stand between the bytes, and in whether an LF ends a line.
int readRawLine(char* buffer, int size, int expected, bool echo, std::uint32_t limitMs) {
  const std::uint32_t start = clockNow();
  int stored = 0;
  devLineSilent = true;
  while (!clockExpired(start, limitMs)) {
    const int waiting = comBytesWaiting(&devicePort);
    if (waiting <= 0) {
      if (comWaitInput(&devicePort, clockRemaining(start, limitMs)) == kComPortFailed) {
        return -1;
      }
      continue;
    }
    // An echo as sent has expected - stored more characters and its CR to come.
    const int lacking = expected - stored + 1 > 1 ? expected - stored + 1 : 1;
    if (waiting < lacking) {
      awaitBytes(lacking - waiting);
    }
    char piece[kEchoPieceBytes];
    const int want = lacking < static_cast<int>(sizeof piece) ? lacking : static_cast<int>(sizeof piece);
    const int available = comBytesWaiting(&devicePort);
    const int got = comRead(&devicePort, piece, available < want ? available : want);
    if (got <= 0) {
      return -1;
    }
    devLineSilent = false;
    for (int i = 0; i < got; ++i) {
      if (piece[i] == '\r') {
        return stored;  // bytes after it were only read if this echo was not the line sent
      }
      if (piece[i] == '\n' && stored == 0) {
        continue;  // the end of the line before
      }
      if (echo && piece[i] == '\n') {
        // An echo whose CR the line spoilt: it ends here, already not as sent, and the echoes
        // after it are read in step instead of one of them being taken into this one.
        return stored;
      }
      if (echo && (piece[i] == kXon || piece[i] == kXoff)) {
        // The bootloader's flow control may come between any two bytes of an echo; it never
        // stands for a byte sent (every line sent is printable), so a damaged byte still
        // shows as missing.
        continue;
      }
      if (stored == size) {
        return -1;  // longer than anything sent: the rest stays for the drain
      }
      buffer[stored++] = piece[i];
    }
  }
  return -1;
}

}  // namespace

int devReadEchoLine(char* buffer, int size, int expected) {
  return readRawLine(buffer, size, expected, true, kLineTimeoutMs);
}

int devReadReplyLine(char* buffer, int size, std::uint32_t limitMs) {
  return readRawLine(buffer, size, 0, false, limitMs);
}

int devReadTextLine(char* buffer, int size) {
  int length = devReadCrLine(buffer, size);
  for (int skipped = 0; length == 0 && skipped < kEmptyLinesPassed; ++skipped) {
    length = devReadCrLine(buffer, size);
  }
  return length == 0 ? -1 : length;
}
