#include "update/flash_map.h"

namespace {

// Each bank: eight 8 KB sectors, then seven 64 KB sectors, 512 KB in all.
constexpr std::uint32_t kBankSize = 0x80000;
constexpr std::uint32_t kSmallSectorArea = 0x10000;
constexpr std::uint8_t kSmallSectorCount = 8;

}  // namespace

int flashSectorOf(std::uint32_t address, std::uint8_t* bank, std::uint8_t* sector) {
  if (bank == nullptr || sector == nullptr) {
    return 1;
  }
  std::uint32_t base = 0;
  std::uint8_t bankNumber = 0;
  if (address >= kBankAAddress && address - kBankAAddress < kBankSize) {
    base = kBankAAddress;
    bankNumber = 0;
  } else if (address >= kBankBAddress && address - kBankBAddress < kBankSize) {
    base = kBankBAddress;
    bankNumber = 1;
  } else {
    return 1;
  }
  const std::uint32_t offset = address - base;
  *bank = bankNumber;
  if (offset < kSmallSectorArea) {
    *sector = static_cast<std::uint8_t>(offset >> 13);
  } else {
    *sector = static_cast<std::uint8_t>((offset >> 16) + (kSmallSectorCount - 1));
  }
  return 0;
}

int flashRangeOf(std::uint32_t address, std::uint32_t length, std::uint8_t* bank,
                 std::uint8_t* firstSector, std::uint8_t* lastSector) {
  // An empty range has no last byte; a range past 4 GB would wrap to a low address.
  if (length == 0 || address > UINT32_MAX - (length - 1)) {
    return 1;
  }
  std::uint8_t firstBank = 0;
  std::uint8_t lastBank = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  if (flashSectorOf(address, &firstBank, &first) != 0 ||
      flashSectorOf(address + (length - 1), &lastBank, &last) != 0 || firstBank != lastBank) {
    return 1;
  }
  if (bank != nullptr) *bank = firstBank;
  if (firstSector != nullptr) *firstSector = first;
  if (lastSector != nullptr) *lastSector = last;
  return 0;
}

std::uint32_t flashSectorSize(std::uint8_t sector) {
  return sector < kSmallSectorCount ? kSmallSectorArea / kSmallSectorCount : kSmallSectorArea;
}

std::uint32_t flashSectorStart(std::uint8_t bank, std::uint8_t sector) {
  const std::uint32_t base = bank == 0 ? kBankAAddress : kBankBAddress;
  if (sector < kSmallSectorCount) {
    return base + sector * flashSectorSize(sector);
  }
  return base + static_cast<std::uint32_t>(sector - (kSmallSectorCount - 1)) * kSmallSectorArea;
}
