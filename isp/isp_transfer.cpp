#include "isp/isp_transfer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "isp/device_line.h"
#include "isp/isp_exchange.h"
#include "isp/line_policy.h"
#include "support/console.h"

namespace {

constexpr int kCodeLineSize = 7;                  // return code, checksum, OK or RESEND
constexpr int kDataLineSize = kUuLineChars + 1;   // 61 characters and the NUL
constexpr int kCommandTextSize = 32;              // "W" or "R", two numbers and the NUL

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

// A read in progress: what its spoilt attempts came to, for the result of a read that fails.
struct t_MemoryRead {
  bool timedOut;  // a data or checksum line did not come
  bool refused;   // the "R" arrived as sent and was refused
};

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

// One block's lines and checksum: kExchangeOk, kExchangeRefused when its sum does not match
// (a damaged checksum line included), kExchangeNoReply when a line did not come, and
// kExchangeGarbled for a damaged data line, which may not even say how long it is.
int receiveBlockOnce(std::uint8_t* block, std::uint32_t announced) {
  char line[kDataLineSize + 1];
  std::uint32_t decodedBytes = 0;
  while (decodedBytes != announced) {
    const int length = ispReadDataLine(line, sizeof line, uuLineChars(announced - decodedBytes));
    if (length < 0) {
      return kExchangeNoReply;
    }
    if (!dataLineWellFormed(line, length)) {
      return kExchangeGarbled;
    }
    decodedBytes += static_cast<std::uint32_t>(
        uuDecodeLine(block + decodedBytes, line, announced - decodedBytes));
  }
  char sumLine[kCodeLineSize];
  if (ispReadReply(sumLine, sizeof sumLine) < 0) {
    return kExchangeNoReply;
  }
  return isDecimalText(sumLine) &&
                 static_cast<long>(blockSum(block, announced)) == std::strtol(sumLine, nullptr, 10)
             ? kExchangeOk
             : kExchangeRefused;
}

// A block, asked for again with RESEND while its sum does not match: kActDone, kActAskAgain
// or kActGiveUp.
int receiveBlock(t_MemoryRead* read, std::uint8_t* block, std::uint32_t announced) {
  for (int sent = 0; sent <= kReadResends; ++sent) {
    const int outcome = receiveBlockOnce(block, announced);
    read->timedOut = read->timedOut || outcome == kExchangeNoReply;
    int action = lineAction(kStepReadData, outcome);
    if ((action == kActDone || action == kActResend) &&
        !answerBlock(action == kActDone ? "OK" : "RESEND")) {
      // A RESEND has counted this block's repeat already; an OK whose echo failed has not.
      action = action == kActDone ? lineAction(kStepReadData, kExchangeEchoDiffers)
                                  : linePolicy(kStepReadData, kExchangeEchoDiffers);
    }
    if (action != kActResend) {
      return action;
    }
  }
  return kActAskAgain;
}

int readBlockOnce(t_MemoryRead* read, std::uint8_t* block, std::uint32_t address,
                  std::uint32_t announced) {
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "R %u %u", address, announced);
  char reply[kCodeLineSize];
  const int outcome = ispCommand(text, reply, sizeof reply);
  if (outcome == kExchangeOk) {
    return receiveBlock(read, block, announced);
  }
  read->refused = read->refused || outcome == kExchangeRefused;
  return lineAction(kStepQuery, outcome);
}

// How a block's lines and checksum came back: kEchoSame when all came back as sent;
// kEchoOtherwise when every line came back but not all as sent, so that the bootloader's
// answer to the block is next; kEchoLost when a line did not come back in time. When a single
// line came back otherwise, in a single character only: that line (the checksum line's index
// is the count of data lines) and the character's position; otherwise line is -1.
struct t_BlockEcho {
  int outcome;
  int line;
  int at;
};

t_BlockEcho blockEcho(const std::uint8_t* bytes, std::uint32_t length, const char* sumText) {
  char line[kDataLineSize];
  t_BlockEcho echo{kEchoSame, -1, -1};
  int linesOtherwise = 0;
  for (std::uint32_t index = 0; index <= blockLineCount(length); ++index) {
    const bool sum = index == blockLineCount(length);
    if (!sum) {
      blockLine(line, bytes, length, index);
    }
    int differsAt = -1;
    const int read = ispReadEchoAt(sum ? sumText : line, &differsAt);
    if (read == kEchoLost) {
      return t_BlockEcho{kEchoLost, -1, -1};
    }
    if (read != kEchoSame) {
      const bool single = ++linesOtherwise == 1 && differsAt >= 0;
      echo = t_BlockEcho{kEchoOtherwise, single ? static_cast<int>(index) : -1, differsAt};
    }
  }
  return echo;
}

// Whether RAM holds as sent the bytes that character `at` of data line `line` of a block
// written at ramAddress stands for: the group of three it is part of, read back in whole
// words. A read that the line spoils is ended with ESC and counts as not as sent. The length
// character is no data: a block whose echo differed there goes again.
bool ramHoldsCharacter(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t length,
                       int line, int at) {
  if (line < 0 || static_cast<std::uint32_t>(line) >= blockLineCount(length) || at < 1) {
    return false;
  }
  const std::uint32_t lineStart = static_cast<std::uint32_t>(line) * kUuLineBytes;
  const std::uint32_t lineEnd =
      length - lineStart < kUuLineBytes ? length : lineStart + kUuLineBytes;
  const std::uint32_t first = lineStart + static_cast<std::uint32_t>(at - 1) / 4u * 3u;
  if (first >= lineEnd) {
    return false;
  }
  const std::uint32_t end = first + 3u < lineEnd ? first + 3u : lineEnd;
  const std::uint32_t from = (ramAddress + first) & ~3u;
  const std::uint32_t to = (ramAddress + end + 3u) & ~3u;
  std::uint8_t words[8];  // three bytes span two words at most
  t_MemoryRead read{false, false};
  if (readBlockOnce(&read, words, from, to - from) != kActDone) {
    ispAbort();
    return false;
  }
  return std::memcmp(words + (ramAddress + first - from), bytes + first, end - first) == 0;
}

// A write in progress: its first address and, after a "W" that arrived elsewhere, the lowest
// address of the bytes already in place that it may have overwritten; whether the bootloader
// refused a "W" that came back as sent.
struct t_RamWrite {
  std::uint32_t writtenFrom;
  std::uint32_t strayFrom;
  bool refused;
};

// The bootloader's answer to a block, waited for limitMs: kExchangeOk for "OK",
// kExchangeRefused for RESEND.
int blockAnswer(std::uint32_t limitMs) {
  char reply[kCodeLineSize];
  if (ispReadReply(reply, sizeof reply, limitMs) < 0) {
    return kExchangeNoReply;
  }
  if (std::strcmp(reply, "OK") == 0) {
    return kExchangeOk;
  }
  return std::strcmp(reply, "RESEND") == 0 ? kExchangeRefused : kExchangeGarbled;
}

// A block's lines and checksum, sent again within the same "W" while the bootloader answers
// RESEND. kActDone, kActAskAgain, kActNewCommand (the bootloader took a block whose echo
// differed, and may hold other bytes though it answered OK) or kActGiveUp. When more blocks of
// the same "W" follow, the bootloader would take an "R" as data: a block to be read back is
// kActDone with its echo in *later, for a read-back once the "W" is over.
int sendBlockData(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t length, t_BlockEcho* later) {
  char sumText[kCodeLineSize + 8];
  devFormatLine(sumText, sizeof sumText, "%u", blockSum(bytes, length));
  for (int sent = 0; sent <= kBlockResends; ++sent) {
    lineBudgetExchange();
    sendBlockLines(bytes, length);
    ispSendLine(sumText);
    // An echo that did not come in time: the bootloader's answer will not either.
    const t_BlockEcho echo = blockEcho(bytes, length, sumText);
    int action = lineAction(kStepWriteData, echo.outcome == kEchoLost   ? kExchangeNoReply
                                            : echo.outcome == kEchoSame ? blockAnswer(lineTimeoutMs())
                                                                        : kExchangeEchoDiffers);
    if (action == kActReadAnswer) {
      action = lineAction(kStepWriteDataOtherwise, blockAnswer(lineBlockAnswerMs()));
    }
    if (action == kActReadBack && later != nullptr) {
      *later = echo;
      return kActDone;
    }
    if (action == kActReadBack) {
      action = ramHoldsCharacter(ramAddress, bytes, length, echo.line, echo.at) ? kActDone
                                                                                : kActNewCommand;
    }
    if (action != kActResend) {
      return action;
    }
  }
  return kActAskAgain;
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

// One "W" with a fresh command for `length` bytes, sent in blocks of `block` bytes, each with
// its checksum and answered as the protocol has it: kActDone, kActAskAgain, kActRewind
// (write->strayFrom says from where) or kActGiveUp. *through counts the bytes of the blocks
// that came through, each told to the line's record; a block that did not ends the "W".
int writeBlocksOnce(t_RamWrite* write, std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t length,
                    std::uint32_t block, std::uint32_t* through) {
  *through = 0;
  char text[kCommandTextSize];
  devFormatLine(text, sizeof text, "W %u %u", ramAddress, announcedCount(length));
  char echo[kCommandTextSize * 2];
  char reply[kCodeLineSize];
  const int outcome = ispCommandEcho(text, echo, sizeof echo, reply, sizeof reply);
  write->refused = write->refused || outcome == kExchangeRefused;
  int action = lineAction(kStepWriteCommand, outcome);
  // Blocks answered OK whose echo differed, settled once the "W" is over: a read-back of the
  // character that differed, or the block again.
  struct t_ReadBack {
    std::uint32_t offset;
    std::uint32_t length;
    t_BlockEcho echo;
  };
  t_ReadBack readBacks[kWriteBlocksPerCommand];
  int readBackCount = 0;
  bool last = true;  // the block sent last was the last of the "W"
  while (action == kActDone && *through != length) {
    const std::uint32_t left = length - *through;
    const std::uint32_t piece = left < block ? left : block;
    last = piece == left;
    t_BlockEcho later{kEchoSame, -1, -1};
    // The caller sends no more blocks in one "W" than there are places here.
    const bool canWait = !last && readBackCount < kWriteBlocksPerCommand;
    action = sendBlockData(ramAddress + *through, bytes + *through, piece, canWait ? &later : nullptr);
    // Whatever the echo showed (two characters otherwise: the block goes again), it is settled
    // once the "W" is over.
    if (action == kActDone && later.outcome != kEchoSame) {
      readBacks[readBackCount++] = t_ReadBack{*through, piece, later};
    }
    if (action == kActDone) {
      lineBlockCameThrough(piece);
      *through += piece;
    }
  }
  if (action == kActRewind && !overwritesEarlierBlocks(echo, write, ramAddress)) {
    action = kActAskAgain;  // it reaches nothing in place: only this block goes again
  }
  // A block the bootloader took with "OK" as the last of the "W" ended it cleanly; otherwise
  // it may still wait for this "W"'s data.
  if (action != kActDone && !(action == kActNewCommand && last)) {
    ispAbort();
  }
  // The write goes again from the first block read back otherwise.
  for (int i = 0; i < readBackCount; ++i) {
    const t_ReadBack& r = readBacks[i];
    if (!ramHoldsCharacter(ramAddress + r.offset, bytes + r.offset, r.length, r.echo.line, r.echo.at)) {
      *through = r.offset;
      return kActAskAgain;
    }
  }
  return action == kActNewCommand ? kActAskAgain : action;
}

// The blocks of a write, each in the size the line's record says, until every byte has
// arrived as it was sent: kActDone, or kActGiveUp once kBlockAttempts blocks in a row were
// spoilt or the budget is spent.
int writeAllBlocks(t_RamWrite* write, std::uint32_t ramAddress, const std::uint8_t* bytes,
                   std::uint32_t count) {
  static_assert(kBlockSizes[0] <= kUuBlockBytes, "one checksum covers at most 900 bytes");
  std::uint32_t done = 0;
  int rewinds = 0;
  int spoiltInARow = 0;
  while (done != count) {
    const std::uint32_t left = count - done;
    const std::uint32_t block = lineBlockSize();
    // On a line whose record allows whole blocks one "W" carries up to kWriteBlocksPerCommand
    // of them (a whole copy block), a turnaround less for every block after its first;
    // otherwise each block has a "W" of its own.
    const std::uint32_t most = block == kBlockSizes[0] ? block * kWriteBlocksPerCommand : block;
    const std::uint32_t length = left < most ? left : most;
    std::uint32_t through = 0;
    const int action = writeBlocksOnce(write, ramAddress + done, bytes + done, length, block, &through);
    done += through;
    spoiltInARow = through > 0 ? 0 : spoiltInARow;
    if (action == kActDone) {
      continue;
    }
    if (action == kActGiveUp) {
      return kActGiveUp;
    }
    lineBlockSpoilt();
    if (++spoiltInARow >= kBlockAttempts) {
      return kActGiveUp;
    }
    if (action == kActRewind) {
      // Bytes already in place may have been overwritten: never go on without writing them
      // again.
      if (++rewinds > kWriteRewinds) {
        return kActGiveUp;
      }
      done = write->strayFrom - ramAddress;
    }
  }
  return kActDone;
}

}  // namespace

int nxpWriteRam(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t count) {
  t_RamWrite write{ramAddress, ramAddress, false};
  if (writeAllBlocks(&write, ramAddress, bytes, count) == kActDone) {
    return kWriteRamOk;
  }
  return write.refused ? kWriteRamRejected : kWriteRamNoReply;
}

int nxpReadMemory(std::uint8_t* dest, std::uint32_t address, std::uint32_t count) {
  static_assert(kUuBlockBytes % 4 == 0, "a rounded-up block must still fit the block buffer");
  // The bootloader sends and sums the whole rounded-up block, so it is taken in whole here and
  // only the bytes asked for are handed on.
  std::uint8_t block[kUuBlockBytes];
  int received = 0;
  while (count != 0) {
    // Read blocks go in the size the line's record allows, as written blocks do: a table of
    // 512 bytes comes back whole from a clean line and in pieces from a noisy one.
    std::uint32_t length = 0;
    t_MemoryRead read{false, false};
    int action = kActAskAgain;
    for (int attempt = 0; attempt < kReadAttempts && action == kActAskAgain; ++attempt) {
      length = count < lineBlockSize() ? count : lineBlockSize();
      action = readBlockOnce(&read, block, address, announcedCount(length));
      if (action != kActDone) {
        ispAbort();
        lineBlockSpoilt();
      }
    }
    if (action == kActDone) {
      lineBlockCameThrough(length);
    }
    if (action != kActDone && read.refused) {
      return -received;
    }
    if (action != kActDone) {
      if (read.timedOut) {
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
