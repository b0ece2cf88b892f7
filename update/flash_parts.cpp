#include "update/flash_parts.h"

#include <cstring>

#include "isp/isp_commands.h"
#include "isp/line_policy.h"
#include "update/flash_map.h"
#include "update/flash_update.h"

namespace {

constexpr std::uint32_t kLargeBlock = 4096;
constexpr std::uint32_t kMediumBlock = 1024;
constexpr std::uint32_t kSmallBlock = 512;
constexpr std::uint8_t kFillByte = 0xFF;


// 4096 while that much is left, then 1024, then 512 (a short tail padded), within the part's
// largest block and within room bytes (a multiple of 512).
std::uint32_t blockSizeAt(const t_Part& part, std::uint32_t offset, std::uint32_t room) {
  const std::uint32_t left = part.length - offset;
  constexpr std::uint32_t kSizes[] = {kLargeBlock, kMediumBlock};
  for (const std::uint32_t size : kSizes) {
    if (size <= part.largestBlock && size <= room && left >= size) {
      return size;
    }
  }
  return kSmallBlock;
}

unsigned programPartBlock(const t_Part& part, std::uint32_t offset, std::uint32_t size) {
  const std::uint32_t left = part.length - offset;
  if (left >= size) {
    return programBlock(part.address + offset, part.source + offset, size);
  }
  std::uint8_t tail[kSmallBlock];
  std::memcpy(tail, part.source + offset, left);
  std::memset(tail + left, kFillByte, kSmallBlock - left);
  return programBlock(part.address + offset, tail, kSmallBlock);
}

unsigned eraseSectors(std::uint8_t bank, std::uint8_t first, std::uint8_t last) {
  for (int attempt = 0; attempt < kEraseAttempts; ++attempt) {
    // The Erase goes out even after a refused Prepare; either failure counts.
    const int prepared = nxpPrepareSectors(first, last, bank);
    const int erased = nxpEraseSectors(first, last, bank);
    const int outcome = erased != kExchangeOk ? erased : prepared;
    if (outcome == kExchangeOk) {
      return kStatusOk;
    }
    if (lineAction(kStepErase, outcome) != kActAskAgain) {
      break;
    }
  }
  return kStatusCommand;
}

// Writes again what of part lies in [spanStart, spanEnd) and had reached flash: its first
// `written` bytes.
unsigned rewriteSpan(const t_Part& part, std::uint32_t written, std::uint32_t spanStart,
                     std::uint32_t spanEnd) {
  const std::uint32_t partEnd = part.address + ((written + kSmallBlock - 1) & ~(kSmallBlock - 1));
  const std::uint32_t begin = part.address > spanStart ? part.address : spanStart;
  const std::uint32_t end = partEnd < spanEnd ? partEnd : spanEnd;
  for (std::uint32_t at = begin; at < end;) {
    const std::uint32_t size = blockSizeAt(part, at - part.address, end - at);
    const unsigned status = programPartBlock(part, at - part.address, size);
    if (status != kStatusOk) {
      return status;
    }
    at += size;
  }
  return kStatusOk;
}

// The block of parts->part[current] that ends `currentEnd` bytes into it may have been
// copied anywhere within sectors first..last: they are erased, and every part's bytes in them
// written again, the head block last.
unsigned recoverSectors(t_Parts* parts, int current, std::uint32_t currentEnd, std::uint8_t bank,
                        std::uint8_t first, std::uint8_t last) {
  const std::uint32_t spanStart = flashSectorStart(bank, first);
  const std::uint32_t spanEnd = flashSectorStart(bank, last) + flashSectorSize(last);
  for (int attempt = 0; attempt < kRecoveryAttempts && !lineBudgetSpent(); ++attempt) {
    unsigned status = eraseSectors(bank, first, last);
    for (int i = 0; i < kPartCount && status == kStatusOk; ++i) {
      const t_Part& part = parts->part[i];
      status = rewriteSpan(part, i == current ? currentEnd : part.done, spanStart, spanEnd);
    }
    if (status != kStatusSuspect) {
      return status;
    }
  }
  return kStatusCommand;
}

unsigned writeBlockOfPart(t_Parts* parts, int index, std::uint32_t offset, std::uint32_t size) {
  const t_Part& part = parts->part[index];
  const unsigned status = programPartBlock(part, offset, size);
  if (status != kStatusSuspect) {
    return status;
  }
  std::uint8_t bank = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  if (flashRangeOf(part.address + offset, size, &bank, &first, &last) != 0) {
    return kStatusAddress;
  }
  return recoverSectors(parts, index, offset + size, bank, first, last);
}

}  // namespace

unsigned eraseRegion(std::uint32_t address, std::uint32_t length) {
  std::uint8_t bank = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  if (flashRangeOf(address, length, &bank, &first, &last) != 0) {
    return kStatusAddress;
  }
  return eraseSectors(bank, first, last);
}

unsigned writePart(t_Parts* parts, int index, t_ProgressFunction progress) {
  t_Part& part = parts->part[index];
  unsigned status = kStatusOk;
  while (status == kStatusOk && part.done < part.length) {
    const std::uint32_t offset = part.done;
    const std::uint32_t size = blockSizeAt(part, offset, part.largestBlock);
    status = writeBlockOfPart(parts, index, offset, size);
    if (status == kStatusOk) {
      part.done = offset + size < part.length ? offset + size : part.length;
    }
    if (progress != nullptr && size == part.largestBlock) {
      progress(part.length - part.done);
    }
  }
  return status;
}
