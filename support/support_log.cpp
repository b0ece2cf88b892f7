#include "support/support_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/platform.h"
#include "support/support_log_file.h"

namespace {

// What the records hold: bytes of the line or of the console, collected until they make a
// line of their own, or one event.
enum class Kind { none, sent, received, console };

constexpr int kConsoleRecordBytes = 256;  // console text beyond this goes on in a new record
constexpr int kLineRecordBytes = 128;     // line traffic beyond this goes on in a new record
constexpr int kEventBytes = 640;          // the text of an event (a port's with its adapter); longer ones are cut
constexpr std::uint32_t kPauseMs = 50;    // a longer pause on the line starts a new record
// The file is committed to the disk right after bytes went out once this long has passed since
// the last commit, and as the run waits for the switch once twice as long has.
constexpr std::uint32_t kCommitEveryMs = 1000;
constexpr std::uint32_t kCommitAtLatestMs = 2 * kCommitEveryMs;
// The longest line: time and tag, then every byte of a record escaped as \xNN, in quotes.
constexpr int kLineBytes = 32 + 4 * kConsoleRecordBytes + 8;
static_assert(kLineBytes <= kLogLineMax, "every line the log builds is handed over whole");
constexpr int kWhyBytes = 160;

struct t_Record {
  Kind kind;
  std::uint32_t start;  // milliseconds from the start of the run, at its first byte
  std::uint32_t last;   // at its last byte
  int count;
  bool hasText;  // holds a byte other than CR and LF
  char bytes[kConsoleRecordBytes];
};

// The records of one Write-to-RAM block, held back until the switch has answered its
// checksum: with OK its data lines are shortened, with anything else they are written whole.
// 8 KB holds a 900-byte block's 20 data lines twice over (an echo of each line included).
constexpr int kHeldBytes = 8192;
constexpr int kHeldRecords = 96;

struct t_HeldRecord {
  Kind kind;
  std::uint32_t start;
  int offset;  // into heldBytes
  int count;
  bool dataLine;
};

bool active = false;
bool inputEnded = false;  // a key read reported the end of the input
std::uint32_t runStart = 0;
std::uint32_t lastCommit = 0;
bool uncommitted = false;

t_Record current{};  // the record being collected

bool holding = false;
t_HeldRecord held[kHeldRecords];
int heldRecords = 0;
char heldBytes[kHeldBytes];
int heldUsed = 0;

// The last console text that showed something, for the outcome.
char lastMessage[kConsoleRecordBytes];
int lastMessageLength = 0;

char line[kLineBytes];

std::uint32_t sinceStart() { return platformClockMs() - runStart; }

void stopLogging() {
  logFileClose();
  active = false;
}

// Appends text to line at *length, never beyond its end.
void appendText(int* length, const char* text, int count) {
  for (int i = 0; i < count && *length < kLineBytes - 1; ++i) {
    line[(*length)++] = text[i];
  }
}

void appendFormat(int* length, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int room = kLineBytes - 1 - *length;
  const int wanted = std::vsnprintf(line + *length, static_cast<std::size_t>(room) + 1, format, args);
  va_end(args);
  if (wanted > 0) {
    *length += wanted < room ? wanted : room;
  }
}

// Time stamp and tag: "   12.345 sent ".
int startLine(std::uint32_t at, const char* tag) {
  int length = 0;
  appendFormat(&length, "%5u.%03u %-4s ", static_cast<unsigned>(at / 1000u),
               static_cast<unsigned>(at % 1000u), tag);
  return length;
}

// Printable text as it is; \r, \n, \" and \\; \xNN for every other byte.
void appendEscaped(int* length, const char* bytes, int count) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    char text[4];
    int size = 0;
    if (byte == '\r' || byte == '\n' || byte == '"' || byte == '\\') {
      text[size++] = '\\';
      text[size++] = byte == '\r' ? 'r' : byte == '\n' ? 'n' : static_cast<char>(byte);
    } else if (byte >= 0x20 && byte < 0x7F) {
      text[size++] = static_cast<char>(byte);
    } else {
      text[size++] = '\\';
      text[size++] = 'x';
      text[size++] = kHex[byte >> 4];
      text[size++] = kHex[byte & 0x0F];
    }
    appendText(length, text, size);
  }
}

std::uint32_t sinceCommit() { return sinceStart() - lastCommit; }

void writeLine(int length) {
  if (!active) {
    return;
  }
  char why[kWhyBytes];
  // A log that can no longer be written (the disk is full, the stick was pulled) ends quietly:
  // the run itself must not change.
  if (!logFileWriteLine(line, length, why, sizeof why)) {
    stopLogging();
    return;
  }
  uncommitted = true;
}

void commit() {
  if (active && uncommitted) {
    logFileCommit();
    uncommitted = false;
    lastCommit = sinceStart();
  }
}

const char* tagOf(Kind kind) {
  switch (kind) {
    case Kind::sent: return "sent";
    case Kind::received: return "recv";
    default: return "con";
  }
}

void rememberMessage(const char* bytes, int count) {
  int first = 0;
  while (first < count && (bytes[first] == '\n' || bytes[first] == '\r' || bytes[first] == ' ')) {
    ++first;
  }
  int end = count;
  while (end > first && (bytes[end - 1] == '\n' || bytes[end - 1] == '\r' || bytes[end - 1] == ' ')) {
    --end;
  }
  if (end > first) {
    lastMessageLength = end - first;
    std::memcpy(lastMessage, bytes + first, static_cast<std::size_t>(lastMessageLength));
  }
}

void writeRecord(Kind kind, std::uint32_t start, const char* bytes, int count) {
  int length = startLine(start, tagOf(kind));
  appendText(&length, "\"", 1);
  appendEscaped(&length, bytes, count);
  appendText(&length, "\"", 1);
  writeLine(length);
  if (kind == Kind::console) {
    rememberMessage(bytes, count);
  }
}

bool isLineEnd(char byte) { return byte == '\r' || byte == '\n'; }

// The text of a record without the line ends around it: [*first, *end).
void lineText(const char* bytes, int count, int* first, int* end) {
  *first = 0;
  *end = count;
  while (*first < *end && isLineEnd(bytes[*first])) {
    ++*first;
  }
  while (*end > *first && isLineEnd(bytes[*end - 1])) {
    --*end;
  }
}

// A UU-encoded data line: one length character (1 to 45 bytes), then four characters for
// every three bytes, all from the UU alphabet; with its line end.
bool isDataLine(const char* bytes, int count) {
  int first = 0;
  int end = 0;
  lineText(bytes, count, &first, &end);
  if (end == count || end == first) {
    return false;
  }
  const int dataBytes = static_cast<unsigned char>(bytes[first]) - 0x20;
  if (dataBytes < 1 || dataBytes > 45 || end - first - 1 != (dataBytes + 2) / 3 * 4) {
    return false;
  }
  for (int i = first + 1; i < end; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x20 || c > 0x60) {
      return false;
    }
  }
  return true;
}

// A block's checksum line (or its echo), or nothing but line ends: part of the block.
bool belongsToBlock(const char* bytes, int count) {
  for (int i = 0; i < count; ++i) {
    if ((bytes[i] < '0' || bytes[i] > '9') && !isLineEnd(bytes[i])) {
      return false;
    }
  }
  return count > 0;
}

bool isOkAnswer(const char* bytes, int count) {
  int first = 0;
  int end = 0;
  lineText(bytes, count, &first, &end);
  return end - first == 2 && bytes[first] == 'O' && bytes[first + 1] == 'K';
}

std::uint32_t fnv1a(std::uint32_t hash, const char* bytes, int count) {
  for (int i = 0; i < count; ++i) {
    hash ^= static_cast<unsigned char>(bytes[i]);
    hash *= 0x01000193u;
  }
  return hash;
}

// "[20 UU lines, 1260 bytes, FNV-1a 0x1234ABCD]" for the held data lines of one direction.
void writeDataSummary(Kind kind, std::uint32_t start) {
  int lines = 0;
  int bytes = 0;
  std::uint32_t hash = 0x811C9DC5u;
  for (int i = 0; i < heldRecords; ++i) {
    if (held[i].kind == kind && held[i].dataLine) {
      ++lines;
      bytes += held[i].count;
      hash = fnv1a(hash, heldBytes + held[i].offset, held[i].count);
    }
  }
  int length = startLine(start, tagOf(kind));
  appendFormat(&length, "[%d UU lines, %d bytes, FNV-1a 0x%08X]", lines, bytes, static_cast<unsigned>(hash));
  writeLine(length);
}

// Writes the held block: its data lines shortened when the switch answered OK, else whole.
void releaseHeld(bool answeredOk) {
  bool sentSummarised = false;
  bool receivedSummarised = false;
  for (int i = 0; i < heldRecords; ++i) {
    const t_HeldRecord& record = held[i];
    if (answeredOk && record.dataLine) {
      bool& summarised = record.kind == Kind::sent ? sentSummarised : receivedSummarised;
      if (!summarised) {
        writeDataSummary(record.kind, record.start);
        summarised = true;
      }
      continue;
    }
    writeRecord(record.kind, record.start, heldBytes + record.offset, record.count);
  }
  holding = false;
  heldRecords = 0;
  heldUsed = 0;
}

bool hold(Kind kind, std::uint32_t start, const char* bytes, int count, bool dataLine) {
  if (heldRecords == kHeldRecords || heldUsed + count > kHeldBytes) {
    return false;
  }
  held[heldRecords++] = t_HeldRecord{kind, start, heldUsed, count, dataLine};
  std::memcpy(heldBytes + heldUsed, bytes, static_cast<std::size_t>(count));
  heldUsed += count;
  return true;
}

// Where a completed record goes: into the held block, or to the file (after the block).
void route(Kind kind, std::uint32_t start, const char* bytes, int count) {
  if (kind == Kind::console) {
    if (holding) {
      releaseHeld(false);
    }
    writeRecord(kind, start, bytes, count);
    return;
  }
  const bool dataLine = isDataLine(bytes, count);
  if (!holding && kind == Kind::sent && dataLine) {
    holding = true;
  }
  if (holding) {
    if (dataLine || belongsToBlock(bytes, count)) {
      if (hold(kind, start, bytes, count, dataLine)) {
        return;
      }
      releaseHeld(false);  // too long to hold: this block is written whole
      writeRecord(kind, start, bytes, count);
      return;
    }
    releaseHeld(kind == Kind::received && isOkAnswer(bytes, count));
  }
  writeRecord(kind, start, bytes, count);
}

void completeCurrent() {
  if (current.kind == Kind::none) {
    return;
  }
  const Kind kind = current.kind;
  current.kind = Kind::none;
  route(kind, current.start, current.bytes, current.count);
  current.count = 0;
}

// Everything collected so far goes out before a record of another kind.
void completeAll() {
  completeCurrent();
  if (holding) {
    releaseHeld(false);
  }
}

void startRecord(Kind kind, std::uint32_t at) {
  completeCurrent();
  current.kind = kind;
  current.start = at;
  current.last = at;
  current.count = 0;
  current.hasText = false;
}

void append(char byte, std::uint32_t at) {
  current.bytes[current.count++] = byte;
  current.last = at;
  current.hasText = current.hasText || !isLineEnd(byte);
}

void collectLineBytes(Kind kind, const char* bytes, int count) {
  if (!active || bytes == nullptr || count <= 0) {
    return;
  }
  const std::uint32_t at = sinceStart();
  for (int i = 0; i < count; ++i) {
    if (current.kind != kind || current.count == kLineRecordBytes ||
        static_cast<std::uint32_t>(at - current.last) > kPauseMs) {
      startRecord(kind, at);
    }
    append(bytes[i], at);
    // The switch's lines end with CR LF, but the reader stops at the CR: the LF is read with
    // the next answer, and starts its record.
    const bool lineEnded = kind == Kind::sent ? bytes[i] == '\n' : isLineEnd(bytes[i]) && current.hasText;
    if (lineEnded) {
      completeCurrent();
    }
  }
}

// Event and header texts are the program's own, but may carry a path, an argument or a
// system's message: printable text as it is, \xNN for the rest.
void appendPlain(int* length, const char* text) {
  for (int i = 0; text[i] != '\0' && i < kEventBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      appendText(length, &text[i], 1);
    } else {
      appendEscaped(length, &text[i], 1);
    }
  }
}

void writeEvent(const char* tag, const char* text) {
  completeAll();
  int length = startLine(sinceStart(), tag);
  appendPlain(&length, text);
  writeLine(length);
}

}  // namespace

int logOpen(const char* path, char* why, int whySize) {
  if (active) {
    return kLogOpened;
  }
  if (path == nullptr || path[0] == '\0') {
    std::snprintf(why, static_cast<std::size_t>(whySize), "no file name");
    return kLogUnwritable;
  }
  bool holdsOldText = false;
  if (!logFileOpen(path, &holdsOldText, why, whySize)) {
    return kLogUnwritable;
  }
  static constexpr char kSeparator[] =
      "========================================================================";
  static constexpr char kTitle[] = "vlfwu support log";
  if ((holdsOldText && !logFileWriteLine(kSeparator, sizeof kSeparator - 1, why, whySize)) ||
      !logFileWriteLine(kTitle, sizeof kTitle - 1, why, whySize)) {
    logFileClose();
    return kLogUnwritable;
  }
  active = true;
  runStart = platformClockMs();
  lastCommit = 0;
  uncommitted = true;
  current = t_Record{};
  holding = false;
  heldRecords = 0;
  heldUsed = 0;
  lastMessageLength = 0;
  inputEnded = false;
  return kLogOpened;
}

void logClose() {
  if (!active) {
    return;
  }
  completeAll();
  commit();
  stopLogging();
}

bool logActive() { return active; }

void logHeader(const char* label, const char* text) {
  if (!active) {
    return;
  }
  int length = 0;
  appendFormat(&length, "  %-9s ", label);
  appendPlain(&length, text);
  writeLine(length);
}

void logHeaderPlatform() {
  if (!active) {
    return;
  }
  char text[kEventBytes];
  logFileLocalTime(text, sizeof text);
  logHeader("started", text);
  logFilePlatform(text, sizeof text);
  logHeader("platform", text);
}

void logSent(const char* bytes, int count) {
  collectLineBytes(Kind::sent, bytes, count);
  // Committing costs a few milliseconds; right after bytes went out the switch is busy
  // answering them, and its answer waits in the port's queue meanwhile. Anywhere else (after
  // a reply was read, say) the commit would hold up the next line the run is about to send.
  if (active && sinceCommit() >= kCommitEveryMs) {
    commit();
  }
}

void logReceived(const char* bytes, int count) { collectLineBytes(Kind::received, bytes, count); }

void logConsole(const char* text, int count) {
  if (!active || text == nullptr || count <= 0) {
    return;
  }
  const std::uint32_t at = sinceStart();
  for (int i = 0; i < count; ++i) {
    // A record is one line as the user reads it: it ends with its line break, and line breaks
    // before any text stay with that text ("\nCOM3: "). So after text a new record starts with
    // the text after a line break, with a text that begins with a line break, and with a
    // carriage return (a line drawn over the last).
    const bool lineStarts = current.kind == Kind::console && current.hasText &&
                            ((current.bytes[current.count - 1] == '\n' && !isLineEnd(text[i])) ||
                             (i == 0 && isLineEnd(text[i])) || text[i] == '\r');
    if (current.kind != Kind::console || current.count == kConsoleRecordBytes || lineStarts) {
      startRecord(Kind::console, at);
    }
    append(text[i], at);
  }
}

int logKey(int key) {
  if (!active) {
    return key;
  }
  if (key == kKeyEndOfInput) {
    // Said once: every later read reports it again at once.
    if (!inputEnded) {
      logEvent("key", "none: the input has ended");
    }
    inputEnded = true;
  } else if (key == 0) {
    logEvent("key", "0x00 (an extended key; its code follows)");
  } else if (key >= 0x20 && key < 0x7F) {
    logEventFormat("key", "0x%02X '%c'", static_cast<unsigned>(key), key);
  } else {
    logEventFormat("key", "0x%02X", static_cast<unsigned>(key));
  }
  return key;
}

void logEvent(const char* tag, const char* text) {
  if (!active || tag == nullptr || text == nullptr) {
    return;
  }
  writeEvent(tag, text);
}

void logEventFormat(const char* tag, const char* format, ...) {
  if (!active || tag == nullptr || format == nullptr) {
    return;
  }
  char text[kEventBytes + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  writeEvent(tag, text);
}

void logOutcome(const char* text) {
  if (!active || text == nullptr) {
    return;
  }
  completeAll();
  int length = startLine(sinceStart(), "run");
  appendFormat(&length, "%s; last message \"", text);
  appendEscaped(&length, lastMessage, lastMessageLength);
  appendText(&length, "\"", 1);
  writeLine(length);
}

void logBeforeLineWait() {
  // The run has nothing to send until the switch's bytes come or the wait ends: a commit due
  // after a while without bytes going out (a slow erase, the restart watch) costs no line time.
  if (active && sinceCommit() >= kCommitAtLatestMs) {
    commit();
  }
}

void logBeforeKey() {
  if (!active) {
    return;
  }
  completeAll();
  if (!inputEnded) {
    commit();
  }
}

void logSystemError(char* text, int size) {
  if (text == nullptr || size <= 0) {
    return;
  }
  if (!active) {
    text[0] = '\0';
    return;
  }
  logFileErrorText(logFileLastError(), text, size);
}
