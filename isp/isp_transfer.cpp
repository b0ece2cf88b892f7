#include "isp/isp_transfer.h"

#include <cstdlib>
#include <cstring>

#include "isp/device_line.h"
#include "isp/isp_exchange.h"
#include "support/console.h"

namespace {

constexpr int kCodeLineSize = 7;                  // return code, checksum, OK or RESEND
constexpr int kDataLineSize = kUuLineChars + 1;   // 61 characters and the NUL
constexpr int kCommandTextSize = 32;              // "W" or "R", two numbers and the NUL

std::uint32_t blockLength(std::uint32_t count) {
  return count < kUuBlockBytes ? count : kUuBlockBytes;
}

// The bootloader only moves whole words, so the announced count is rounded up.
std::uint32_t announcedCount(std::uint32_t length) { return (length + 3u) & ~3u; }

std::uint32_t blockSum(const std::uint8_t* bytes, std::uint32_t length) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    sum += bytes[i];
  }
  return sum;
}

// Data line `index` of a block, encoded.
void blockLine(char* line, const std::uint8_t* bytes, std::uint32_t length, std::uint32_t index) {
  const std::uint32_t done = index * kUuLineBytes;
  const std::uint32_t left = length - done;
  uuEncodeLine(line, bytes + done, static_cast<int>(left < kUuLineBytes ? left : kUuLineBytes));
}

std::uint32_t blockLineCount(std::uint32_t length) {
  return (length + kUuLineBytes - 1) / kUuLineBytes;
}

void sendBlockLines(const std::uint8_t* bytes, std::uint32_t length) {
  char line[kDataLineSize];
  for (std::uint32_t index = 0; index < blockLineCount(length); ++index) {
    blockLine(line, bytes, length, index);
    ispSendLine(line);
  }
}

// The echo of every data line and of the checksum line, as sent.
bool blockEchoed(const std::uint8_t* bytes, std::uint32_t length, const char* sumText) {
  char line[kDataLineSize];
  for (std::uint32_t index = 0; index < blockLineCount(length); ++index) {
    blockLine(line, bytes, length, index);
    if (!ispEchoMatches(line)) {
      return false;
    }
  }
  return ispEchoMatches(sumText);
}

// Results of one attempt at one block of a write.
constexpr int kBlockWritten = 0;
constexpr int kBlockNoReply = 1;       // nothing came back
constexpr int kBlockRejected = 2;      // the "W" arrived as sent and was refused
constexpr int kBlockLineError = 3;     // the data arrived otherwise: this block again
constexpr int kBlockMisdirected = 4;   // the "W" arrived otherwise: it may have written anywhere

// A block refused with "RESEND" after an echo that showed every line as sent is sent again
// within the same "W" this many more times.
constexpr int kBlockResends = 3;
// A block that the line spoils is given a fresh "W" up to this many times in all.
constexpr int kBlockAttempts = 8;
// A write whose "W" arrived otherwise starts again from its first block up to this many times.
constexpr int kWriteRestarts = 4;

int sendBlockData(const std::uint8_t* bytes, std::uint32_t length) {
  char sumText[kCodeLineSize + 8];
  devFormatLine(sumText, sizeof sumText, "%u", blockSum(bytes, length));
  char reply[kCodeLineSize];
  for (int sent = 0; sent <= kBlockResends; ++sent) {
    sendBlockLines(bytes, length);
    ispSendLine(sumText);
    if (!blockEchoed(bytes, length, sumText)) {
      return kBlockLineError;  // the bootloader's RAM may hold other bytes, even after "OK"
    }
    if (ispReadReply(reply, sizeof reply) < 0) {
      return kBlockNoReply;
    }
    if (std::strcmp(reply, "OK") == 0) {
      return kBlockWritten;
    }
    if (std::strcmp(reply, "RESEND") != 0) {
      return kBlockLineError;
    }
    // Every line arrived as sent and the bootloader still wants the block: it waits for it.
  }
  return kBlockNoReply;
}

int writeBlockOnce(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t length) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "W %u %u", ramAddress, announcedCount(length));
  char reply[kCodeLineSize];
  switch (ispCommand(text, reply, sizeof reply)) {
    case kExchangeOk:
      return sendBlockData(bytes, length);
    case kExchangeEchoDiffers:
      return kBlockMisdirected;
    case kExchangeRefused:
      return kBlockRejected;
    case kExchangeNoReply:
      return kBlockNoReply;
    default:
      return kBlockLineError;
  }
}

// One block, sent until it arrives as it was sent. kBlockMisdirected ends the attempts: the
// caller starts the whole write again.
int writeBlock(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t length) {
  int result = kBlockLineError;
  bool refused = false;
  for (int attempt = 0; attempt < kBlockAttempts; ++attempt) {
    result = writeBlockOnce(ramAddress, bytes, length);
    if (result == kBlockWritten) {
      return result;
    }
    // A refusal is asked again too: "1" may be a "0" that lost a bit, with the bootloader
    // waiting for the block.
    refused = refused || result == kBlockRejected;
    ispAbort();
    if (result == kBlockMisdirected) {
      return result;
    }
  }
  return refused ? kBlockRejected : result;
}

int writeAllBlocks(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t count) {
  while (count != 0) {
    const std::uint32_t length = blockLength(count);
    const int result = writeBlock(ramAddress, bytes, length);
    if (result != kBlockWritten) {
      return result;
    }
    ramAddress += length;
    bytes += length;
    count -= length;
  }
  return kBlockWritten;
}

}  // namespace

int nxpWriteRam(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t count) {
  int result = kBlockMisdirected;
  // A "W" that arrived with another address may have overwritten any block written before it.
  for (int round = 0; round <= kWriteRestarts && result == kBlockMisdirected; ++round) {
    result = writeAllBlocks(ramAddress, bytes, count);
  }
  switch (result) {
    case kBlockWritten:
      return kWriteRamOk;
    case kBlockRejected:
      return kWriteRamRejected;
    default:
      return kWriteRamNoReply;
  }
}

namespace {

// Results of one attempt at one block of a read.
constexpr int kReadDone = 0;
constexpr int kReadRejected = 1;   // the "R" arrived as sent and was refused
constexpr int kReadTimedOut = 2;   // a data or checksum line did not come
constexpr int kReadLineError = 3;  // the "R" arrived otherwise, or the reply was damaged
constexpr int kReadNoReply = 4;    // no return code came

// A block whose sum does not match is asked for again with RESEND this many more times.
constexpr int kReadResends = 3;
// A block whose exchange the line spoils gets a fresh "R" up to this many times in all.
constexpr int kReadAttempts = 4;

// The host's answer to a block; its echo must come back as sent, or the bootloader may be
// sending the block again.
bool answerBlock(const char* answer) {
  ispSendLine(answer);
  return ispEchoMatches(answer);
}

int receiveBlock(std::uint8_t* block, std::uint32_t announced) {
  char line[kDataLineSize];
  char sumLine[kCodeLineSize];
  for (int sent = 0; sent <= kReadResends; ++sent) {
    std::uint32_t decodedBytes = 0;
    while (decodedBytes != announced) {
      if (devReadTextLine(line, sizeof line) < 0) {
        return kReadTimedOut;
      }
      decodedBytes += static_cast<std::uint32_t>(
          uuDecodeLine(block + decodedBytes, line, announced - decodedBytes));
    }
    if (devReadTextLine(sumLine, sizeof sumLine) < 0) {
      return kReadTimedOut;
    }
    if (isDecimalText(sumLine) &&
        static_cast<long>(blockSum(block, announced)) == std::strtol(sumLine, nullptr, 10)) {
      return answerBlock("OK") ? kReadDone : kReadLineError;
    }
    if (!answerBlock("RESEND")) {
      return kReadLineError;
    }
  }
  return kReadLineError;
}

int readBlockOnce(std::uint8_t* block, std::uint32_t address, std::uint32_t announced) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "R %u %u", address, announced);
  char reply[kCodeLineSize];
  switch (ispCommand(text, reply, sizeof reply)) {
    case kExchangeOk:
      return receiveBlock(block, announced);
    case kExchangeRefused:
      return kReadRejected;
    case kExchangeNoReply:
      return kReadNoReply;
    default:
      return kReadLineError;
  }
}

}  // namespace

int nxpReadMemory(std::uint8_t* dest, std::uint32_t address, std::uint32_t count) {
  static_assert(kUuBlockBytes % 4 == 0, "a rounded-up block must still fit the block buffer");
  // The bootloader sends and sums the whole rounded-up block, so it is taken in whole here and
  // only the bytes asked for are handed on.
  std::uint8_t block[kUuBlockBytes];
  int received = 0;
  while (count != 0) {
    const std::uint32_t length = blockLength(count);
    int result = kReadLineError;
    bool timedOut = false;
    bool refused = false;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
      result = readBlockOnce(block, address, announcedCount(length));
      if (result == kReadDone) {
        break;
      }
      // A refusal is asked again too: it may be a "0" that lost a bit, the block on its way.
      timedOut = timedOut || result == kReadTimedOut;
      refused = refused || result == kReadRejected;
      ispAbort();
    }
    if (result != kReadDone && refused) {
      return -received;
    }
    if (result != kReadDone) {
      if (timedOut) {
        conPrintf("Timeout\n");
      }
      return 0;
    }
    std::memcpy(dest, block, length);
    dest += length;
    received += static_cast<int>(length);
    address += length;
    count -= length;
  }
  return received;
}
