#include "isp/isp_commands.h"

#include <cstring>

#include "isp/device_line.h"
#include "isp/isp_exchange.h"
#include "isp/isp_log.h"
#include "support/clock.h"
#include "transport/serial.h"

char probeChar = '?';

namespace {

constexpr int kSyncAttempts = 4;
constexpr int kBootloaderBaud = 115200;
constexpr int kFirmwareBaud = 19200;
constexpr std::uint32_t kProbeGapMs = 10;

constexpr int kSyncLineSize = 20;
constexpr int kShortReplySize = 7;
constexpr int kLongReplySize = 11;
constexpr int kCommandTextSize = 40;  // the longest command line and its NUL

// How often a command that changes no flash is sent when the line spoils its exchange.
constexpr int kCommandAttempts = 3;

int commandOutcome(int exchange) {
  switch (exchange) {
    case kExchangeOk:
      return kCommandOk;
    case kExchangeRefused:
      return kCommandRefused;
    default:
      return kCommandLineError;
  }
}

// One exchange: the line, its echo and its return code.
int commandOnce(const char* text) {
  char reply[kShortReplySize];
  const int outcome = commandOutcome(ispCommand(text, reply, sizeof reply));
  if (outcome == kCommandLineError) {
    ispAbort();
  }
  return outcome;
}

// A command that may safely be given again.
int commandRepeatable(const char* text) {
  int outcome = kCommandLineError;
  for (int attempt = 0; attempt < kCommandAttempts && outcome == kCommandLineError; ++attempt) {
    outcome = commandOnce(text);
  }
  return outcome;
}

// The standard atoi's reading of a reply line, without its undefined overflow: digits
// accumulate modulo 2^32, which is what a ten-digit part ID needs.
std::uint32_t decimalWord(const char* text) {
  while (*text == ' ' || *text == '\t') {
    ++text;
  }
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  std::uint32_t value = 0;
  while (*text >= '0' && *text <= '9') {
    value = value * 10u + static_cast<std::uint32_t>(*text - '0');
    ++text;
  }
  return negative ? 0u - value : value;
}

// Case a: a bootloader that has just measured the rate from '?'. It echoes what it gets.
bool completeHandshake() {
  char line[kSyncLineSize];
  devSend("Synchronized\r\n");
  if (devReadCrLine(line, sizeof line) == 0) {  // the echo, or its stray line break
    devReadCrLine(line, sizeof line);
  }
  if (devReadCrLine(line, sizeof line) < 0 || std::strcmp(line, "OK") != 0) {
    return false;
  }
  // The crystal-frequency line: these parts run the ROM from their internal oscillator and
  // ignore its value.
  devSend("O\r");
  devReadCrLine(line, sizeof line);  // the echo
  if (devReadCrLine(line, sizeof line) < 0 || std::strcmp(line, "OK") != 0) {
    return false;
  }
  return nxpEchoOn() == 1;
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
// turned on again: every later exchange reads it to see what the bootloader received.
bool restoreEcho() {
  char line[kSyncLineSize];
  devSend("A 1\r");
  const int length = devReadCrLine(line, sizeof line);
  return length == 1 || line[0] == '0';
}

int syncAttempt() {
  if (currentBaud == kFirmwareBaud) {
    comSetBaud(&devicePort, kBootloaderBaud);
    currentBaud = kBootloaderBaud;
    probeChar = '?';
  } else {
    comSetBaud(&devicePort, kFirmwareBaud);
    currentBaud = kFirmwareBaud;
    probeChar = '*';
  }
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

  char line[kSyncLineSize];
  const int length = devReadLine(line, sizeof line, "$\r");
  if (length == 12 && std::strcmp(line, "Synchronized") == 0) {
    return completeHandshake() ? kSyncBootloader : kSyncNothing;
  }
  if (length == 2 && std::strcmp(line, "^P") == 0) {
    return leaveEchoingState() ? kSyncBootloader : kSyncNothing;
  }
  if (length == 1 && line[0] == '1') {
    return restoreEcho() ? kSyncBootloader : kSyncNothing;
  }
  if (length == 2 && std::strcmp(line, "^+") == 0) {
    devFlushInput();
    return kSyncFirmware;
  }
  if (length == 5 && std::strncmp(line, "^=P", 3) == 0) {
    return kSyncFirmware;
  }
  return kSyncNothing;
}

}  // namespace

int nxpEchoOn() {
  char line[kSyncLineSize];
  devSend("A 1\r");
  int length = devReadCrLine(line, sizeof line);
  if (length == 0) {
    length = devReadCrLine(line, sizeof line);  // a line end echoed as CR LF LF
  }
  if (length == 3) {
    devReadCrLine(line, sizeof line);  // that was the echo of "A 1"
  }
  return std::strcmp(line, "0") == 0 ? 1 : 0;
}

int nxpSync() {
  for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
    const int result = syncAttempt();
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
  int exchange = kExchangeEchoDiffers;
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    exchange = ispCommand(text, reply, sizeof reply);
    // A refusal after a damaged line means the bootloader is still there to be asked again;
    // silence or "0" means it has jumped.
    if (exchange != kExchangeEchoDiffers || reply[0] == '\0' || reply[0] == '0') {
      break;
    }
    ispAbort();
  }
  // The bootloader may jump before its reply is on the wire, so silence counts as success.
  return ispLogCommand("go", (reply[0] == '\0' || reply[0] == '0') ? kCommandOk : kCommandRefused);
}

int nxpPrepareSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "P %u %u %u", unsigned{startSector}, unsigned{endSector},
                unsigned{bank});
  return ispLogCommand("prepare", commandRepeatable(text));
}

int nxpCopyRamToFlash(std::uint32_t flashAddress, std::uint32_t ramAddress, std::uint32_t count) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "C %u %u %u", flashAddress, ramAddress, count);
  return ispLogCommand("copy", commandOnce(text));
}

int nxpEraseSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "E %u %u %u", unsigned{startSector}, unsigned{endSector},
                unsigned{bank});
  return ispLogCommand("erase", commandOnce(text));
}

namespace {

// One compare: kCompareEqual, kCompareDifferent, or -1 when the line spoilt the exchange or
// the answer was neither (a refusal included: "1" may be a "10" that lost a bit).
int compareOnce(const char* text) {
  char line[kLongReplySize];
  const int exchange = ispCommand(text, line, sizeof line);
  if (exchange == kExchangeOk) {
    return kCompareEqual;
  }
  if (exchange == kExchangeRefused && std::strcmp(line, "10") == 0) {
    // COMPARE_ERROR is followed by the offset of the first difference; it is read only to
    // keep the next command's reply in step, since the block is rewritten whole anyway.
    if (ispReadReply(line, sizeof line) > 0 && isDecimalText(line)) {
      return kCompareDifferent;
    }
  }
  ispAbort();
  return -1;
}

}  // namespace

int nxpCompare(std::uint32_t address1, std::uint32_t address2, std::uint32_t count) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "M %u %u %u", address1, address2, count);
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    const int result = compareOnce(text);
    if (result >= 0) {
      return ispLogCompare(result);
    }
  }
  return ispLogCompare(kCompareFailed);
}

int nxpReadPartId(std::uint32_t words[2]) {
  char line[kLongReplySize];
  char first[kLongReplySize] = "";
  char second[kLongReplySize] = "";
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    // The return code is read only to reach the identification words: a bootloader that
    // refuses sends no words, and the missing second word then reads as 0 (a 512 KB bank).
    const int exchange = ispCommand("J", line, sizeof line);
    if (exchange == kExchangeOk) {
      devReadTextLine(first, sizeof first);
      devReadTextLine(second, sizeof second);
      break;
    }
    if (exchange == kExchangeRefused || exchange == kExchangeNoReply) {
      break;
    }
    ispAbort();  // the bootloader got another command, or its reply is damaged: ask again
  }
  words[0] = decimalWord(first) & 0xFFFFu;
  words[1] = decimalWord(second);
  ispLogPartId(words);
  return 0;
}
