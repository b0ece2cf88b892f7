#include "isp/isp_commands.h"

#include <cstring>

#include "isp/device_line.h"
#include "isp/isp_exchange.h"
#include "isp/isp_log.h"
#include "isp/line_policy.h"
#include "support/clock.h"
#include "transport/serial.h"

char probeChar = '?';
bool syncHeardSpoilt = false;

namespace {

constexpr int kBootloaderBaud = 115200;
constexpr int kFirmwareBaud = 19200;

constexpr int kSyncLineSize = 20;
constexpr int kShortReplySize = 7;
constexpr int kLongReplySize = 11;
constexpr int kCommandTextSize = 40;  // the longest command line and its NUL

// Ends an exchange that the line spoilt; a refusal ended cleanly and needs nothing.
int endExchange(int outcome) {
  if (outcome != kExchangeOk && outcome != kExchangeRefused) {
    ispAbort();
  }
  return outcome;
}

// One exchange: the line, its echo and its return code.
int commandOnce(const char* text) {
  char reply[kShortReplySize];
  return endExchange(ispCommand(text, reply, sizeof reply));
}

// A command that changes nothing in the chip, sent again as long as the policy says so.
int commandRepeatable(const char* text) {
  int outcome = kExchangeEchoDiffers;
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    outcome = commandOnce(text);
    if (lineAction(kStepQuery, outcome) != kActAskAgain) {
      break;
    }
  }
  return outcome;
}

// A line of decimal digits as a word; a ten-digit part ID accumulates modulo 2^32.
std::uint32_t decimalWord(const char* text) {
  std::uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10u + static_cast<std::uint32_t>(*text - '0');
  }
  return value;
}

// The two lines of decimal digits that follow a return code (the part identification's words;
// a blank check's offset and value), into words: kExchangeOk, or the outcome of the first line
// that is none, its exchange ended.
int readTwoDecimalLines(std::uint32_t words[2]) {
  char line[kLongReplySize];
  for (int index = 0; index < 2; ++index) {
    const int length = ispReadReply(line, sizeof line);
    if (length <= 0 || !isDecimalText(line)) {
      return endExchange(length < 0 ? kExchangeNoReply : kExchangeGarbled);
    }
    words[index] = decimalWord(line);
  }
  return kExchangeOk;
}

// One line of the handshake: its echo, after the empty lines of stray line ends (the CR of
// the probe comes back after the '?'), then the answer, each exactly as expected. Read a byte
// at a time, so that nothing of the next line is taken with an empty one.
bool handshakeLine(const char* text, const char* answer) {
  char line[kSyncLineSize];
  devSend(text);
  const int echoed = ispReadReply(line, sizeof line);
  const std::size_t sent = std::strcspn(text, "\r");
  if (echoed < 0 || static_cast<std::size_t>(echoed) != sent || std::strncmp(line, text, sent) != 0) {
    return false;
  }
  return ispReadReply(line, sizeof line) >= 0 && std::strcmp(line, answer) == 0;
}

// Case a: a bootloader that has just measured the rate from '?'. It echoes what it gets, and
// every line of the handshake must come back as sent and be answered exactly "OK".
bool completeHandshake() {
  // The crystal-frequency line "O": these parts run the ROM from their internal oscillator
  // and ignore its value.
  return handshakeLine("Synchronized\r\n", "OK") && handshakeLine("O\r", "OK") && nxpEchoOn() == 1;
}

// Case b: a synchronised bootloader that echoes; the "$" of the probe ended the echo line.
bool leaveEchoingState() {
  if (comBytesWaiting(&devicePort) > 0) {
    char line[kSyncLineSize];
    const int length = devReadCrLine(line, sizeof line);
    if (length == 1 && line[0] == probeChar) {
      devReadCrLine(line, sizeof line);  // the bootloader's reply to the probe line
    }
  }
  return nxpEchoOn() == 1;
}

// Case c: echo is off, and the probe line was rejected as an invalid command. The echo is
// turned on again: every later exchange reads it to see what the bootloader received. With
// the echo off, "A 1" itself is not echoed: its answer comes alone.
bool restoreEcho() {
  char line[kSyncLineSize];
  devSend("A 1\r");
  if (ispReadReply(line, sizeof line) < 0 || std::strcmp(line, "0") != 0) {
    return false;
  }
  // An "A 1" that took a bit error on its way as "A 0" is answered "0" too: only an echo shows
  // the echo on.
  return nxpEchoOn() == 1;
}

// When the last probe went out at each rate: 115200, 19200.
std::uint32_t probeSentMs[2] = {0, 0};

void setSyncRate(int baud) {
  comSetBaud(&devicePort, baud);
  currentBaud = baud;
  probeChar = baud == kBootloaderBaud ? '?' : '*';
}

// An answer tells the rate it belongs to: the bootloader's to the '?' sent at 115200, the
// firmware's to a probe at 19200 (it listens at no other). A link that holds answers back
// may hand over the last attempt's answer in the next, at the other rate: the port goes back
// to the answer's rate, and the hold is timed from the probe it answers.
void answerCameAt(int baud) {
  lineHeldMeasured(clockNow() - probeSentMs[baud == kBootloaderBaud ? 0 : 1]);
  if (currentBaud != baud) {
    setSyncRate(baud);
  }
}

// One attempt, its answer waited for limitMs.
int syncAttempt(std::uint32_t limitMs) {
  setSyncRate(currentBaud == kFirmwareBaud ? kBootloaderBaud : kFirmwareBaud);
  // The rate change is not checked: a port that refuses a rate is closed, so the probe below
  // gets no answer and the attempt fails the way an absent switch does.
  devFlushInput();

  // ESC aborts whatever the bootloader was receiving; "^P$" asks the firmware to identify
  // itself; the probe character gives a waiting bootloader its baud-rate measurement.
  devSendChar(0x1B);
  clockDelay(kProbeGapMs);
  devSend("^P$");
  clockDelay(kProbeGapMs);
  devSendChar(probeChar);
  clockDelay(kProbeGapMs);
  devSendChar('\r');

  // Whatever answers, bootloader or firmware, answers at once: the time its answer took is
  // what the link holds answers back, and every later wait allows for it.
  probeSentMs[currentBaud == kBootloaderBaud ? 0 : 1] = clockNow();
  char line[kSyncLineSize];
  const int length = devReadLine(line, sizeof line, "$\r", limitMs);
  const bool answered = !devLineSilent;
  const bool bootloader = (length == 12 && std::strcmp(line, "Synchronized") == 0) ||
                          (length == 2 && std::strcmp(line, "^P") == 0) || (length == 1 && line[0] == '1');
  const bool firmware =
      (length == 2 && std::strcmp(line, "^+") == 0) || (length == 5 && std::strncmp(line, "^=P", 3) == 0);
  if (bootloader || firmware) {
    answerCameAt(bootloader ? kBootloaderBaud : kFirmwareBaud);
  }
  int result = kSyncNothing;
  if (length == 12 && std::strcmp(line, "Synchronized") == 0) {
    result = completeHandshake() ? kSyncBootloader : kSyncNothing;
  } else if (length == 2 && std::strcmp(line, "^P") == 0) {
    result = leaveEchoingState() ? kSyncBootloader : kSyncNothing;
  } else if (length == 1 && line[0] == '1') {
    result = restoreEcho() ? kSyncBootloader : kSyncNothing;
  } else if (firmware) {
    if (line[1] == '+') {
      devFlushInput();
    }
    result = kSyncFirmware;
  }
  syncHeardSpoilt = syncHeardSpoilt || (answered && result == kSyncNothing);
  return result;
}

// What the bootloader's answer to a Go says, by the policy's action.
int goResult(int action, int answered) {
  switch (action) {
    case kActDone:
      return kGoStarted;
    case kActRestartWatch:
      return answered == kExchangeOk ? kGoStartedOtherLine : kGoNoAnswer;
    default:
      return answered == kExchangeRefused ? kGoRefused : kGoLineError;
  }
}

// What the bootloader answered to a line its echo shows it received otherwise, as an
// exchange's outcome: kExchangeOk for "0", kExchangeRefused for a return code.
int answerToOtherLine(char* reply, int size) {
  const int length = ispReadReply(reply, size);
  return length < 0                              ? kExchangeNoReply
         : std::strcmp(reply, "0") == 0          ? kExchangeOk
         : length > 0 && isDecimalText(reply)    ? kExchangeRefused
                                                 : kExchangeGarbled;
}

// One Go: the line, its echo and the bootloader's answer, read whatever the echo showed.
int goOnce(const char* text, char* reply, int size) {
  char echo[kEchoLineSize];
  const int exchange = ispCommandEcho(text, echo, sizeof echo, reply, size);
  const int action = lineAction(kStepGo, exchange);
  if (action != kActReadAnswer) {
    return goResult(action, exchange);
  }
  // The bootloader received another line: what it answered tells whether it is still there.
  const int answered = answerToOtherLine(reply, size);
  return goResult(lineAction(kStepGoOtherLine, answered), answered);
}

}  // namespace

int nxpEchoOn() {
  char line[kSyncLineSize];
  devSend("A 1\r");
  return ispEchoMatches("A 1") && ispReadReply(line, sizeof line) >= 0 &&
                 std::strcmp(line, "0") == 0
             ? 1
             : 0;
}

int nxpSync() {
  syncHeardSpoilt = false;
  for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
    // The first round waits the line time; the second as long as a slow link may hold an answer.
    const std::uint32_t wait = attempt < kSyncAttempts / 2 || lineTimeoutMs() > kSyncSlowLinkMs
                                   ? lineTimeoutMs()
                                   : kSyncSlowLinkMs;
    const int result = syncAttempt(wait);
    if (result != kSyncNothing) {
      return ispLogSync(result);
    }
  }
  return ispLogSync(kSyncNothing);
}

int nxpUnlock() { return ispLogCommand("unlock", commandRepeatable("U 23130")); }

int nxpGo(std::uint32_t address) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "G %u T", address);
  char reply[kShortReplySize];
  int outcome = kGoNoAnswer;
  for (int attempt = 0; attempt < kGoAttempts; ++attempt) {
    outcome = goOnce(text, reply, sizeof reply);
    if (outcome != kGoRefused && outcome != kGoLineError) {
      break;
    }
    // Still in the bootloader, or a damaged "0" from one that has jumped: a second G reaches
    // only a bootloader, and a switch that has jumped answers it with silence.
    ispAbort();
  }
  return ispLogGo(outcome);
}

int nxpPrepareSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "P %u %u %u", unsigned{startSector}, unsigned{endSector},
                unsigned{bank});
  return ispLogCommand("prepare", commandRepeatable(text));
}

int nxpCopyRamToFlash(std::uint32_t flashAddress, std::uint32_t ramAddress, std::uint32_t count,
                      int* answered) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "C %u %u %u", flashAddress, ramAddress, count);
  char echo[kEchoLineSize];
  char reply[kShortReplySize];
  const int exchange = ispCommandEcho(text, echo, sizeof echo, reply, sizeof reply);
  int answer = exchange;
  // Only a look ahead: the caller's policy decision counts the repeat.
  if (linePolicy(kStepCopy, exchange) == kActReadAnswer) {
    // A refusal shows that the line the bootloader received programmed nothing.
    answer = answerToOtherLine(reply, sizeof reply);
    endExchange(answer == kExchangeRefused ? answer : kExchangeGarbled);
  } else {
    endExchange(exchange);
  }
  if (answered != nullptr) {
    *answered = answer;
  }
  return ispLogCommand("copy", exchange);
}

namespace {

// One blank check: "0" when the sectors are blank; SECTOR_NOT_BLANK (8) comes with the offset
// and the value of the first word that is not, both read so that the next reply is in step,
// and sets *notBlank.
int blankCheckOnce(const char* text, bool* notBlank) {
  char line[kLongReplySize];
  const int exchange = ispCommand(text, line, sizeof line);
  if (exchange != kExchangeRefused || std::strcmp(line, "8") != 0) {
    return endExchange(exchange);
  }
  std::uint32_t offsetAndValue[2];
  const int lines = readTwoDecimalLines(offsetAndValue);
  *notBlank = lines == kExchangeOk;
  return *notBlank ? kExchangeRefused : lines;
}

}  // namespace

int nxpEraseSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "E %u %u %u", unsigned{startSector}, unsigned{endSector},
                unsigned{bank});
  const int erased = commandOnce(text);
  if (erased != kExchangeOk) {
    return ispLogCommand("erase", erased);
  }
  // The answer "0" is one byte that a refusal such as "7" or "9" becomes with one byte
  // replaced on the line: the sectors are asked whether they are blank before anything is
  // copied into them. A refusal here is an erase that did not happen.
  text[0] = 'I';
  int outcome = kExchangeEchoDiffers;
  bool notBlank = false;
  for (int attempt = 0; attempt < kCommandAttempts && !notBlank; ++attempt) {
    outcome = blankCheckOnce(text, &notBlank);
    if (lineAction(kStepQuery, outcome) != kActAskAgain) {
      break;
    }
  }
  return ispLogCommand("erase", outcome);
}

namespace {

// One compare: kCompareEqual, kCompareDifferent, or the exchange's outcome when it was
// neither (a refusal included: "1" may be a "10" that lost a bit) as -1 - outcome.
int compareOnce(const char* text) {
  char line[kLongReplySize];
  int exchange = ispCommand(text, line, sizeof line);
  if (exchange == kExchangeOk) {
    return kCompareEqual;
  }
  if (exchange == kExchangeRefused && std::strcmp(line, "10") == 0) {
    // COMPARE_ERROR is followed by the offset of the first difference; it is read only to
    // keep the next command's reply in step, since the block is rewritten whole anyway.
    if (ispReadReply(line, sizeof line) > 0 && isDecimalText(line)) {
      return kCompareDifferent;
    }
    exchange = kExchangeGarbled;
  }
  endExchange(exchange == kExchangeRefused ? kExchangeGarbled : exchange);
  return -1 - exchange;
}

}  // namespace

int nxpCompare(std::uint32_t address1, std::uint32_t address2, std::uint32_t count) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "M %u %u %u", address1, address2, count);
  // COMPARE_ERROR is "10" and then the offset, often "0": a lost '1', or a burst that takes
  // "10" and the offset's leading digits, leaves a lone "0" that no single answer tells from
  // success. So equal takes two answers "0"; a difference is believed at once, since no single
  // fault makes "10" and an offset out of "0".
  int equalAnswers = 0;
  for (int attempt = 0; attempt < kCompareAttempts; ++attempt) {
    const int result = compareOnce(text);
    if (result == kCompareDifferent) {
      return ispLogCompare(kCompareDifferent);
    }
    if (result == kCompareEqual) {
      if (++equalAnswers == kCompareEqualAnswers) {
        return ispLogCompare(kCompareEqual);
      }
      continue;
    }
    if (lineAction(kStepQuery, -1 - result) != kActAskAgain) {
      break;
    }
  }
  return ispLogCompare(kCompareFailed);
}

namespace {

// One part identification: its two words, each a decimal line and nothing else. The
// exchange's outcome.
int readPartIdOnce(std::uint32_t words[2]) {
  char line[kLongReplySize];
  const int exchange = ispCommand("J", line, sizeof line);
  return exchange != kExchangeOk ? endExchange(exchange) : readTwoDecimalLines(words);
}

}  // namespace

int nxpReadPartId(std::uint32_t words[2]) {
  // A digit that takes a bit error may still be a digit, so the words count only when two
  // reads in a row agree; an identification never read is none at all, never a 512 KB bank.
  std::uint32_t before[2] = {0, 0};
  bool haveBefore = false;
  for (int read = 0; read < kPartIdReads; ++read) {
    words[0] = 0;
    words[1] = 0;
    int outcome = readPartIdOnce(words);
    if (outcome == kExchangeOk) {
      words[0] &= 0xFFFFu;
      if (haveBefore && words[0] == before[0] && words[1] == before[1]) {
        ispLogPartId(words);
        return kPartIdRead;
      }
      outcome = haveBefore ? kExchangeGarbled : kExchangeOk;
      before[0] = words[0];
      before[1] = words[1];
      haveBefore = true;
    }
    if (outcome != kExchangeOk && lineAction(kStepQuery, outcome) != kActAskAgain) {
      break;
    }
  }
  words[0] = 0;
  words[1] = 0;
  ispLogPartIdUnread();
  return kPartIdUnread;
}
