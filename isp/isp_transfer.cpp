#include "isp/isp_transfer.h"

#include <cstdlib>
#include <cstring>

#include "isp/device_line.h"
#include "support/console.h"

namespace {

constexpr int kCodeLineSize = 7;                  // return code, checksum, OK or RESEND
constexpr int kDataLineSize = kUuLineChars + 1;   // 61 characters and the NUL

// A block refused with "RESEND" is sent again this many more times before the write fails.
constexpr int kBlockResends = 3;

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

void sendBlockLines(const std::uint8_t* bytes, std::uint32_t length) {
  char line[kDataLineSize];
  for (std::uint32_t done = 0; done < length; done += kUuLineBytes) {
    const std::uint32_t left = length - done;
    const int n = static_cast<int>(left < kUuLineBytes ? left : kUuLineBytes);
    uuEncodeLine(line, bytes + done, n);
    devSend(line);
    devSend("\r\n");
  }
}

}  // namespace

int nxpWriteRam(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t count) {
  char reply[kCodeLineSize];
  while (count != 0) {
    const std::uint32_t length = blockLength(count);
    const std::uint32_t sum = blockSum(bytes, length);
    devPrintf("W %u %u\r\n", ramAddress, announcedCount(length));
    if (devReadCrLine(reply, sizeof reply) <= 0) {
      return kWriteRamNoReply;
    }
    if (reply[0] != '0') {
      return kWriteRamRejected;
    }
    // A bootloader that answers "RESEND" waits for the same block again; anything it reads
    // instead, the next command included, would be taken as data.
    for (int sent = 0;; ++sent) {
      sendBlockLines(bytes, length);
      devPrintf("%u\r\n", sum);
      if (devReadCrLine(reply, sizeof reply) <= 0) {
        return kWriteRamNoReply;
      }
      if (std::strcmp(reply, "RESEND") != 0) {
        break;  // "OK", or an answer this side cannot act on: the compare after the copy judges
      }
      if (sent == kBlockResends) {
        return kWriteRamNoReply;
      }
    }
    ramAddress += length;
    bytes += length;
    count -= length;
  }
  return kWriteRamOk;
}

int nxpReadMemory(std::uint8_t* dest, std::uint32_t address, std::uint32_t count) {
  static_assert(kUuBlockBytes % 4 == 0, "a rounded-up block must still fit the block buffer");
  char reply[kCodeLineSize];
  char line[kDataLineSize];
  // The bootloader sends and sums the whole rounded-up block, so it is taken in whole here and
  // only the bytes asked for are handed on.
  std::uint8_t block[kUuBlockBytes];
  int received = 0;
  while (count != 0) {
    const std::uint32_t length = blockLength(count);
    const std::uint32_t announced = announcedCount(length);
    devPrintf("R %u %u\r\n", address, announced);
    if (devReadCrLine(reply, sizeof reply) <= 0) {
      return 0;
    }
    if (reply[0] != '0') {
      return -received;
    }
    std::uint32_t decodedBytes = 0;
    while (decodedBytes != announced) {
      if (devReadCrLine(line, sizeof line) <= 0) {
        conPrintf("Timeout\n");
        return 0;
      }
      decodedBytes += static_cast<std::uint32_t>(
          uuDecodeLine(block + decodedBytes, line, announced - decodedBytes));
    }
    if (devReadCrLine(reply, sizeof reply) <= 0) {
      conPrintf("Timeout\n");
      return 0;
    }
    // Acknowledged before judging: a damaged block is reported, not fetched again.
    devSend("OK\r\n");
    if (static_cast<long>(blockSum(block, announced)) != std::strtol(reply, nullptr, 10)) {
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
