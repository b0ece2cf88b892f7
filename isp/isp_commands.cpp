#include "isp/isp_commands.h"

#include <cstring>

#include "isp/device_line.h"
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

// Reads one reply line and judges it by its first character, as every simple command does.
int replySucceeded(const char* step) {
  char line[kShortReplySize];
  devReadCrLine(line, sizeof line);
  return ispLogReply(step, line[0] == '0' ? 0 : 1, line);
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
  return nxpEchoOff() == 1;
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
  return nxpEchoOff() == 1;
}

// Case c: echo is already off, and the probe line was rejected as an invalid command.
bool confirmEchoOff() {
  char line[kSyncLineSize];
  devSend("A 0\r");
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
    return confirmEchoOff() ? kSyncBootloader : kSyncNothing;
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

int nxpEchoOff() {
  char line[kSyncLineSize];
  devSend("A 0\r");
  if (devReadCrLine(line, sizeof line) == 3) {
    devReadCrLine(line, sizeof line);  // that was the echo of "A 0"
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

int nxpUnlock() {
  devSend("U 23130\r\n");
  return replySucceeded("unlock");
}

int nxpGo(std::uint32_t address) {
  devPrintf("G %u T\r\n", address);
  // The bootloader may jump before its reply is on the wire, so silence counts as success.
  char line[kShortReplySize];
  devReadCrLine(line, sizeof line);
  return ispLogReply("go", (line[0] == '\0' || line[0] == '0') ? 0 : 1, line);
}

int nxpPrepareSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank) {
  devPrintf("P %u %u %u\r\n", unsigned{startSector}, unsigned{endSector}, unsigned{bank});
  return replySucceeded("prepare");
}

int nxpCopyRamToFlash(std::uint32_t flashAddress, std::uint32_t ramAddress, std::uint32_t count) {
  devPrintf("C %u %u %u\r\n", flashAddress, ramAddress, count);
  return replySucceeded("copy");
}

int nxpEraseSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank) {
  devPrintf("E %u %u %u\r\n", unsigned{startSector}, unsigned{endSector}, unsigned{bank});
  return replySucceeded("erase");
}

int nxpCompare(std::uint32_t address1, std::uint32_t address2, std::uint32_t count) {
  devPrintf("M %u %u %u\r\n", address1, address2, count);
  char line[kLongReplySize];
  devReadCrLine(line, sizeof line);
  if (line[0] == '0') {
    return ispLogCompare(kCompareEqual, line);
  }
  if (line[0] == '1' && line[1] == '0') {
    // COMPARE_ERROR is followed by the offset of the first difference; it is read only to
    // keep the next command's reply in step, since the block is rewritten whole anyway.
    devReadCrLine(line, sizeof line);
    return ispLogCompare(kCompareDifferent, "10");
  }
  return ispLogCompare(kCompareFailed, line);
}

int nxpReadPartId(std::uint32_t words[2]) {
  devSend("J\r\n");
  char line[kLongReplySize];
  // The return code is read only to reach the identification words: a bootloader that
  // refuses sends no words, and the missing second word then reads as 0 (a 512 KB bank).
  devReadCrLine(line, sizeof line);
  devReadCrLine(line, sizeof line);
  words[0] = decimalWord(line) & 0xFFFFu;
  devReadCrLine(line, sizeof line);
  words[1] = decimalWord(line);
  ispLogPartId(words);
  return 0;
}
