#include "firmware/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/crc32.h"
#include "tools/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char* const kCommittedImages[] = {VLFWU_SOURCE_DIR "/firmware/images/sonarch60.vlfw",
                                        VLFWU_SOURCE_DIR "/firmware/images/sonarch60-2710.vlfw"};

std::uint32_t registerOver(const Bytes& bytes, std::size_t offset, std::size_t count) {
  return crc32Update(crc32Init(), bytes.data() + offset, count);
}

std::string crcMessage(const char* kind, const char* name, std::uint32_t crc) {
  char text[200];
  std::snprintf(text, sizeof text, "\nError: Bad CRC of %s\"%s\"\nMAGIC_CRC=%08X, CRC=%08X.\n",
                kind, name, crc, ~crc);
  return text;
}

struct Outcome {
  int result;
  std::string output;
};

// Validates bytes (exactly as many as present, so a read beyond them is a sanitizer error).
Outcome validate(const Bytes& bytes, t_FirmwareImage* record, const char* name = "test.vlfw") {
  record->image = bytes.data();
  record->imageSize = static_cast<std::uint32_t>(bytes.size());
  testing::internal::CaptureStdout();
  const int result = validateImage(name, record);
  return {result, testing::internal::GetCapturedStdout()};
}

void setWord(Bytes* bytes, std::size_t offset, std::uint32_t value) {
  imagebuilder::storeLe32(bytes->data() + offset, value);
}

void resealWhole(Bytes* bytes) {
  imagebuilder::sealRegion(bytes->data(), imagebuilder::loadLe32(bytes->data()));
}

class DemoImage : public testing::Test {
 protected:
  Bytes image = imagebuilder::buildDemoImage(0);
  t_FirmwareHeader header() const {
    t_FirmwareHeader h;
    std::memcpy(&h, image.data(), sizeof h);
    return h;
  }
};

TEST(EmbeddedImages, CommittedFilesAreTheDemoImagesAndValidate) {
  for (int index = 0; index < imagebuilder::kDemoImageCount; ++index) {
    const Bytes committed = readFile(kCommittedImages[index]);
    ASSERT_FALSE(committed.empty()) << kCommittedImages[index];
    EXPECT_TRUE(imagebuilder::buildDemoImage(index) == committed) << kCommittedImages[index];

    t_FirmwareImage record{};
    const Outcome outcome = validate(committed, &record);
    EXPECT_EQ(outcome.result, kImageSound) << outcome.output;
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(record.header, reinterpret_cast<const t_FirmwareHeader*>(committed.data()));
    EXPECT_EQ(record.firmware, committed.data() + 0x50);
    EXPECT_EQ(record.params, committed.data() + record.header->paramOffset);
  }
}

TEST(EmbeddedImages, HeaderAndTableCarryTheProductValues) {
  struct Expected {
    std::uint32_t imageLength, model, firmwareLength, paramOffset, paramAddress, entry;
    const char* name;
    std::uint32_t identity;
  };
  const Expected expected[] = {
      {147296, 86, 0x23E7C, 0x23ECC, 0x1A07FE00, 0x1A00D8BD, "Sonarch60", 0x56054101},
      {146728, 100, 0x23C44, 0x23C94, 0x1A03FE00, 0x1A00D915, "Sonarch60-2710", 0x64054101},
  };
  for (int index = 0; index < 2; ++index) {
    const Expected& e = expected[index];
    const Bytes image = readFile(kCommittedImages[index]);
    ASSERT_EQ(image.size(), e.imageLength);
    t_FirmwareHeader h;
    std::memcpy(&h, image.data(), sizeof h);
    EXPECT_EQ(h.imageLength, e.imageLength);
    EXPECT_EQ(h.formatWord, 0x01000000u);
    EXPECT_EQ(h.modelNumber, e.model);
    EXPECT_EQ(h.pcbRevision, 5u);
    EXPECT_EQ(h.firmwareVersion, 0x04020000u);
    EXPECT_EQ(h.firmwareOffset, 0x50u);
    EXPECT_EQ(h.firmwareAddress, 0x1A000000u);
    EXPECT_EQ(h.firmwareLength, e.firmwareLength);
    EXPECT_EQ(h.paramOffset, e.paramOffset);
    EXPECT_EQ(h.paramAddress, e.paramAddress);
    EXPECT_EQ(h.paramLength, 0x90u);
    EXPECT_EQ(h.reservedWord, 0u);
    const std::size_t nameLength = std::strlen(e.name);
    EXPECT_EQ(std::string(h.productName), e.name);
    for (std::size_t i = nameLength + 1; i < 32; ++i) {
      EXPECT_EQ(static_cast<std::uint8_t>(h.productName[i]), 0xFF) << "header name byte " << i;
    }

    t_ParamTable t;
    std::memcpy(&t, image.data() + h.paramOffset, sizeof t);
    EXPECT_EQ(t.firmwareLength, e.firmwareLength);
    EXPECT_EQ(t.firmwareVersion, 0x04020000u);
    EXPECT_EQ(std::string(t.productName), e.name);
    for (std::size_t i = nameLength; i < 32; ++i) EXPECT_EQ(t.productName[i], '\0');
    EXPECT_EQ(t.magic, 0x1E3CA502u);
    EXPECT_EQ(t.identityWord, e.identity);
    EXPECT_EQ(t.tableLength, 0x90u);
    EXPECT_EQ(t.checkAddress, 0x1A000000u);
    EXPECT_EQ(t.checkLength, 0x200u);
    EXPECT_EQ(t.checkCrc, crc32Final(registerOver(image, 0x50, 0x200)));
    for (std::uint8_t b : t.fill) EXPECT_EQ(b, 0xFF);
    EXPECT_EQ(t.entryAddress, e.entry);
    EXPECT_EQ(t.reserved, 0u);
    EXPECT_EQ(t.tableCrc, crc32Final(registerOver(image, h.paramOffset, 0x8C)));

    // The vector table: stack in RAM, reset vector is the entry, the bootloader's checksum.
    const std::uint8_t* firmware = image.data() + 0x50;
    EXPECT_EQ(imagebuilder::loadLe32(firmware), 0x10008000u);
    EXPECT_EQ(imagebuilder::loadLe32(firmware + 4), e.entry);
    EXPECT_EQ(imagebuilder::vectorTableSum(firmware), 0u);
    for (int word = 2; word < 7; ++word) {
      const std::uint32_t handler = imagebuilder::loadLe32(firmware + 4 * word);
      EXPECT_EQ(handler & 1, 1u) << "word " << word;
      EXPECT_GE(handler, 0x1A000000u);
      EXPECT_LT(handler, 0x1A000000u + e.firmwareLength);
    }
  }
}

TEST(EmbeddedImages, CompiledInTableHoldsBothImagesInOrder) {
  for (int index = 0; index < kEmbeddedImageCount; ++index) {
    t_FirmwareImage record{};
    selectEmbeddedImage(&record, index);
    ASSERT_EQ(record.image, embeddedImages[index].data);
    EXPECT_EQ(record.imageSize, embeddedImages[index].size);
    const Bytes bytes(record.image, record.image + record.imageSize);
    EXPECT_TRUE(bytes == readFile(kCommittedImages[index])) << "embedded image " << index;
    testing::internal::CaptureStdout();
    EXPECT_EQ(validateImage("Firmware", &record), kImageSound);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
}

TEST(EmbeddedImages, SelectingAnUnknownIndexGivesNoImage) {
  for (int index : {-1, kEmbeddedImageCount, 1000}) {
    t_FirmwareImage record{};
    selectEmbeddedImage(&record, 0);
    selectEmbeddedImage(&record, index);
    EXPECT_EQ(record.image, nullptr);
    EXPECT_EQ(record.header, nullptr);
    EXPECT_EQ(record.firmware, nullptr);
    EXPECT_EQ(record.params, nullptr);
    EXPECT_EQ(record.imageSize, 0u);
  }
}

TEST_F(DemoImage, FlippedHeaderBitFailsTheWholeImageCheckOnly) {
  image[0x10] ^= 0x01;  // firmwareVersion
  const t_FirmwareHeader h = header();
  // The regions themselves are untouched and would pass.
  EXPECT_EQ(registerOver(image, h.firmwareOffset, h.firmwareLength), kCrc32Residue);
  EXPECT_EQ(registerOver(image, h.paramOffset, h.paramLength), kCrc32Residue);

  t_FirmwareImage record{};
  const Outcome outcome = validate(image, &record);
  EXPECT_EQ(outcome.result, kImageBadCrc);
  EXPECT_EQ(outcome.output,
            crcMessage("file ", "test.vlfw", registerOver(image, 0, h.imageLength)));
  EXPECT_EQ(record.firmware, nullptr);
  EXPECT_EQ(record.params, nullptr);
}

TEST_F(DemoImage, FlippedBitInAnyRegionWithoutResealGivesFour) {
  const t_FirmwareHeader h = header();
  for (std::size_t offset : {std::size_t{0x50}, std::size_t{0x50 + 0x1000},
                             std::size_t{h.paramOffset + 0x10}, image.size() - 1}) {
    Bytes damaged = image;
    damaged[offset] ^= 0x80;
    t_FirmwareImage record{};
    const Outcome outcome = validate(damaged, &record);
    EXPECT_EQ(outcome.result, kImageBadCrc) << "offset " << offset;
    EXPECT_NE(outcome.output.find("Error: Bad CRC of file \"test.vlfw\""), std::string::npos);
  }
}

TEST_F(DemoImage, DamagedFirmwareRegionUnderSoundWholeCrcGivesFive) {
  image[0x50 + 0x300] ^= 0x04;
  resealWhole(&image);
  const t_FirmwareHeader h = header();
  const std::uint8_t marker = 0;
  t_FirmwareImage record{};
  record.params = &marker;  // must stay as it was: the table region is not reached
  const Outcome outcome = validate(image, &record);
  EXPECT_EQ(outcome.result, kImageBadRegionCrc);
  EXPECT_EQ(outcome.output, crcMessage("firmware in file ", "test.vlfw",
                                       registerOver(image, h.firmwareOffset, h.firmwareLength)));
  EXPECT_EQ(record.firmware, image.data() + 0x50);
  EXPECT_EQ(record.params, &marker);
}

TEST_F(DemoImage, DamagedTableRegionUnderSoundWholeCrcGivesFive) {
  const t_FirmwareHeader h = header();
  image[h.paramOffset + 0x2C] ^= 0x01;  // identity word
  resealWhole(&image);
  t_FirmwareImage record{};
  const Outcome outcome = validate(image, &record);
  EXPECT_EQ(outcome.result, kImageBadRegionCrc);
  EXPECT_EQ(outcome.output, crcMessage("firmware in file ", "test.vlfw",
                                       registerOver(image, h.paramOffset, h.paramLength)));
  EXPECT_EQ(record.params, image.data() + h.paramOffset);
}

TEST_F(DemoImage, MissingFileNameIsReportedAsFirmware) {
  image[5] ^= 0x01;
  t_FirmwareImage record{};
  const Outcome outcome = validate(image, &record, nullptr);
  EXPECT_EQ(outcome.result, kImageBadCrc);
  EXPECT_EQ(outcome.output.rfind("\nError: Bad CRC of file \"Firmware\"\n", 0), 0u)
      << outcome.output;
}

TEST_F(DemoImage, TruncatedImageIsBadWithoutReadingPastItsEnd) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{79}, std::size_t{80},
                           std::size_t{0x60}, image.size() - 1}) {
    const Bytes truncated(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    t_FirmwareImage record{};
    const Outcome outcome = validate(truncated, &record);
    EXPECT_EQ(outcome.result, kImageBadCrc) << "size " << size;
    EXPECT_EQ(outcome.output.rfind("\nError: Bad header in file \"test.vlfw\"\n", 0), 0u)
        << outcome.output;
  }
  t_FirmwareImage none{};
  testing::internal::CaptureStdout();
  EXPECT_EQ(validateImage("none", &none), kImageBadCrc);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Bad header"), std::string::npos);
}

TEST_F(DemoImage, ImageLengthTooShortForHeaderAndCrcIsBad) {
  setWord(&image, 0x00, 0x50);
  t_FirmwareImage record{};
  const Outcome outcome = validate(image, &record);
  EXPECT_EQ(outcome.result, kImageBadCrc);
  EXPECT_NE(outcome.output.find("image length 80 is not between 84 and the 147296 bytes"), std::string::npos)
      << outcome.output;
}

TEST_F(DemoImage, RegionsPointingOutsideTheImageAreBadEvenWithSoundCrc) {
  const t_FirmwareHeader h = header();
  struct Case {
    std::size_t field;
    std::uint32_t value;
    const char* expected;
  };
  const Case cases[] = {
      {0x1C, h.imageLength - 0x50 + 1, "firmware region"},  // one byte past the end
      {0x14, 0xFFFFFF00, "firmware region"},                // offset + length wraps
      {0x1C, 0xFFFFFFF0, "firmware region"},                // length + offset wraps
      {0x20, h.imageLength, "parameter-table region"},      // starts at the end
      {0x28, 0xFFFFFFFF, "parameter-table region"},
      {0x20, 0x80000000, "parameter-table region"},
  };
  for (const Case& c : cases) {
    Bytes bad = image;
    setWord(&bad, c.field, c.value);
    resealWhole(&bad);
    t_FirmwareImage record{};
    const Outcome outcome = validate(bad, &record);
    EXPECT_EQ(outcome.result, kImageBadCrc) << "field " << c.field;
    EXPECT_NE(outcome.output.find("Bad header"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find(c.expected), std::string::npos) << outcome.output;
    EXPECT_EQ(record.firmware, nullptr);
  }
}

TEST_F(DemoImage, UnterminatedHeaderNameIsBad) {
  std::memset(image.data() + 0x30, 'A', 32);
  resealWhole(&image);
  t_FirmwareImage record{};
  const Outcome outcome = validate(image, &record);
  EXPECT_EQ(outcome.result, kImageBadCrc);
  EXPECT_NE(outcome.output.find("product name is not terminated"), std::string::npos);

  // 31 characters and a NUL in the last byte are fine.
  image[0x30 + 31] = 0;
  resealWhole(&image);
  EXPECT_EQ(validate(image, &record).result, kImageSound);
}

TEST_F(DemoImage, ImageLongerThanItsLengthValidatesOverItsLength) {
  const Bytes original = image;
  image.resize(image.size() + 16, 0xEE);
  t_FirmwareImage record{};
  EXPECT_EQ(validate(image, &record).result, kImageSound);
  EXPECT_TRUE(std::equal(original.begin(), original.end(), image.begin()));
}

}  // namespace
