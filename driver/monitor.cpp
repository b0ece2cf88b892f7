#include "driver/monitor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/run_state.h"
#include "support/clock.h"
#include "support/console.h"

char monitorLine[256];
int monitorLength = 0;

namespace {

// The last position a message character can take; the "$" and the NUL always fit after it.
constexpr int kLastSlot = static_cast<int>(sizeof monitorLine) - 2;

// Steps of one DSP bank's update, reported as 0 to kDspSteps - 1.
constexpr std::int64_t kDspSteps = 6;

struct t_MonitorKeyword {
  const char* keyword;  // a length byte, then the keyword's characters
  void (*handler)();
};

void consumeMessage() {}

constexpr t_MonitorKeyword monitorKeywords[] = {
    {"\x03=SZ", consumeMessage},
    {"\x01!", onProgressMessage},
    {"\x02=P", onReadyMessage},
    {"\x02=V", consumeMessage},
    {nullptr, nullptr},
};

constexpr bool isAsciiLetter(char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); }

// Reads a number the way a 32-bit strtol would (saturating at the int32 limits).
std::int32_t readNumber(const char* text, const char** end) {
  char* stop = nullptr;
  long value = std::strtol(text, &stop, 10);
  *end = stop;
  if (value > INT32_MAX) {
    value = INT32_MAX;
  } else if (value < INT32_MIN) {
    value = INT32_MIN;
  }
  return static_cast<std::int32_t>(value);
}

// Skips the one separator before a field and reads it. A message that has already ended
// has no such field: it counts as 0, and the NUL is never stepped over.
std::int32_t readField(const char** cursor) {
  if (**cursor == '\0') {
    return 0;
  }
  (*cursor)++;
  return readNumber(*cursor, cursor);
}

}  // namespace

void monitorFeed(int byte) {
  const auto ch = static_cast<signed char>(byte);
  if (ch < 0x20) {
    return;  // control characters and bytes above 0x7F
  }
  if (monitorLength < 0 || monitorLength > kLastSlot) {
    monitorLength = 0;  // a length set from outside the collector starts a new message
  }
  if (ch == '^') {
    monitorLength = 0;
    return;
  }
  monitorLine[monitorLength] = ch;
  if (ch == '$') {
    monitorLength++;
    monitorLine[monitorLength] = '\0';
    monitorDispatch(monitorLine);
    monitorLength = 0;
    return;
  }
  // An over-long message keeps overwriting its last slot, so it reaches the handlers cut.
  if (monitorLength < kLastSlot) {
    monitorLength++;
  }
}

int monitorDispatch(const char* message) {
  for (const t_MonitorKeyword* entry = monitorKeywords; entry->keyword != nullptr; entry++) {
    const int length = static_cast<unsigned char>(entry->keyword[0]);
    int matched = 0;
    // A NUL in the message differs from every keyword character, so this stops inside it.
    while (matched < length && message[matched] == entry->keyword[1 + matched]) {
      matched++;
    }
    if (matched == length && !isAsciiLetter(message[length])) {
      entry->handler();
      return kDispatchHandled;
    }
  }
  return kDispatchNoKeyword;
}

void onProgressMessage() {
  const char* cursor = nullptr;
  const std::int32_t code = readNumber(monitorLine + 1, &cursor);
  if (code != 100) {
    conStdPrintf("%s", monitorLine);
    std::fflush(stdout);
    return;
  }
  const std::int32_t bank = readField(&cursor);
  const std::int32_t step = readField(&cursor);
  std::int64_t percent = (static_cast<std::int64_t>(step) + 1) * 100 / kDspSteps;
  // A step outside 0 to 5 is the switch's mistake; the line still shows a percentage.
  if (percent < 0) {
    percent = 0;
  } else if (percent > 100) {
    percent = 100;
  }
  if (step == 0) {
    conPutChar('\n');  // each bank starts its own line
  }
  conStdPrintf("\rUpdating DSPs: Bank = %u, Complete = %3u%%", static_cast<unsigned>(bank),
              static_cast<unsigned>(percent));
  std::fflush(stdout);  // the line is overwritten in place, so it carries no line break
  activityClock = clockNow();
}

void onReadyMessage() { switchReady = 1; }
