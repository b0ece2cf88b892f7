#include "isp/device_line.h"

#include <cstdarg>
#include <cstring>

#include "isp/line_policy.h"
#include "support/clock.h"
#include "support/format.h"
#include "support/platform.h"
#include "transport/serial.h"

int currentBaud = 0;
bool devLineSilent = false;

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

bool isTerminator(unsigned char byte, const char* terminators) {
  // strchr would also find the set's own NUL, so a received NUL would end the line.
  for (const char* t = terminators; *t != '\0'; ++t) {
    if (static_cast<unsigned char>(*t) == byte) {
      return true;
    }
  }
  return false;
}

// Bytes taken from the port ahead of the reader that needs them: the echo of a whole block of
// data lines comes in one read, and each of its lines waits here for its reader. Every reader
// of the switch's lines takes from here first.
constexpr int kHeldBytes = 2048;  // a block's echo (twenty data lines and the checksum) and more
struct t_HeldInput {
  char bytes[kHeldBytes];
  int first;
  int count;
};
t_HeldInput held{};

// The last byte a reader took was a CR: the LF of that line end comes ahead of the next line.
bool afterCr = false;

// Echo of the lines sent (devSendEchoed) not yet taken from the port: an echo reader sleeps
// until all of it should have come, instead of waking once for every line of a block.
int echoOwed = 0;

// Echoed lines wait here until the line is next read, waited on or written otherwise, and go
// out in one write: a block's twenty data lines and its checksum make one write, where each
// line's write waited for the wire before the next could start.
constexpr int kQueuedBytes = 2048;
struct t_QueuedOutput {
  char bytes[kQueuedBytes];
  int count;
};
t_QueuedOutput queued{};

// What one write of echoed lines may carry.
int queueLimit() {
  const int wireBytes = static_cast<int>(static_cast<std::uint64_t>(currentBaud > 0 ? currentBaud : 0) *
                                         kEchoedWriteMs / 1000u / kBitsPerByte);
  return wireBytes < kQueuedBytes ? wireBytes : kQueuedBytes;
}

void writeEchoed(const char* bytes, int count) {
  // The LF of the line last read, still at the port, comes ahead of the echo.
  const int lineEndAhead = echoOwed == 0 && afterCr && held.count == 0 ? 1 : 0;
  if (comWrite(&devicePort, bytes, count) == count) {
    echoOwed += lineEndAhead + count;
  }
}

// Sends the queued lines: every read, wait or other write of the line comes after them.
void sendQueued() {
  if (queued.count > 0) {
    writeEchoed(queued.bytes, queued.count);
    queued.count = 0;
  }
}

}  // namespace

void devSendEchoed(const char* text) {
  const int length = static_cast<int>(std::strlen(text));
  if (queued.count + length > queueLimit()) {
    sendQueued();
  }
  if (length > queueLimit()) {
    writeEchoed(text, length);
    return;
  }
  std::memcpy(queued.bytes + queued.count, text, static_cast<std::size_t>(length));
  queued.count += length;
}

void devSend(const char* text) {
  sendQueued();
  comWrite(&devicePort, text, static_cast<int>(std::strlen(text)));
}

int devSendChar(int ch) {
  sendQueued();
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
  sendQueued();
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

namespace {

// A one-character reply and its CR, which the bootloader sends once it has echoed a line.
constexpr int kShortestReplyBytes = 2;

void dropHeld() {
  held.first = 0;
  held.count = 0;
  echoOwed = 0;
  afterCr = false;
}

// The next held byte, taken; -1 when none is held.
int takeHeld() {
  if (held.count == 0) {
    return -1;
  }
  const auto byte = static_cast<unsigned char>(held.bytes[held.first]);
  ++held.first;
  if (--held.count == 0) {
    held.first = 0;
  }
  afterCr = byte == '\r';
  return byte;
}

// Sleeps while `bytes` more are still on the wire at the port's rate, at most maxMs: one
// wake-up for a line, or a block's echo, instead of one for each of its bytes. A single byte
// is left to the wait for input, which wakes the moment it comes.
void awaitBytes(int bytes, std::uint32_t maxMs) {
  if (currentBaud <= 0 || bytes < 2) {
    return;
  }
  const std::uint64_t us = static_cast<std::uint64_t>(bytes) * kBitsPerByte * 1000000u /
                           static_cast<std::uint64_t>(currentBaud);
  const std::uint64_t limit = static_cast<std::uint64_t>(maxMs) * 1000u;
  platformSleepUs(static_cast<std::uint32_t>(us < limit ? us : limit));
}

// Results of fillHeld.
constexpr int kFillTaken = 1;       // bytes were taken into the held input
constexpr int kFillNothing = 0;     // the line's time ran out with nothing come
constexpr int kFillPortFailed = -1; // the port cannot deliver any more

// Takes at most `wanted` bytes that the port has into the held input, in one read; called once
// every held byte is taken. When fewer than `coming` are there yet, it first sleeps about the
// time the rest take on the wire; when none are, it waits for the first, until limitMs from
// start are up.
int fillHeld(int wanted, int coming, std::uint32_t start, std::uint32_t limitMs) {
  int waiting = comBytesWaiting(&devicePort);
  // A short sleep first, with a look at the port after it: bytes that came faster than the
  // wire carries them are from a far end on a pseudo-terminal (or an adapter's burst), looked
  // at again soon; otherwise the rest comes at the line's rate and is slept for in one go. The
  // last byte is left to the wait for input, which wakes the moment it comes: a sleep that
  // ends a little late would hold up the exchange.
  int piece = kFirstLookBytes;
  while (waiting < coming - 2) {
    const std::uint32_t left = clockRemaining(start, limitMs);
    if (left == 0) {
      break;
    }
    const int rest = coming - waiting - 1;
    const bool last = rest <= piece;
    awaitBytes(last ? rest : piece, left);
    const int before = waiting;
    waiting = comBytesWaiting(&devicePort);
    if (last) {
      break;
    }
    piece = waiting - before > piece ? kFirstLookBytes : kHeldBytes;
  }
  if (waiting <= 0) {
    const int woke = comWaitInput(&devicePort, clockRemaining(start, limitMs));
    if (woke == kComPortFailed) {
      return kFillPortFailed;
    }
    if (woke != kComInputWaiting) {
      return kFillNothing;
    }
    waiting = comBytesWaiting(&devicePort);
    if (waiting <= 0) {
      return kFillPortFailed;  // reported but not delivered: treat the line as not come
    }
  }
  int take = waiting < wanted ? waiting : wanted;
  take = take < kHeldBytes ? take : kHeldBytes;
  const int got = comRead(&devicePort, held.bytes, take);
  if (got <= 0) {
    return kFillPortFailed;
  }
  held.first = 0;
  held.count = got;
  echoOwed = echoOwed > got ? echoOwed - got : 0;
  return kFillTaken;
}

// What a line of at least `shortest` characters, of which `stored` have come, still lacks:
// the LF of the line end before it, if that has not come yet, the characters and its CR.
int bytesLacking(int shortest, int stored) {
  return (afterCr ? 1 : 0) + (shortest > stored ? shortest - stored : 0) + 1;
}

}  // namespace

int devBytesWaiting() {
  sendQueued();
  return held.count + comBytesWaiting(&devicePort);
}

int devWaitInput(std::uint32_t timeoutMs) {
  sendQueued();
  return held.count > 0 ? kComInputWaiting : comWaitInput(&devicePort, timeoutMs);
}

int devReadWaiting(char* buffer, int size) {
  sendQueued();
  if (buffer == nullptr || size <= 0) {
    return 0;
  }
  if (held.count > 0) {
    int taken = 0;
    while (taken < size && held.count > 0) {
      buffer[taken++] = static_cast<char>(takeHeld());
    }
    return taken;
  }
  const int waiting = comBytesWaiting(&devicePort);
  if (waiting <= 0) {
    return 0;
  }
  const int got = comRead(&devicePort, buffer, waiting < size ? waiting : size);
  return got > 0 ? got : 0;
}

void devDrainInput(std::uint32_t quietMs, std::uint32_t maxMs) {
  sendQueued();
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
  sendQueued();
  dropHeld();
  constexpr int kPieceBytes = 256;
  char discarded[kPieceBytes];
  for (int waiting = comBytesWaiting(&devicePort); waiting > 0; waiting = comBytesWaiting(&devicePort)) {
    if (comRead(&devicePort, discarded, waiting < kPieceBytes ? waiting : kPieceBytes) <= 0) {
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

namespace {

// devReadLine that counts in *dropped the bytes it dropped once the line had begun. A line cut
// off (no terminator in time, or no room) keeps what was stored, NUL-terminated, and counts as
// one dropped byte when anything of it came.
int readLineCounting(char* buffer, int size, const char* terminators, int* dropped, std::uint32_t limitMs) {
  sendQueued();
  if (buffer == nullptr || size <= 0) {
    return -1;
  }
  const std::uint32_t start = clockNow();
  int stored = 0;
  devLineSilent = true;
  for (;;) {
    // A full buffer takes no byte more: the terminator stays for the next reader.
    while (stored < size && held.count > 0) {
      devLineSilent = false;
      const int took =
          lineAcceptByte(buffer, size, &stored, static_cast<unsigned char>(takeHeld()), terminators);
      if (took == kLineTerminated) {
        return stored;
      }
      *dropped += took == kLineDropped && stored > 0 ? 1 : 0;
    }
    if (stored >= size || clockExpired(start, limitMs)) {
      break;
    }
    // A byte at a time: these lines end in any of several terminators, and nothing after
    // theirs may be taken.
    const int filled = fillHeld(1, 1, start, limitMs);
    if (filled == kFillPortFailed) {
      break;  // a port that can deliver nothing any more ends the line at once
    }
  }
  buffer[stored < size ? stored : size - 1] = '\0';
  *dropped += stored > 0 ? 1 : 0;
  return -1;
}

}  // namespace

int devReadLine(char* buffer, int size, const char* terminators, std::uint32_t limitMs) {
  int dropped = 0;
  const int length = readLineCounting(buffer, size, terminators, &dropped, limitMs);
  if (length < 0 && buffer != nullptr && size > 0) {
    buffer[0] = '\0';
  }
  return length;
}

int devReadFrameLine(char* buffer, int size, bool* garbled) {
  int dropped = 0;
  const int length = readLineCounting(buffer, size, "$", &dropped, lineTimeoutMs());
  // DEL is stored like a printable byte, but no frame holds it either.
  *garbled = dropped > 0 || (length > 0 && std::memchr(buffer, 0x7F, static_cast<std::size_t>(length)) != nullptr);
  return length;
}

int devReadCrLine(char* buffer, int size) { return devReadLine(buffer, size, "\r"); }

int devReadDollarLine(char* buffer, int size) { return devReadLine(buffer, size, "$"); }

namespace {

// The echo reader and the reply reader: one loop, which differ only in what the line is held
// against. Both expect a line of `shortest` characters. An echo may have the bootloader's flow
// control between its bytes, and the echo still owed for the lines sent after it is taken in
// the same read. Neither takes anything after the last CR it expects, so the LF of that line
// end is left for the next reader.
int readRawLine(char* buffer, int size, int shortest, bool echo, std::uint32_t limitMs) {
  sendQueued();
  const std::uint32_t start = clockNow();
  int stored = 0;
  devLineSilent = true;
  for (;;) {
    for (int byte = takeHeld(); byte >= 0; byte = takeHeld()) {
      devLineSilent = false;
      if (byte == '\r') {
        return stored;
      }
      if (byte == '\n' && stored == 0) {
        continue;  // the end of the line before
      }
      if (echo && byte == '\n') {
        // An echo whose CR the line spoilt: it ends here, already not as sent, and the echoes
        // after it are read in step instead of one of them being taken into this one.
        return stored;
      }
      if (echo && (byte == kXon || byte == kXoff)) {
        // The bootloader's flow control may come between any two bytes of an echo; it never
        // stands for a byte sent (every line sent is printable), so a damaged byte still
        // shows as missing.
        continue;
      }
      if (stored == size) {
        return -1;  // longer than anything sent: the rest stays for the drain
      }
      buffer[stored++] = static_cast<char>(byte);
    }
    if (clockExpired(start, limitMs)) {
      break;
    }
    const int lacking = bytesLacking(shortest, stored);
    // An echo as sent ends with the CR of the last line whose echo is owed; the bootloader's
    // reply to it follows at once, so the reader sleeps for that too.
    const int owedToCr = echo ? echoOwed - 1 : 0;
    const int wanted = owedToCr > lacking ? owedToCr : lacking;
    const int coming = echo ? wanted + 1 + kShortestReplyBytes : lacking;
    const int filled = fillHeld(wanted, coming, start, limitMs);
    if (filled == kFillPortFailed) {
      break;
    }
  }
  if (echo) {
    echoOwed = 0;  // what is owed is not coming as sent: the caller ends the exchange
  }
  return -1;
}

}  // namespace

int devReadEchoLine(char* buffer, int size, int expected) {
  return readRawLine(buffer, size, expected, true, lineTimeoutMs());
}

int devReadReplyLine(char* buffer, int size, int expected, std::uint32_t limitMs) {
  return readRawLine(buffer, size, expected > 1 ? expected : 1, false, limitMs);
}

int devReadTextLine(char* buffer, int size) {
  int length = devReadCrLine(buffer, size);
  for (int skipped = 0; length == 0 && skipped < kEmptyLinesPassed; ++skipped) {
    length = devReadCrLine(buffer, size);
  }
  return length == 0 ? -1 : length;
}
