// The flash map of the switch's two-bank controller: address to bank and sector.
#include "update/flash_map.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct SectorCase {
  std::uint32_t address;
  std::uint8_t bank;
  std::uint8_t sector;
};

TEST(FlashSectorOf, MapsEveryRowOfTheFlashMapAtItsEdges) {
  const SectorCase cases[] = {
      {0x1A000000, 0, 0},  {0x1A001FFF, 0, 0},  {0x1A002000, 0, 1},  {0x1A00E000, 0, 7},
      {0x1A00FFFF, 0, 7},  {0x1A010000, 0, 8},  {0x1A01FFFF, 0, 8},  {0x1A020000, 0, 9},
      {0x1A03FE00, 0, 10}, {0x1A070000, 0, 14}, {0x1A07FE00, 0, 14}, {0x1A07FFFF, 0, 14},
      {0x1B000000, 1, 0},  {0x1B00FFFF, 1, 7},  {0x1B010000, 1, 8},  {0x1B07FFFF, 1, 14},
  };
  for (const SectorCase& c : cases) {
    std::uint8_t bank = 0xEE;
    std::uint8_t sector = 0xEE;
    ASSERT_EQ(flashSectorOf(c.address, &bank, &sector), 0) << std::hex << c.address;
    EXPECT_EQ(bank, c.bank) << std::hex << c.address;
    EXPECT_EQ(sector, c.sector) << std::hex << c.address;
  }
}

TEST(FlashSectorOf, RefusesAddressesOutsideTheFlashAndLeavesOutputsAlone) {
  const std::uint32_t outside[] = {0x00000000, 0x10000000, 0x19FFFFFF, 0x1A080000,
                                   0x1AFFFFFF, 0x1B080000, 0x1C000000, 0xFFFFFFFF};
  for (std::uint32_t address : outside) {
    std::uint8_t bank = 0xAB;
    std::uint8_t sector = 0xCD;
    EXPECT_EQ(flashSectorOf(address, &bank, &sector), 1) << std::hex << address;
    EXPECT_EQ(bank, 0xAB);
    EXPECT_EQ(sector, 0xCD);
  }
  std::uint8_t bank = 0;
  EXPECT_EQ(flashSectorOf(0x1A000000, &bank, nullptr), 1);
}

TEST(FlashRangeOf, GivesFirstAndLastSectorOfABlockOrRegion) {
  std::uint8_t bank = 9;
  std::uint8_t first = 99;
  std::uint8_t last = 99;
  // The second 4096-byte block of the firmware region straddles sectors 0 and 1.
  ASSERT_EQ(flashRangeOf(0x1A001200, 4096, &bank, &first, &last), 0);
  EXPECT_EQ(bank, 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 1);
  // The firmware regions of both shipped images end in sector 9.
  ASSERT_EQ(flashRangeOf(0x1A000000, 147068, &bank, &first, &last), 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 9);
  ASSERT_EQ(flashRangeOf(0x1A000000, 146500, &bank, &first, &last), 0);
  EXPECT_EQ(last, 9);
  // The parameter tables are one-sector ranges.
  ASSERT_EQ(flashRangeOf(0x1A07FE00, 144, &bank, &first, &last), 0);
  EXPECT_EQ(first, 14);
  EXPECT_EQ(last, 14);
  ASSERT_EQ(flashRangeOf(0x1A03FE00, 144, &bank, &first, &last), 0);
  EXPECT_EQ(first, 10);
  EXPECT_EQ(last, 10);
  ASSERT_EQ(flashRangeOf(0x1B07F000, 4096, &bank, &first, &last), 0);
  EXPECT_EQ(bank, 1);
  EXPECT_EQ(first, 14);
  EXPECT_EQ(last, 14);
}

TEST(FlashRangeOf, RefusesRangesLeavingTheFlashOrABankOrWrapping) {
  std::uint8_t bank = 7;
  std::uint8_t first = 7;
  std::uint8_t last = 7;
  // One byte past the end of bank 0.
  EXPECT_EQ(flashRangeOf(0x1A07FE00, 513, &bank, &first, &last), 1);
  // From bank 0 into bank 1: both ends are in the map, but in different banks.
  EXPECT_EQ(flashRangeOf(0x1A07F000, 0x01000100, &bank, &first, &last), 1);
  // Starts before the flash.
  EXPECT_EQ(flashRangeOf(0x19FFFE00, 4096, &bank, &first, &last), 1);
  // The last byte would wrap past 4 GB onto an address inside bank 0.
  EXPECT_EQ(flashRangeOf(0xFFFFF000, 0x1A001000, &bank, &first, &last), 1);
  EXPECT_EQ(flashRangeOf(0x1A000000, 0xFFFFFFFF, &bank, &first, &last), 1);
  // An empty range has no last byte.
  EXPECT_EQ(flashRangeOf(0x1A000000, 0, &bank, &first, &last), 1);
  EXPECT_EQ(bank, 7);
  EXPECT_EQ(first, 7);
  EXPECT_EQ(last, 7);
}

}  // namespace
