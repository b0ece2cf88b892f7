#include "update/image_fit.h"

#include <cstdint>

#include "support/console.h"
#include "update/flash_map.h"
#include "update/flash_update.h"
#include "update/param_table.h"

namespace {

// Copies to flash start on a page; the sequence's blocks and padded tails are whole pages.
constexpr std::uint32_t kFlashPage = 512;

constexpr const char* kDoesNotFit = "Error: The firmware image does not fit the switch's flash.\n";

struct t_Region {
  const char* name;
  std::uint32_t address;
  std::uint32_t length;
  std::uint8_t bank;
  std::uint8_t firstSector;
  std::uint8_t lastSector;
};

// The NXP bootloader starts the code in bank A only when the first eight words of its vector
// table add up to 0; otherwise it stays in ISP mode after every reset.
constexpr std::uint32_t kVectorCheckWords = 8;

char bankLetter(std::uint8_t bank) { return bank == 0 ? 'A' : 'B'; }

std::uint32_t vectorWordSum(const std::uint8_t* firmware) {
  std::uint32_t sum = 0;
  for (std::uint32_t word = 0; word < kVectorCheckWords; ++word) {
    const std::uint8_t* at = firmware + 4 * word;
    sum += std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
           std::uint32_t{at[3]} << 24;
  }
  return sum;
}

// Places the region in the flash map; kFitSound and its bank and sectors filled, or the rule
// it breaks, with its message printed.
int placeRegion(t_Region* region) {
  std::uint8_t bank = 0;
  std::uint8_t sector = 0;
  if (flashSectorOf(region->address, &bank, &sector) != 0) {
    conPrintf("%sIts %s at 0x%08X lies outside the flash.\n", kDoesNotFit, region->name,
              region->address);
    return kFitOutsideFlash;
  }
  if (flashRangeOf(region->address, region->length, &region->bank, &region->firstSector,
                   &region->lastSector) != 0) {
    conPrintf("%sIts %s (%u bytes at 0x%08X) runs past the end of flash bank %c.\n", kDoesNotFit,
              region->name, region->length, region->address, bankLetter(bank));
    return kFitOutsideFlash;
  }
  if (region->address % kFlashPage != 0) {
    conPrintf("%sIts %s at 0x%08X does not start on a %u-byte flash page.\n", kDoesNotFit,
              region->name, region->address, kFlashPage);
    return kFitMisaligned;
  }
  return kFitSound;
}

}  // namespace

int checkImageFit(const t_FirmwareImage* image) {
  const t_FirmwareHeader* header = image != nullptr ? image->header : nullptr;
  if (header == nullptr) {
    conPuts("Error: The firmware image has no header.\n");
    return kFitRegionSize;
  }
  // The head block is held back and written last, so the region must hold at least that.
  if (header->firmwareLength < kHeadBlockBytes) {
    conPrintf("Error: The firmware region is too short (%u bytes); it must hold at least %u.\n",
              header->firmwareLength, kHeadBlockBytes);
    return kFitRegionSize;
  }
  if (header->paramLength == 0) {
    conPuts("Error: The firmware image holds no parameter table.\n");
    return kFitRegionSize;
  }
  if (image->firmware == nullptr) {
    conPuts("Error: The firmware image holds no firmware region.\n");
    return kFitRegionSize;
  }
  t_Region firmware{"firmware region", header->firmwareAddress, header->firmwareLength, 0, 0, 0};
  t_Region table{"parameter table", header->paramAddress, header->paramLength, 0, 0, 0};
  int placed = placeRegion(&firmware);
  if (placed == kFitSound) {
    placed = placeRegion(&table);
  }
  if (placed != kFitSound) {
    return placed;
  }
  // The table's sectors are erased after the firmware is written: a shared sector would lose
  // firmware that has already been compared and counted as written.
  if (firmware.bank == table.bank && table.firstSector <= firmware.lastSector &&
      firmware.firstSector <= table.lastSector) {
    const std::uint8_t shared =
        table.firstSector > firmware.firstSector ? table.firstSector : firmware.firstSector;
    conPrintf("%sIts parameter table at 0x%08X shares sector %u of flash bank %c with its "
              "firmware region (%u bytes at 0x%08X).\n",
              kDoesNotFit, table.address, static_cast<unsigned>(shared), bankLetter(table.bank),
              firmware.length, firmware.address);
    return kFitSharedSector;
  }
  // Firmware anywhere else is written but never started.
  if (firmware.address != kBankAAddress) {
    conPrintf("%sIts firmware region at 0x%08X does not start at 0x%08X, where the switch "
              "starts its firmware.\n",
              kDoesNotFit, firmware.address, kBankAAddress);
    return kFitFirmwareAddress;
  }
  // The restart reads the table only at the end of bank A, by the bank's size.
  if (table.address != kTableAddress512K && table.address != kTableAddress256K) {
    conPrintf("%sIts parameter table at 0x%08X is at neither 0x%08X nor 0x%08X, where the "
              "switch reads it.\n",
              kDoesNotFit, table.address, kTableAddress512K, kTableAddress256K);
    return kFitTableAddress;
  }
  const std::uint32_t sum = vectorWordSum(image->firmware);
  if (sum != 0) {
    conPrintf("%sIts firmware's first eight words sum to 0x%08X, not 0: the switch would not "
              "start it.\n",
              kDoesNotFit, sum);
    return kFitNotBootable;
  }
  return kFitSound;
}

int checkTableLayout(std::uint32_t paramAddress, int layout) {
  const std::uint32_t kept = layoutTableAddress(layout);
  if (kept == paramAddress) {
    return kFitSound;
  }
  if (layout == kLayoutUnread) {
    conPuts("Error: The switch did not say how large its flash is. Check cables and power, then "
            "run the update again.\n");
  } else if (kept == 0) {
    conPrintf("%sThe switch reports a flash size this program does not know, so its parameter "
              "table at 0x%08X may not be where the switch reads it.\n",
              kDoesNotFit, paramAddress);
  } else {
    conPrintf("%sIts parameter table at 0x%08X is not where this switch keeps it (0x%08X).\n",
              kDoesNotFit, paramAddress, kept);
  }
  return kFitOtherLayout;
}
