#include "isp/isp_exchange.h"

#include <cstring>

#include "isp/device_line.h"

namespace {

constexpr int kEsc = 0x1B;

}  // namespace

void ispSendLine(const char* text) {
  char line[kEchoLineSize + 3];  // the text, CR LF and the NUL
  const std::size_t length = std::strlen(text);
  if (length > static_cast<std::size_t>(kEchoLineSize)) {
    devSendEchoed(text);  // longer than any line the protocol has; still sent whole
    devSendEchoed("\r\n");
    return;
  }
  std::memcpy(line, text, length);
  std::memcpy(line + length, "\r\n", 3);
  devSendEchoed(line);
}

int ispReadEcho(const char* text) {
  int differsAt = -1;
  return ispReadEchoAt(text, &differsAt);
}

int ispReadEchoAt(const char* text, int* differsAt) {
  char echo[kEchoLineSize];
  *differsAt = -1;
  const std::size_t expected = std::strlen(text);
  const int length = devReadEchoLine(echo, sizeof echo, static_cast<int>(expected));
  if (length < 0) {
    return kEchoLost;
  }
  if (static_cast<std::size_t>(length) != expected) {
    return kEchoOtherwise;
  }
  int differing = 0;
  for (std::size_t i = 0; i < expected; ++i) {
    if (echo[i] != text[i]) {
      ++differing;
      *differsAt = static_cast<int>(i);
    }
  }
  if (differing > 1) {
    *differsAt = -1;
  }
  return differing == 0 ? kEchoSame : kEchoOtherwise;
}

bool ispEchoMatches(const char* text) { return ispReadEcho(text) == kEchoSame; }

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

int ispReadReply(char* reply, int size, std::uint32_t limitMs) {
  return ispReadDataLine(reply, size, 1, limitMs);
}

int ispReadDataLine(char* reply, int size, int expected, std::uint32_t limitMs) {
  int length = 0;
  for (int skipped = 0; length == 0 && skipped <= kEmptyLinesPassed; ++skipped) {
    length = devReadReplyLine(reply, size - 1, expected, limitMs);
  }
  if (length <= 0) {
    reply[0] = '\0';
    return -1;
  }
  reply[length] = '\0';
  return std::memchr(reply, '\0', static_cast<std::size_t>(length)) == nullptr ? length : 0;
}

int ispCommand(const char* text, char* reply, int size) {
  char echo[kEchoLineSize];
  return ispCommandEcho(text, echo, sizeof echo, reply, size);
}

int ispCommandEcho(const char* text, char* echo, int echoSize, char* reply, int size) {
  reply[0] = '\0';
  lineBudgetExchange();
  ispSendLine(text);
  const std::size_t expected = std::strlen(text);
  const int echoed = devReadEchoLine(echo, echoSize - 1, static_cast<int>(expected));
  echo[echoed > 0 ? echoed : 0] = '\0';
  if (echoed < 0 || static_cast<std::size_t>(echoed) != expected ||
      std::memcmp(echo, text, expected) != 0) {
    return kExchangeEchoDiffers;
  }
  const int length = ispReadReply(reply, size);
  if (length < 0) {
    return kExchangeNoReply;
  }
  // Exactly "0": one flipped bit makes "10" or "15" begin with '0'.
  if (std::strcmp(reply, "0") == 0) {
    return kExchangeOk;
  }
  if (length > 0 && isDecimalText(reply)) {
    lineBudgetRefusal(text, reply);
    return kExchangeRefused;
  }
  return kExchangeGarbled;
}

void ispAbort() {
  devSendChar(kEsc);
  devDrainInput(lineDrainQuietMs(), lineDrainLimitMs());
}
