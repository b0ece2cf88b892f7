#include "update/image_fit.h"

#include <cstdint>

#include "support/console.h"
#include "update/flash_map.h"
#include "update/flash_update.h"

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

char bankLetter(std::uint8_t bank) { return bank == 0 ? 'A' : 'B'; }

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

int checkImageFit(const t_FirmwareHeader* header) {
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
  return kFitSound;
}
