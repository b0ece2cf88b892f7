// The parts of the update that need no switch: the flash map, and the refusals before the
// port is used.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "update/flash_map.h"
#include "update/flash_update.h"
#include "update/image_fit.h"
#include "update/param_table.h"

namespace {

constexpr int kOutside = -1;  // the bank of a case that the map refuses

// A one-byte range is one address: its sector, as flashSectorOf gives it too.
TEST(FlashMap, SectorsAndRangesAtTheEdgesOfEveryRowAndOutside) {
  struct Case { std::uint32_t address, length; int bank, first = 7, last = 7; };
  constexpr Case cases[] = {
      {0x1A000000, 1, 0, 0, 0},     {0x1A001FFF, 1, 0, 0, 0},     {0x1A002000, 1, 0, 1, 1},
      {0x1A00FFFF, 1, 0, 7, 7},     {0x1A010000, 1, 0, 8, 8},     {0x1A01FFFF, 1, 0, 8, 8},
      {0x1A020000, 1, 0, 9, 9},     {0x1A07FFFF, 1, 0, 14, 14},   {0x1B000000, 1, 1, 0, 0},
      {0x1B00FFFF, 1, 1, 7, 7},     {0x1B010000, 1, 1, 8, 8},     {0x1B07FFFF, 1, 1, 14, 14},
      {0x19FFFFFF, 1, kOutside},    {0x1A080000, 1, kOutside},    {0x1AFFFFFF, 1, kOutside},
      {0x1B080000, 1, kOutside},    {0x10000000, 1, kOutside},    {0xFFFFFFFF, 1, kOutside},
      {0x1A001200, 4096, 0, 0, 1},          // the second firmware block spans two sectors
      {0x1A000000, 147068, 0, 0, 9},        // the shipped images' regions
      {0x1A07FE00, 144, 0, 14, 14},
      {0x1A03FE00, 144, 0, 10, 10},
      {0x1B07F000, 4096, 1, 14, 14},
      {0x1A07FE00, 513, kOutside},          // one byte past bank 0
      {0x1A07F000, 0x01000100, kOutside},   // both ends mapped, but in different banks
      {0x19FFFE00, 4096, kOutside},
      {0xFFFFF000, 0x1A001000, kOutside},   // the last byte would wrap into bank 0
      {0x1A000000, 0xFFFFFFFF, kOutside},
      {0x1A000000, 0, kOutside}};           // no last byte
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address << " +" << c.length);
    std::uint8_t bank = 7, first = 7, last = 7;  // untouched when refused
    EXPECT_EQ(flashRangeOf(c.address, c.length, &bank, &first, &last), c.bank == kOutside);
    EXPECT_EQ(bank, c.bank == kOutside ? 7 : c.bank);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(last, c.last);
    if (c.length == 1) {
      bank = first = 7;
      EXPECT_EQ(flashSectorOf(c.address, &bank, &first), c.bank == kOutside);
      EXPECT_EQ(bank, c.bank == kOutside ? 7 : c.bank);
      EXPECT_EQ(first, c.first);
    }
  }
}

// Each region must lie in one bank, start on a page, and keep out of the other's sectors.
TEST(ImageFit, RegionsAgainstTheFlashMap) {
  const std::string head = "Error: The firmware image does not fit the switch's flash.\nIts ";
  struct Case {
    std::uint32_t firmwareAddress, firmwareLength, paramAddress, paramLength;
    int result;
    std::string message;  // after head, unless it starts with "Error"
  };
  const Case cases[] = {
      // The shipped layouts, and the last firmware that stays clear of sector 10.
      {0x1A000000, 147068, 0x1A07FE00, 144, kFitSound, ""},
      {0x1A000000, 146500, 0x1A03FE00, 144, kFitSound, ""},
      {0x1A000000, 0x30000, 0x1A03FE00, 144, kFitSound, ""},
      {0x1A000000, 0x30001, 0x1A03FE00, 144, kFitSharedSector, "parameter table at "
       "0x1A03FE00 shares sector 10 of flash bank A with its firmware region (196609 bytes at "
       "0x1A000000).\n"},
      // A 200 KB firmware (and its CRC) under a table at the end of a 256 KB bank.
      {0x1A000000, 204804, 0x1A03FE00, 144, kFitSharedSector, "parameter table at 0x1A03FE00 "
       "shares sector 10 of flash bank A with its firmware region (204804 bytes at "
       "0x1A000000).\n"},
      // Placed soundly, but where the chip never starts it.
      {0x1A002000, 0x1000, 0x1A000000, 144, kFitFirmwareAddress, "firmware region at 0x1A002000 "
       "does not start at 0x1A000000, where the switch starts its firmware.\n"},
      {0x1A002000, 0x4000, 0x1A004200, 144, kFitSharedSector, "parameter table at 0x1A004200 "
       "shares sector 2 of flash bank A with its firmware region (16384 bytes at 0x1A002000).\n"},
      {0x1A002000, 0x20000, 0x1A000000, 0x2200, kFitSharedSector, "parameter table at "
       "0x1A000000 shares sector 1 of flash bank A with its firmware region (131072 bytes at "
       "0x1A002000).\n"},
      {0x1B000000, 147068, 0x1A07FE00, 144, kFitFirmwareAddress, "firmware region at 0x1B000000 "
       "does not start at 0x1A000000, where the switch starts its firmware.\n"},
      {0x1B000000, 147068, 0x1B07FE00, 144, kFitFirmwareAddress, "firmware region at 0x1B000000 "
       "does not start at 0x1A000000, where the switch starts its firmware.\n"},
      // A table the restart would never read: the update would leave the old one in place.
      {0x1A000000, 147068, 0x1A060000, 144, kFitTableAddress, "parameter table at 0x1A060000 is "
       "at neither 0x1A07FE00 nor 0x1A03FE00, where the switch reads it.\n"},
      {0x1A000000, 0x30000, 0x1A05FE00, 144, kFitTableAddress, "parameter table at 0x1A05FE00 is "
       "at neither 0x1A07FE00 nor 0x1A03FE00, where the switch reads it.\n"},
      {0x1A000000, 4096, 0x1B07FE00, 144, kFitTableAddress, "parameter table at 0x1B07FE00 is at "
       "neither 0x1A07FE00 nor 0x1A03FE00, where the switch reads it.\n"},
      // Across the end of a bank, or outside the map.
      {0x1A000000, 147068, 0x1A07FFC0, 144, kFitOutsideFlash, "parameter table (144 bytes at "
       "0x1A07FFC0) runs past the end of flash bank A.\n"},
      {0x1A000000, 147068, 0x1A07FE00, 0x201, kFitOutsideFlash, "parameter table (513 bytes at "
       "0x1A07FE00) runs past the end of flash bank A.\n"},
      {0x1A070000, 0x10001, 0x1B07FE00, 144, kFitOutsideFlash, "firmware region (65537 bytes at "
       "0x1A070000) runs past the end of flash bank A.\n"},
      {0x1B07FE00, 0xFFFFFFFF, 0x1A07FE00, 144, kFitOutsideFlash, "firmware region (4294967295 "
       "bytes at 0x1B07FE00) runs past the end of flash bank B.\n"},  // its end wraps
      {0x19FFFE00, 4096, 0x1A07FE00, 144, kFitOutsideFlash, "firmware region at 0x19FFFE00 lies "
       "outside the flash.\n"},
      {0x1A000000, 147068, 0x1A080000, 144, kFitOutsideFlash, "parameter table at 0x1A080000 lies "
       "outside the flash.\n"},
      {0x1A000000, 147068, 0x10000000, 144, kFitOutsideFlash, "parameter table at 0x10000000 lies "
       "outside the flash.\n"},
      // Off the page grid (and the earlier rule wins when two are broken).
      {0x1A000100, 147068, 0x1A07FE00, 144, kFitMisaligned, "firmware region at 0x1A000100 does "
       "not start on a 512-byte flash page.\n"},
      {0x1A000000, 147068, 0x1A07FE04, 144, kFitMisaligned, "parameter table at 0x1A07FE04 does "
       "not start on a 512-byte flash page.\n"},
      {0x1A000004, 0x3FE00, 0x1A03FE00, 144, kFitMisaligned, "firmware region at 0x1A000004 does "
       "not start on a 512-byte flash page.\n"},
      // Too small to be written as the sequence writes.
      {0x1A000000, 511, 0x1A07FE00, 144, kFitRegionSize,
       "Error: The firmware region is too short (511 bytes); it must hold at least 512.\n"},
      {0x1A000000, 512, 0x1A07FE00, 0, kFitRegionSize,
       "Error: The firmware image holds no parameter table.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.firmwareAddress << " +" << c.firmwareLength
                                    << ", " << c.paramAddress << " +" << c.paramLength);
    t_FirmwareHeader header{};
    header.firmwareAddress = c.firmwareAddress;
    header.firmwareLength = c.firmwareLength;
    header.paramAddress = c.paramAddress;
    header.paramLength = c.paramLength;
    const std::uint8_t vectors[32] = {};  // all zero: a sum of 0, valid code to the chip
    const t_FirmwareImage image{nullptr, &header, vectors, nullptr, 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(checkImageFit(&image), c.result);
    std::fflush(stdout);
    const std::string expected =
        c.message.empty() || c.message.rfind("Error", 0) == 0 ? c.message : head + c.message;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
  }
}

// The chip starts the code in bank A only when its first eight words add up to 0 (mod 2^32);
// the sum is taken over little-endian words, carries dropped.
TEST(ImageFit, FirstEightVectorWordsMustSumToZero) {
  const std::string head = "Error: The firmware image does not fit the switch's flash.\nIts ";
  struct Case {
    std::vector<std::uint32_t> words;  // the first words of the firmware; the rest are 0
    int result;
    std::string message;
  };
  const Case cases[] = {
      {{0x10008000, 0x1A00D8BD, 0x1A000115, 0, 0, 0, 0, 0u - 0x10008000 - 0x1A00D8BD - 0x1A000115},
       kFitSound, ""},
      {{0x80000000, 0x80000000}, kFitSound, ""},  // wraps to 0
      {{0x10008000, 0x1A00D8BD}, kFitNotBootable, "firmware's first eight words sum to "
       "0x2A0158BD, not 0: the switch would not start it.\n"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, kFitNotBootable, "firmware's first eight words sum to 0x00000001, "
       "not 0: the switch would not start it.\n"},
      // The ninth word is no part of the rule.
      {{0, 0, 0, 0, 0, 0, 0, 0, 0xDEADBEEF}, kFitSound, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::uint8_t> firmware(512, 0);
    for (std::size_t i = 0; i < c.words.size(); ++i) {
      for (int b = 0; b < 4; ++b) {
        firmware[4 * i + b] = static_cast<std::uint8_t>(c.words[i] >> (8 * b));
      }
    }
    t_FirmwareHeader header{};
    header.firmwareAddress = 0x1A000000;
    header.firmwareLength = 512;
    header.paramAddress = 0x1A07FE00;
    header.paramLength = 144;
    const t_FirmwareImage image{nullptr, &header, firmware.data(), nullptr, 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(checkImageFit(&image), c.result);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message.empty() ? "" : head + c.message);
  }
}

// The table must be where the switch on the line keeps it, by the size of its flash bank.
TEST(ImageFit, TableAgainstTheSwitchsFlashLayout) {
  const std::string head = "Error: The firmware image does not fit the switch's flash.\n";
  struct Case {
    std::uint32_t paramAddress;
    int layout, result;
    std::string message;
  };
  const Case cases[] = {
      {0x1A07FE00, kLayout512K, kFitSound, ""},
      {0x1A03FE00, kLayout256K, kFitSound, ""},
      {0x1A07FE00, kLayout256K, kFitOtherLayout,
       "Its parameter table at 0x1A07FE00 is not where this switch keeps it (0x1A03FE00).\n"},
      {0x1A03FE00, kLayout512K, kFitOtherLayout,
       "Its parameter table at 0x1A03FE00 is not where this switch keeps it (0x1A07FE00).\n"},
      {0x1A07FE00, kLayoutUnknown, kFitOtherLayout,
       "The switch reports a flash size this program does not know, so its parameter table at "
       "0x1A07FE00 may not be where the switch reads it.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    testing::internal::CaptureStdout();
    EXPECT_EQ(checkTableLayout(c.paramAddress, c.layout), c.result);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message.empty() ? "" : head + c.message);
  }
}

// Images the update refuses before it sends anything: with no port open, an attempt to reach
// the switch would add the could-not-connect message.
TEST(UpdateFirmware, RefusesAnImageItCannotWriteWithOneMessage) {
  const std::string damaged = "Error: The firmware image is damaged: its regions lie outside it.\n";
  const std::string atLeast = "it must hold at least 512.\n";
  const std::string none = "Error: No firmware file available to download.\n";
  struct Case {
    std::uint32_t firmwareLength;
    std::function<void(t_FirmwareHeader*, t_FirmwareImage**)> edit;
    std::string message;
  };
  const Case cases[] = {
      {4096, [](t_FirmwareHeader*, t_FirmwareImage** i) { *i = nullptr; }, none},
      {4096, [](t_FirmwareHeader*, t_FirmwareImage** i) { (*i)->image = nullptr; }, none},
      {508, nullptr, "Error: The firmware region is too short (508 bytes); " + atLeast},
      {0, nullptr, "Error: The firmware region is too short (0 bytes); " + atLeast},
      {4096, [](t_FirmwareHeader* h, t_FirmwareImage**) { h->firmwareLength = 0xFFFFFFF0; },
       damaged},  // the end offset would wrap
      {4096, [](t_FirmwareHeader* h, t_FirmwareImage**) { h->paramLength = 149; }, damaged},
      {4096, [](t_FirmwareHeader*, t_FirmwareImage** i) { (*i)->params = nullptr; }, damaged},
      {4096, [](t_FirmwareHeader*, t_FirmwareImage** i) { (*i)->header = nullptr; }, damaged},
      {4096, [](t_FirmwareHeader* h, t_FirmwareImage**) { h->paramLength = 0; },
       "Error: The firmware image holds no parameter table.\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    // The container's shape: header, firmware region, 144-byte table, image CRC.
    std::vector<std::uint8_t> bytes(0x50 + c.firmwareLength + 144 + 4, 0);
    t_FirmwareHeader header{};
    header.firmwareAddress = 0x1A000000;
    header.firmwareLength = c.firmwareLength;
    header.paramAddress = 0x1A07FE00;
    header.paramLength = 144;
    t_FirmwareImage image{bytes.data(), &header, bytes.data() + 0x50,
                          bytes.data() + 0x50 + c.firmwareLength,
                          static_cast<std::uint32_t>(bytes.size())};
    t_FirmwareImage* given = &image;
    if (c.edit) c.edit(&header, &given);
    testing::internal::CaptureStdout();
    EXPECT_EQ(updateFirmware(given), 1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
  }
}

}  // namespace
