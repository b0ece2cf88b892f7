#include "isp/isp_transfer.h"

#include <cstdint>
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
constexpr int kBlockMisdirected = 4;   // the "W" arrived with an address that reaches back into
                                       // blocks this write has already put in place

// A block refused with "RESEND" after an echo that showed every line as sent is sent again
// within the same "W" this many more times.
constexpr int kBlockResends = 3;
// A block or piece that the line spoils is given a fresh "W" up to this many times in all.
constexpr int kBlockAttempts = 8;
// A write goes back to where a "W" that arrived with another address may have put data up to
// this many times.
constexpr int kWriteRewinds = 8;

// A write in progress: its first address and, after kBlockMisdirected, the lowest address of
// the bytes already in place that a "W" which arrived otherwise may have overwritten.
struct t_RamWrite {
  std::uint32_t writtenFrom;
  std::uint32_t strayFrom;
};

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

// Reads "W <address> <count>" exactly; false for anything else.
bool parseWriteCommand(const char* text, std::uint32_t* address, std::uint32_t* count) {
  std::uint32_t values[2] = {0, 0};
  if (text[0] != 'W') {
    return false;
  }
  ++text;
  for (std::uint32_t& value : values) {
    if (*text++ != ' ' || *text < '0' || *text > '9') {
      return false;
    }
    std::uint64_t v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
      v = v * 10u + static_cast<std::uint64_t>(*text - '0');
      if (v > UINT32_MAX) {
        return false;
      }
    }
    value = static_cast<std::uint32_t>(v);
  }
  *address = values[0];
  *count = values[1];
  return *text == '\0';
}

// Whether a "W" that came back as `echo` may have written over the bytes from the write's
// first address up to ramAddress, which this write has already put in place; if so, where the
// write must go again from. An echo that is no "W" command at all was refused by the
// bootloader, or damaged on its way back from one that arrived as sent.
bool overwritesEarlierBlocks(const char* echo, t_RamWrite* write, std::uint32_t ramAddress) {
  std::uint32_t address = 0;
  std::uint32_t count = 0;
  if (!parseWriteCommand(echo, &address, &count) || address >= ramAddress ||
      static_cast<std::uint64_t>(address) + count <= write->writtenFrom) {
    return false;
  }
  // The bootloader takes only whole words; a word it may have touched goes again whole.
  const std::uint32_t word = address & ~3u;
  write->strayFrom = word > write->writtenFrom ? word : write->writtenFrom;
  return true;
}

int writeBlockOnce(t_RamWrite* write, std::uint32_t ramAddress, const std::uint8_t* bytes,
                   std::uint32_t length) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "W %u %u", ramAddress, announcedCount(length));
  char echo[kCommandTextSize * 2];
  char reply[kCodeLineSize];
  switch (ispCommandEcho(text, echo, sizeof echo, reply, sizeof reply)) {
    case kExchangeOk:
      return sendBlockData(bytes, length);
    case kExchangeEchoDiffers:
      return overwritesEarlierBlocks(echo, write, ramAddress) ? kBlockMisdirected
                                                                    : kBlockLineError;
    case kExchangeRefused:
      return kBlockRejected;
    case kExchangeNoReply:
      return kBlockNoReply;
    default:
      return kBlockLineError;
  }
}

// A block that the line has spoilt this many times is sent in pieces of one line each: on a
// line too noisy for a whole block to come through, a piece still does.
constexpr int kWholeBlockAttempts = 2;
constexpr std::uint32_t kPieceBytes = 44;  // one data line, a whole number of words

// Sends one block (or piece) with a fresh "W" until it arrives as it was sent, at most
// `attempts` times. kBlockMisdirected ends the attempts: the caller writes again from where
// that "W" may have put data.
int sendUntilArrived(t_RamWrite* write, std::uint32_t ramAddress,
                     const std::uint8_t* bytes, std::uint32_t length, int attempts) {
  int result = kBlockLineError;
  bool refused = false;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    result = writeBlockOnce(write, ramAddress, bytes, length);
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

int writeBlock(t_RamWrite* write, std::uint32_t ramAddress, const std::uint8_t* bytes,
               std::uint32_t length) {
  if (length <= kPieceBytes) {
    return sendUntilArrived(write, ramAddress, bytes, length, kBlockAttempts);
  }
  const int result = sendUntilArrived(write, ramAddress, bytes, length, kWholeBlockAttempts);
  if (result == kBlockWritten || result == kBlockMisdirected) {
    return result;
  }
  for (std::uint32_t done = 0; done < length; done += kPieceBytes) {
    const std::uint32_t piece = length - done < kPieceBytes ? length - done : kPieceBytes;
    const int pieceResult =
        sendUntilArrived(write, ramAddress + done, bytes + done, piece, kBlockAttempts);
    if (pieceResult != kBlockWritten) {
      return pieceResult;
    }
  }
  return kBlockWritten;
}

int writeAllBlocks(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t count) {
  t_RamWrite write{ramAddress, ramAddress};
  std::uint32_t done = 0;
  int rewinds = 0;
  while (done != count) {
    const std::uint32_t length = blockLength(count - done);
    const int result = writeBlock(&write, ramAddress + done, bytes + done, length);
    if (result == kBlockMisdirected && rewinds < kWriteRewinds) {
      ++rewinds;
      done = write.strayFrom - ramAddress;
      continue;
    }
    if (result != kBlockWritten) {
      return result;
    }
    done += length;
  }
  return kBlockWritten;
}

}  // namespace

int nxpWriteRam(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t count) {
  switch (writeAllBlocks(ramAddress, bytes, count)) {
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

// A data line as the bootloader sends it: a length character for up to 45 bytes, then four
// characters for every three of them, each from the backtick form's range. (A line of no
// bytes is only its length character, and decodes nothing.)
bool dataLineWellFormed(const char* line, int length) {
  for (int i = 0; i < length; ++i) {
    if (line[i] < ' ' || line[i] > '`') {
      return false;
    }
  }
  const int bytes = (line[0] - ' ') & 0x3F;
  return length >= 1 && bytes <= static_cast<int>(kUuLineBytes) && length == 1 + 4 * ((bytes + 2) / 3);
}

int receiveBlock(std::uint8_t* block, std::uint32_t announced) {
  char line[kDataLineSize + 1];
  char sumLine[kCodeLineSize];
  for (int sent = 0; sent <= kReadResends; ++sent) {
    std::uint32_t decodedBytes = 0;
    while (decodedBytes != announced) {
      const int length = ispReadReply(line, sizeof line);
      if (length < 0) {
        return kReadTimedOut;
      }
      // A damaged line may not even say how long it is: the block is asked for afresh.
      if (!dataLineWellFormed(line, length)) {
        return kReadLineError;
      }
      decodedBytes += static_cast<std::uint32_t>(
          uuDecodeLine(block + decodedBytes, line, announced - decodedBytes));
    }
    if (ispReadReply(sumLine, sizeof sumLine) < 0) {
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
