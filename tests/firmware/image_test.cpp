// CRC-32, image validation, the image builder and the mkimage tool over it.
#include "firmware/image.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "firmware/crc32.h"
#include "tests/common/child_process.h"
#include "tools/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;
using imagebuilder::loadLe32;
using imagebuilder::storeLe32;

const fs::path kImageDir = VLFWU_SOURCE_DIR "/firmware/images";
const char* const kCommitted[] = {"sonarch60.vlfw", "sonarch60-2710.vlfw"};

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t registerOver(const std::uint8_t* bytes, std::size_t count) {
  return crc32Update(crc32Init(), bytes, count);
}

std::string crcMessage(const char* kind, std::uint32_t crc) {
  char text[200];
  std::snprintf(text, sizeof text,
                "\nError: Bad CRC of %s\"test.vlfw\"\nMAGIC_CRC=%08X, CRC=%08X.\n", kind, crc,
                ~crc);
  return text;
}

struct Outcome {
  int result;
  std::string output;
};

// Exactly the bytes present are offered, so a read beyond them is a sanitizer error.
Outcome validate(const Bytes& bytes, t_FirmwareImage* record, const char* name = "test.vlfw") {
  record->image = bytes.data();
  record->imageSize = static_cast<std::uint32_t>(bytes.size());
  testing::internal::CaptureStdout();
  const int result = validateImage(name, record);
  return {result, testing::internal::GetCapturedStdout()};
}

TEST(Crc32, KnownValuesResidueAndChaining) {
  const std::uint8_t any = 0x55;  // an empty range leaves the register as it was
  EXPECT_EQ(crc32Update(0x12345678, &any, 0), 0x12345678u);
  EXPECT_EQ(crc32Final(registerOver(&any, 0)), 0u);
  EXPECT_EQ(registerOver(reinterpret_cast<const std::uint8_t*>("abc"), 3), 0xCADBBE3Du);
  EXPECT_EQ(crc32Final(0xCADBBE3D), 0x352441C2u);
  EXPECT_EQ(crc32Final(registerOver(reinterpret_cast<const std::uint8_t*>("123456789"), 9)),
            0xCBF43926u);
  EXPECT_EQ(kCrc32Residue, 0xDEBB20E3u);

  std::mt19937 random(7);
  for (std::size_t length : {1u, 17u, 4099u}) {
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const std::uint32_t whole = registerOver(bytes.data(), length);
    const std::size_t split = length / 3;  // the register carries across calls
    EXPECT_EQ(crc32Update(registerOver(bytes.data(), split), bytes.data() + split, length - split),
              whole);
    bytes.resize(length + 4);
    storeLe32(bytes.data() + length, crc32Final(whole));
    EXPECT_EQ(registerOver(bytes.data(), bytes.size()), kCrc32Residue);
    bytes[length / 2] ^= 0x10;
    EXPECT_NE(registerOver(bytes.data(), bytes.size()), kCrc32Residue);
  }
}

TEST(EmbeddedImages, CommittedFilesAreTheBuiltImagesAndCarryTheProductValues) {
  const std::uint32_t header[2][12] = {
      {147296, 0x01000000, 86, 5, 0x04020000, 0x50, 0x1A000000, 0x23E7C, 0x23ECC, 0x1A07FE00,
       0x90, 0},
      {146728, 0x01000000, 100, 5, 0x04020000, 0x50, 0x1A000000, 0x23C44, 0x23C94, 0x1A03FE00,
       0x90, 0}};
  const std::string names[] = {"Sonarch60", "Sonarch60-2710"};
  const std::uint32_t entries[] = {0x1A00D8BD, 0x1A00D915}, identities[] = {0x56054101, 0x64054101};
  for (int i = 0; i < kEmbeddedImageCount; ++i) {
    SCOPED_TRACE(kCommitted[i]);
    const Bytes image = readFile(kImageDir / kCommitted[i]);
    ASSERT_EQ(image.size(), header[i][0]);
    EXPECT_TRUE(imagebuilder::buildDemoImage(i) == image);
    t_FirmwareImage record{};
    selectEmbeddedImage(&record, i);
    EXPECT_TRUE(Bytes(record.image, record.image + record.imageSize) == image);
    const Outcome outcome = validate(image, &record, "Firmware");
    EXPECT_EQ(outcome.result, kImageSound);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(record.header, reinterpret_cast<const t_FirmwareHeader*>(image.data()));
    EXPECT_EQ(record.firmware, image.data() + 0x50);
    EXPECT_EQ(record.params, image.data() + header[i][8]);

    for (int word = 0; word < 12; ++word) EXPECT_EQ(loadLe32(&image[4 * word]), header[i][word]);
    EXPECT_EQ(std::string(&image[0x30], &image[0x50]),
              names[i] + '\0' + std::string(31 - names[i].size(), '\xFF'));
    const std::uint8_t* table = &image[header[i][8]];
    const std::pair<int, std::uint32_t> words[] = {
        {0x00, header[i][7]}, {0x04, 0x04020000}, {0x28, 0x1E3CA502}, {0x2C, identities[i]},
        {0x30, 0x90}, {0x34, 0x1A000000}, {0x38, 0x200},
        {0x3C, crc32Final(registerOver(&image[0x50], 0x200))}, {0x84, entries[i]}, {0x88, 0},
        {0x8C, crc32Final(registerOver(table, 0x8C))}};
    for (auto [offset, value] : words) EXPECT_EQ(loadLe32(table + offset), value) << offset;
    EXPECT_EQ(std::string(table + 8, table + 40),
              names[i] + std::string(32 - names[i].size(), '\0'));
    EXPECT_EQ(std::count(table + 0x40, table + 0x84, 0xFF), 0x44);
    // Vector table: stack in RAM, the entry as reset vector, the bootloader's zero sum.
    EXPECT_EQ(loadLe32(&image[0x50]), 0x10008000u);
    EXPECT_EQ(loadLe32(&image[0x54]), entries[i]);
    EXPECT_EQ(imagebuilder::vectorTableSum(&image[0x50]), 0u);
  }
  t_FirmwareImage record{};
  selectEmbeddedImage(&record, 0);
  selectEmbeddedImage(&record, kEmbeddedImageCount);
  EXPECT_TRUE(record.image == nullptr && record.header == nullptr && record.imageSize == 0);
}

// The first failing check decides; a region behind it is not even located.
TEST(ValidateImage, FlippedBitsGiveTheCodeOfTheFirstFailingCheck) {
  const Bytes sound = imagebuilder::buildDemoImage(0);
  const std::uint32_t length = loadLe32(&sound[0]), paramOffset = loadLe32(&sound[0x20]);
  const struct {
    std::size_t offset;
    bool resealWhole;
    int code;
    std::uint32_t checkedOffset, checkedLength;
  } cases[] = {
      {0x10, false, kImageBadCrc, 0, length},  // header; both regions still sound
      {0x50, false, kImageBadCrc, 0, length},
      {0x1050, false, kImageBadCrc, 0, length},
      {paramOffset + 0x10, false, kImageBadCrc, 0, length},
      {length - 1, false, kImageBadCrc, 0, length},  // the whole-image CRC itself
      {0x350, true, kImageBadRegionCrc, 0x50, loadLe32(&sound[0x1C])},
      {paramOffset + 0x2C, true, kImageBadRegionCrc, paramOffset, 0x90},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    Bytes image = sound;
    image[c.offset] ^= 0x04;
    if (c.resealWhole) imagebuilder::sealRegion(image.data(), length);
    const std::uint8_t marker = 0;
    t_FirmwareImage record{};
    record.params = &marker;
    const Outcome outcome = validate(image, &record);
    EXPECT_EQ(outcome.result, c.code);
    EXPECT_EQ(outcome.output,
              crcMessage(c.code == kImageBadCrc ? "file " : "firmware in file ",
                         registerOver(&image[c.checkedOffset], c.checkedLength)));
    EXPECT_EQ(record.firmware, c.code == kImageBadCrc ? nullptr : &image[0x50]);
    EXPECT_EQ(record.params, c.checkedOffset == paramOffset ? &image[paramOffset] : &marker);
  }
  Bytes image = sound;  // no file name: reported as "Firmware"
  image[5] ^= 1;
  t_FirmwareImage record{};
  const std::string output = validate(image, &record, nullptr).output;
  EXPECT_EQ(output.rfind("\nError: Bad CRC of file \"Firmware\"\n", 0), 0u);
}

// Mends: a header that points outside the bytes present is refused before anything is read there.
TEST(ValidateImage, HeaderOutsideTheImageIsBadWithoutReadingThere) {
  const Bytes sound = imagebuilder::buildDemoImage(0);
  const std::uint32_t length = static_cast<std::uint32_t>(sound.size());
  const struct {
    std::size_t keep;  // bytes kept
    int field;         // header word set to value (then resealed), or -1
    std::uint32_t value;
    const char* detail;
  } cases[] = {
      {0, -1, 0, "holds 0 bytes, fewer than the 80 of its header"},
      {79, -1, 0, "holds 79 bytes"},
      {80, -1, 0, "image length 147296 is not between 84 and the 80 bytes present"},
      {length - 1, -1, 0, "and the 147295 bytes present"},
      {length, 0x00, 0x50, "image length 80 is not between 84 and the 147296 bytes"},
      {length, 0x1C, length - 0x50 + 1, "firmware region (offset 80, length 147217)"},
      {length, 0x14, 0xFFFFFF00, "firmware region"},  // offset + length wraps in 32 bits
      {length, 0x1C, 0xFFFFFFF0, "firmware region"},
      {length, 0x20, length, "parameter-table region"},
      {length, 0x28, 0xFFFFFFFF, "parameter-table region"},
      {length, 0x20, 0x80000000, "parameter-table region"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.detail);
    Bytes image(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(c.keep));
    if (c.field >= 0) {
      storeLe32(&image[c.field], c.value);
      imagebuilder::sealRegion(image.data(), length);
    }
    t_FirmwareImage record{};
    const Outcome outcome = validate(image, &record);
    EXPECT_EQ(outcome.result, kImageBadCrc);
    EXPECT_EQ(outcome.output.rfind("\nError: Bad header in file \"test.vlfw\"\n", 0), 0u);
    EXPECT_NE(outcome.output.find(c.detail), std::string::npos) << outcome.output;
    EXPECT_EQ(record.firmware, nullptr);
  }
  t_FirmwareImage none{};
  testing::internal::CaptureStdout();
  EXPECT_EQ(validateImage("none", &none), kImageBadCrc);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Bad header"), std::string::npos);

  Bytes image = sound;  // an unterminated name would be read beyond its field
  std::memset(&image[0x30], 'A', 32);
  imagebuilder::sealRegion(image.data(), length);
  t_FirmwareImage record{};
  Outcome outcome = validate(image, &record);
  EXPECT_EQ(outcome.result, kImageBadCrc);
  EXPECT_NE(outcome.output.find("product name is not terminated"), std::string::npos);
  image[0x30 + 31] = 0;  // 31 characters and the NUL fit
  imagebuilder::sealRegion(image.data(), length);
  image.resize(length + 16, 0xEE);  // bytes behind imageLength are not checked
  EXPECT_EQ(validate(image, &record).result, kImageSound);
}

// The image builder through the mkimage command line, run in a scratch directory.
TEST(MkImage, ReproducesBothCommittedImagesBuildsVariantsAndRefusesBadInput) {
  char pattern[] = "/tmp/vlfwu-mkimage-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  const struct Cleanup { fs::path path; ~Cleanup() { fs::remove_all(path); } } cleanup{dir};
  const auto run = [&](const std::vector<std::string>& arguments) {
    vlfwu_test::ChildProcess child;
    vlfwu_test::ChildProcess::Options options;
    options.workingDirectory = dir.string();
    EXPECT_TRUE(child.start(VLFWU_BIN_DIR "/mkimage", arguments, {}, options)) << child.error();
    return child.wait(30000);
  };
  const char* const args[2][4] = {{"1", "86", "Sonarch60", "0x1A07FE00"},
                                  {"2", "100", "Sonarch60-2710", "0x1A03FE00"}};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(kCommitted[i]);
    const Bytes committed = readFile(kImageDir / kCommitted[i]);
    ASSERT_EQ(run({"--demo-firmware", args[i][0], "-o", "raw.bin"}).exitCode, 0);
    const auto result = run({"--firmware", "raw.bin", "--model", args[i][1], "--pcb", "5",
                             "--version", "0x04020000", "--name", args[i][2], "--param-address",
                             args[i][3], "-o", "b.vlfw"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(!committed.empty() && readFile(dir / "b.vlfw") == committed);
    ASSERT_EQ(run({"--demo", args[i][0], "-o", "d.vlfw"}).exitCode, 0);
    EXPECT_TRUE(readFile(dir / "d.vlfw") == committed);
  }
  // A variant with every table option set (raw.bin is the second demo firmware).
  ASSERT_EQ(run({"--firmware", "raw.bin", "--model", "90", "--pcb", "2", "--version", "1",
                 "--name", std::string(31, 'N'), "--param-address", "0x1A03FE00", "--magic",
                 "0x1E3CA501", "--check-length", "0x100", "--entry", "0x1A000201", "-o", "v.vlfw"})
                .exitCode, 0);
  const Bytes variant = readFile(dir / "v.vlfw");
  t_FirmwareImage record{};
  ASSERT_EQ(validate(variant, &record).result, kImageSound);
  const std::uint8_t* table = record.params;
  EXPECT_EQ(loadLe32(table + 0x28), 0x1E3CA501u);
  EXPECT_EQ(loadLe32(table + 0x2C), 0x5A024101u);  // model, PCB revision, id bytes
  EXPECT_EQ(loadLe32(table + 0x38), 0x100u);
  EXPECT_EQ(loadLe32(table + 0x3C), crc32Final(registerOver(&variant[0x50], 0x100)));
  EXPECT_EQ(loadLe32(table + 0x84), 0x1A000201u);

  Bytes bad = readFile(dir / "b.vlfw");
  bad[100] ^= 1;
  std::ofstream(dir / "bad.vlfw", std::ios::binary)
      .write(reinterpret_cast<const char*>(bad.data()), static_cast<std::streamsize>(bad.size()));
  std::ofstream(dir / "tiny.bin") << "123456";
  // 200 KB of firmware: with its table at the end of a 256 KB bank they share sector 10.
  const Bytes big(200 * 1024, 0x5A);
  std::ofstream(dir / "big.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(big.data()), static_cast<std::streamsize>(big.size()));
  imagebuilder::ImageSpec sharedSpec = imagebuilder::demoImageSpec(1);
  Bytes shared;
  ASSERT_TRUE(imagebuilder::buildImage(sharedSpec, big, &shared, nullptr));
  std::ofstream(dir / "shared.vlfw", std::ios::binary)
      .write(reinterpret_cast<const char*>(shared.data()),
             static_cast<std::streamsize>(shared.size()));
  // The second demo firmware without its vector checksum: sound CRCs, but never started.
  Bytes unbootableFirmware = readFile(dir / "raw.bin");
  ASSERT_GE(unbootableFirmware.size(), 32u);
  storeLe32(&unbootableFirmware[28], 0);
  Bytes unbootable;
  ASSERT_TRUE(imagebuilder::buildImage(sharedSpec, unbootableFirmware, &unbootable, nullptr));
  std::ofstream(dir / "unbootable.vlfw", std::ios::binary)
      .write(reinterpret_cast<const char*>(unbootable.data()),
             static_cast<std::streamsize>(unbootable.size()));
  const std::string doesNotFit = "Error: The firmware image does not fit the switch's flash.\n";
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
    const char* message;
  } cases[] = {
      {{"--verify", "b.vlfw"}, 0, "sound image for model 100, PCB revision 5, \"Sonarch60-2710\""},
      {{"--verify", "bad.vlfw"}, 1, "Error: Bad CRC of file \"bad.vlfw\""},
      {{"--frobnicate", "1"}, 2, "unknown option --frobnicate"},
      {{"--firmware", "raw.bin", "--model", "86x", "-o", "x"}, 2, "bad value \"86x\" for --model"},
      {{"--firmware", "raw.bin", "--name", std::string(32, 'n'), "-o", "x"}, 2, "longer than 31"},
      {{"--verify", "missing.vlfw"}, 1, "cannot open \"missing.vlfw\""},
      // Sound CRCs, but regions the update would refuse: not verified, and not built.
      {{"--verify", "shared.vlfw"}, 1, "shares sector 10 of flash bank A"},
      {{"--firmware", "big.bin", "--model", "100", "--pcb", "5", "--version", "1", "--name", "N",
        "--param-address", "0x1A03FE00", "-o", "x"}, 1, "shares sector 10 of flash bank A"},
      {{"--firmware", "raw.bin", "--model", "100", "--pcb", "5", "--version", "1", "--name", "N",
        "--param-address", "0x1A03FE04", "-o", "x"}, 1, "does not start on a 512-byte flash page"},
      {{"--firmware", "raw.bin", "--model", "100", "--pcb", "5", "--version", "1", "--name", "N",
        "--param-address", "0x1A07FFC0", "-o", "x"}, 1, "runs past the end of flash bank A"},
      {{"--firmware", "tiny.bin", "--model", "86", "--pcb", "5", "--version", "1", "--name", "N",
        "--param-address", "0", "-o", "x"}, 1, "too short"},
      // Where the restart never reads it, or firmware the chip never starts.
      {{"--firmware", "raw.bin", "--model", "86", "--pcb", "5", "--version", "1", "--name", "N",
        "--param-address", "0x1A060000", "-o", "x"}, 1,
       "Its parameter table at 0x1A060000 is at neither 0x1A07FE00 nor 0x1A03FE00, where the switch "
       "reads it."},
      {{"--firmware", "raw.bin", "--model", "86", "--pcb", "5", "--version", "1", "--name", "N",
        "--param-address", "0x1A07FE00", "--firmware-address", "0x1A010000", "-o", "x"}, 1,
       "Its firmware region at 0x1A010000 does not start at 0x1A000000, where the switch starts its "
       "firmware."},
      {{"--verify", "unbootable.vlfw"}, 1, "Its firmware's first eight words sum to 0x"},
  };
  for (const auto& c : cases) {
    const auto result = run(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.message;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    if (c.exitCode == 1 && std::string(c.message).find("flash") != std::string::npos) {
      EXPECT_EQ(result.output.rfind(doesNotFit, 0), 0u) << result.output;
    }
  }
  EXPECT_FALSE(fs::exists(dir / "x"));
}

}  // namespace
