// The parts of the update and of the table check that need no switch: the progress
// percentages, filling an identity from a table, and the refusals before the port is used.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "update/flash_update.h"
#include "update/param_table.h"

namespace {

// The percentages the progress line shows after each 4096-byte block of a firmware region.
std::vector<unsigned> largeBlockPercentages(std::uint32_t firmwareLength) {
  std::vector<unsigned> shown;
  std::uint32_t remaining = firmwareLength - kHeadBlockBytes;
  while (remaining >= 4096) {
    remaining -= 4096;
    shown.push_back(progressPercent(firmwareLength, remaining));
  }
  return shown;
}

TEST(ProgressPercent, FollowsTheShippedImagesBlockByBlock) {
  const std::vector<unsigned> first = largeBlockPercentages(147068);
  ASSERT_EQ(first.size(), 35u);
  EXPECT_EQ(first[0], 3u);
  EXPECT_EQ(first[1], 5u);
  EXPECT_EQ(first[2], 8u);
  EXPECT_EQ(first.back(), 97u);
  const std::vector<unsigned> second = largeBlockPercentages(146500);
  ASSERT_EQ(second.size(), 35u);
  EXPECT_EQ(second.back(), 98u);
  for (std::size_t i = 1; i < first.size(); ++i) {
    EXPECT_GE(first[i], first[i - 1]);
  }
}

TEST(ProgressPercent, TruncatesAndHandlesTheEnds) {
  EXPECT_EQ(progressPercent(147068, 147068), 0u);
  EXPECT_EQ(progressPercent(147068, 0), 100u);
  EXPECT_EQ(progressPercent(3, 2), 33u);  // 33.3 truncated
  EXPECT_EQ(progressPercent(3, 1), 66u);  // 66.6 truncated, not rounded
  EXPECT_EQ(progressPercent(0, 0), 0u);   // no division by zero
}

t_ParamTable sampleTable() {
  t_ParamTable table;
  std::memset(&table, 0, sizeof table);
  table.firmwareVersion = 0x04020000;
  std::strcpy(table.productName, "Sonarch60");
  table.magic = kTableMagic;
  table.identityWord = 0x56054101;
  return table;
}

TEST(FillRecordFromTable, SplitsTheIdentityWordAndTakesTheVersionOnlyWhenSound) {
  const t_ParamTable table = sampleTable();
  t_DeviceInfo record{};
  record.hexWord = 0x12345678;
  fillRecordFromTable(&record, &table, 0);
  EXPECT_EQ(record.modelNumber, 86);
  EXPECT_EQ(record.pcbRevision, 5);
  EXPECT_EQ(record.idByte1, 0x41);
  EXPECT_EQ(record.idByte0, 0x01);
  EXPECT_EQ(record.firmwareVersion, 0x04020000u);
  EXPECT_STREQ(record.nameBuf, "Sonarch60");
  EXPECT_EQ(record.hexWord, 0x12345678u);  // not the table's business

  for (int r : {4, 5}) {
    t_DeviceInfo failed{};
    fillRecordFromTable(&failed, &table, r);
    EXPECT_EQ(failed.firmwareVersion, 0u) << r;
    EXPECT_EQ(failed.modelNumber, 86) << r;
    EXPECT_STREQ(failed.nameBuf, "Sonarch60") << r;
  }
}

TEST(FillRecordFromTable, NameIsTerminatedWhateverTheFlashHolds) {
  t_ParamTable table = sampleTable();
  std::memset(table.productName, 'X', sizeof table.productName);  // no NUL at all
  t_DeviceInfo record;
  std::memset(&record, 0x5A, sizeof record);
  fillRecordFromTable(&record, &table, 0);
  EXPECT_EQ(record.nameBuf[31], '\0');
  EXPECT_EQ(std::strlen(record.nameBuf), 31u);
  EXPECT_EQ(std::string(record.nameBuf), std::string(31, 'X'));

  // Bytes behind the table's NUL do not reach the record.
  std::memset(table.productName, 0xFF, sizeof table.productName);
  std::memcpy(table.productName, "AB", 3);
  fillRecordFromTable(&record, &table, 0);
  EXPECT_STREQ(record.nameBuf, "AB");
  for (std::size_t i = 2; i < sizeof record.nameBuf; ++i) {
    EXPECT_EQ(record.nameBuf[i], '\0') << i;
  }
}

// The update refuses an image it cannot write before it sends anything to the switch; with no
// port open, an attempt to reach the switch would add the could-not-connect message.
class UpdateRefusal : public ::testing::Test {
 protected:
  std::string run(const t_FirmwareImage* image, int* result) {
    ::testing::internal::CaptureStdout();
    *result = updateFirmware(image);
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  // An image of the container's shape with the given firmware region length.
  void build(std::uint32_t firmwareLength) {
    bytes_.assign(0x50 + firmwareLength + 144 + 4, 0);
    header_ = {};
    header_.firmwareAddress = 0x1A000000;
    header_.firmwareLength = firmwareLength;
    header_.paramOffset = 0x50 + firmwareLength;
    header_.paramAddress = 0x1A07FE00;
    header_.paramLength = 144;
    image_.image = bytes_.data();
    image_.header = &header_;
    image_.firmware = bytes_.data() + 0x50;
    image_.params = bytes_.data() + header_.paramOffset;
    image_.imageSize = static_cast<std::uint32_t>(bytes_.size());
  }

  std::vector<std::uint8_t> bytes_;
  t_FirmwareHeader header_{};
  t_FirmwareImage image_{};
};

TEST_F(UpdateRefusal, NoImageSelected) {
  int result = 0;
  EXPECT_EQ(run(nullptr, &result), "Error: No firmware file available to download.\n");
  EXPECT_EQ(result, 1);
  t_FirmwareImage none{};
  EXPECT_EQ(run(&none, &result), "Error: No firmware file available to download.\n");
  EXPECT_EQ(result, 1);
}

TEST_F(UpdateRefusal, FirmwareRegionShorterThanTheHeadBlock) {
  int result = 0;
  build(508);
  EXPECT_EQ(run(&image_, &result),
            "Error: The firmware region is too short (508 bytes); it must hold at least 512.\n");
  EXPECT_EQ(result, 1);
  build(0);
  EXPECT_EQ(run(&image_, &result),
            "Error: The firmware region is too short (0 bytes); it must hold at least 512.\n");
  EXPECT_EQ(result, 1);
}

TEST_F(UpdateRefusal, RegionsThatLieOutsideTheImageBytes) {
  const std::string damaged = "Error: The firmware image is damaged: its regions lie outside it.\n";
  int result = 0;
  build(4096);
  header_.firmwareLength = 0xFFFFFFF0;  // would wrap a 32-bit end offset
  EXPECT_EQ(run(&image_, &result), damaged);
  EXPECT_EQ(result, 1);
  build(4096);
  header_.paramLength = 149;  // one byte past the image
  EXPECT_EQ(run(&image_, &result), damaged);
  build(4096);
  image_.params = nullptr;
  EXPECT_EQ(run(&image_, &result), damaged);
  build(4096);
  image_.header = nullptr;
  EXPECT_EQ(run(&image_, &result), damaged);
  build(4096);
  header_.paramLength = 0;
  EXPECT_EQ(run(&image_, &result), "Error: The firmware image holds no parameter table.\n");
  EXPECT_EQ(result, 1);
}

}  // namespace
