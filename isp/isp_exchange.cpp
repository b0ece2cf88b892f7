#include "isp/isp_exchange.h"

#include <cstring>

#include "isp/device_line.h"

namespace {

constexpr int kEsc = 0x1B;
// Longer than the bootloader's turnaround and a USB adapter's latency timer, so that what it
// still sends about the broken exchange has come before the drain ends.
constexpr std::uint32_t kQuietMs = 50;
constexpr std::uint32_t kDrainLimitMs = 1000;

}  // namespace

void ispSendLine(const char* text) {
  char line[kEchoLineSize + 2];
  const std::size_t length = std::strlen(text);
  if (length > static_cast<std::size_t>(kEchoLineSize)) {
    devSend(text);  // longer than any line the protocol has; still sent whole
    devSend("\r\n");
    return;
  }
  std::memcpy(line, text, length);
  std::memcpy(line + length, "\r\n", 3);
  devSend(line);
}

bool ispEchoMatches(const char* text) {
  char echo[kEchoLineSize];
  return devReadTextLine(echo, sizeof echo) >= 0 && std::strcmp(echo, text) == 0;
}

bool isDecimalText(const char* text) {
  if (*text == '\0') {
    return false;
  }
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') {
      return false;
    }
  }
  return true;
}

int ispCommand(const char* text, char* reply, int size) {
  reply[0] = '\0';
  ispSendLine(text);
  if (!ispEchoMatches(text)) {
    return kExchangeEchoDiffers;
  }
  if (devReadTextLine(reply, size) < 0) {
    return kExchangeNoReply;
  }
  if (reply[0] == '0') {
    return kExchangeOk;
  }
  return isDecimalText(reply) ? kExchangeRefused : kExchangeGarbled;
}

void ispAbort() {
  devSendChar(kEsc);
  devDrainInput(kQuietMs, kDrainLimitMs);
}
