// CRC-32, image validation, the image builder and the mkimage tool over it.
#include "firmware/image.h"

#include <gtest/gtest.h>

#include <unistd.h>

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
  std::snprintf(text, sizeof text, "\nError: Bad CRC of %s\"test.vlfw\"\nMAGIC_CRC=%08X, CRC=%08X.\n",
                kind, crc, ~crc);
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

t_ParamTable tableOf(const Bytes& image) {
  t_ParamTable table;
  std::memcpy(&table, image.data() + loadLe32(image.data() + 0x20), sizeof table);
  return table;
}

TEST(Crc32, KnownValuesResidueAndChaining) {
  const std::uint8_t any = 0x55;
  EXPECT_EQ(crc32Init(), 0xFFFFFFFFu);
  EXPECT_EQ(crc32Update(0x12345678, &any, 0), 0x12345678u);
  EXPECT_EQ(crc32Final(registerOver(&any, 0)), 0u);
  EXPECT_EQ(registerOver(reinterpret_cast<const std::uint8_t*>("abc"), 3), 0xCADBBE3Du);
  EXPECT_EQ(crc32Final(0xCADBBE3D), 0x352441C2u);
  EXPECT_EQ(crc32Final(registerOver(reinterpret_cast<const std::uint8_t*>("123456789"), 9)),
            0xCBF43926u);
  EXPECT_EQ(kCrc32Residue, 0xDEBB20E3u);

  std::mt19937 random(7);
  for (std::size_t length : {1u, 15u, 16u, 17u, 256u, 4099u}) {
    SCOPED_TRACE(length);
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    std::uint32_t reference = 0xFFFFFFFF;  // bit at a time, independent of the nibble table
    for (std::uint8_t b : bytes) {
      reference ^= b;
      for (int bit = 0; bit < 8; ++bit)
        reference = (reference & 1) ? (reference >> 1) ^ 0xEDB88320 : reference >> 1;
    }
    const std::size_t split = length / 3;  // the register carries across calls
    EXPECT_EQ(crc32Update(registerOver(bytes.data(), split), bytes.data() + split, length - split),
              reference);
    bytes.resize(length + 4);
    storeLe32(bytes.data() + length, ~reference);
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
  const char* const names[] = {"Sonarch60", "Sonarch60-2710"};
  const std::uint32_t entries[] = {0x1A00D8BD, 0x1A00D915};
  const std::uint32_t identities[] = {0x56054101, 0x64054101};
  for (int i = 0; i < kEmbeddedImageCount; ++i) {
    SCOPED_TRACE(kCommitted[i]);
    const Bytes image = readFile(kImageDir / kCommitted[i]);
    ASSERT_EQ(image.size(), header[i][0]);
    EXPECT_TRUE(imagebuilder::buildDemoImage(i) == image);
    t_FirmwareImage embedded{};
    selectEmbeddedImage(&embedded, i);
    EXPECT_TRUE(Bytes(embedded.image, embedded.image + embedded.imageSize) == image);

    t_FirmwareImage record{};
    const Outcome outcome = validate(image, &record, "Firmware");
    EXPECT_EQ(outcome.result, kImageSound);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(record.header, reinterpret_cast<const t_FirmwareHeader*>(image.data()));
    EXPECT_EQ(record.firmware, image.data() + 0x50);
    EXPECT_EQ(record.params, image.data() + header[i][8]);

    for (int word = 0; word < 12; ++word) EXPECT_EQ(loadLe32(&image[4 * word]), header[i][word]);
    const std::string name = names[i];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[0x30])), name);
    for (std::size_t k = name.size() + 1; k < 32; ++k) EXPECT_EQ(image[0x30 + k], 0xFF) << k;

    const t_ParamTable t = tableOf(image);
    EXPECT_EQ(t.firmwareLength, header[i][7]);
    EXPECT_EQ(t.firmwareVersion, 0x04020000u);
    EXPECT_EQ(std::string(t.productName), name);
    for (std::size_t k = name.size(); k < 32; ++k) EXPECT_EQ(t.productName[k], '\0');
    EXPECT_EQ(t.magic, 0x1E3CA502u);
    EXPECT_EQ(t.identityWord, identities[i]);
    EXPECT_EQ(t.tableLength, 0x90u);
    EXPECT_EQ(t.checkAddress, 0x1A000000u);
    EXPECT_EQ(t.checkLength, 0x200u);
    EXPECT_EQ(t.checkCrc, crc32Final(registerOver(&image[0x50], 0x200)));
    for (std::uint8_t b : t.fill) EXPECT_EQ(b, 0xFF);
    EXPECT_EQ(t.entryAddress, entries[i]);
    EXPECT_EQ(t.reserved, 0u);
    EXPECT_EQ(t.tableCrc, crc32Final(registerOver(&image[header[i][8]], 0x8C)));

    // Vector table: stack in RAM, the entry as reset vector, the bootloader's zero sum.
    EXPECT_EQ(loadLe32(&image[0x50]), 0x10008000u);
    EXPECT_EQ(loadLe32(&image[0x54]), entries[i]);
    EXPECT_EQ(imagebuilder::vectorTableSum(&image[0x50]), 0u);
  }
  for (int index : {-1, kEmbeddedImageCount}) {
    t_FirmwareImage record{};
    selectEmbeddedImage(&record, 0);
    selectEmbeddedImage(&record, index);
    EXPECT_TRUE(record.image == nullptr && record.header == nullptr && record.imageSize == 0);
  }
}

// The first failing check decides; a region behind it is not even located.
TEST(ValidateImage, FlippedBitsGiveTheCodeOfTheFirstFailingCheck) {
  const Bytes sound = imagebuilder::buildDemoImage(0);
  const std::uint32_t length = loadLe32(&sound[0]), paramOffset = loadLe32(&sound[0x20]);
  const std::uint32_t firmwareLength = loadLe32(&sound[0x1C]);
  struct Case {
    std::size_t offset;
    bool resealWhole;
    int code;
    std::uint32_t checkedOffset, checkedLength;
  };
  const Case cases[] = {
      {0x10, false, kImageBadCrc, 0, length},  // header; both regions still sound
      {0x50, false, kImageBadCrc, 0, length},
      {0x1050, false, kImageBadCrc, 0, length},
      {paramOffset + 0x10, false, kImageBadCrc, 0, length},
      {length - 1, false, kImageBadCrc, 0, length},  // the whole-image CRC itself
      {0x350, true, kImageBadRegionCrc, 0x50, firmwareLength},
      {paramOffset + 0x2C, true, kImageBadRegionCrc, paramOffset, 0x90},
  };
  for (const Case& c : cases) {
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
  EXPECT_EQ(validate(image, &record, nullptr).output.rfind("\nError: Bad CRC of file \"Firmware\"\n", 0), 0u);
}

// Mends: a header that points outside the bytes present is refused before anything is read there.
TEST(ValidateImage, HeaderOutsideTheImageIsBadWithoutReadingThere) {
  const Bytes sound = imagebuilder::buildDemoImage(0);
  const std::uint32_t length = static_cast<std::uint32_t>(sound.size());
  struct Case {
    std::size_t keep;  // bytes kept
    int field;         // header word set to value (then resealed), or -1
    std::uint32_t value;
    const char* detail;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
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

TEST(ImageBuilder, VariantsValidateAndBadInputIsRefused) {
  Bytes firmware(0x400);
  for (std::size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<std::uint8_t>(i * 7);
  storeLe32(&firmware[4], 0x1A000101);
  imagebuilder::ImageSpec spec;
  spec.modelNumber = 90;
  spec.pcbRevision = 2;
  spec.firmwareVersion = 0x030A2000;
  spec.productName = std::string(31, 'N');
  spec.magic = kTableMagicOld;
  spec.checkLength = 0x100;
  Bytes image;
  std::string error;
  ASSERT_TRUE(imagebuilder::buildImage(spec, firmware, &image, &error)) << error;
  EXPECT_EQ(image.size(), 0x50u + 0x404 + 0x90 + 4);
  t_FirmwareImage record{};
  EXPECT_EQ(validate(image, &record).result, kImageSound);
  EXPECT_EQ(tableOf(image).identityWord, 0x5A024101u);
  EXPECT_EQ(tableOf(image).magic, kTableMagicOld);
  EXPECT_EQ(tableOf(image).entryAddress, 0x1A000101u);  // the reset vector
  EXPECT_EQ(tableOf(image).checkCrc, imagebuilder::crc32Of(firmware.data(), 0x100));
  spec.entryAddress = 0x1A000201;
  ASSERT_TRUE(imagebuilder::buildImage(spec, firmware, &image, &error)) << error;
  EXPECT_EQ(tableOf(image).entryAddress, 0x1A000201u);

  spec.productName = std::string(32, 'x');
  EXPECT_FALSE(imagebuilder::buildImage(spec, firmware, &image, &error));
  EXPECT_NE(error.find("longer than 31"), std::string::npos) << error;
  spec = imagebuilder::demoImageSpec(0);
  EXPECT_FALSE(imagebuilder::buildImage(spec, Bytes(4, 0), &image, &error));
  EXPECT_FALSE(imagebuilder::buildImage(spec, Bytes(0x100, 0), &image, &error))
      << "a 512-byte check cannot cover a 260-byte firmware region";
  spec.modelNumber = 256;
  EXPECT_FALSE(imagebuilder::buildImage(spec, firmware, &image, &error));

  imagebuilder::DemoFirmwareSpec demo = imagebuilder::demoFirmwareSpec(0);
  demo.length = 0x1FC;
  EXPECT_FALSE(imagebuilder::makeDemoFirmware(demo, &image, &error));
  EXPECT_NE(error.find("at least 512"), std::string::npos) << error;
  demo = imagebuilder::demoFirmwareSpec(0);
  demo.entryAddress &= ~1u;
  EXPECT_FALSE(imagebuilder::makeDemoFirmware(demo, &image, &error));
  EXPECT_NE(error.find("odd"), std::string::npos) << error;
  demo.entryAddress = demo.loadAddress + demo.length + 1;
  EXPECT_FALSE(imagebuilder::makeDemoFirmware(demo, &image, &error));

  image = imagebuilder::buildDemoImage(1);
  image[0x50 + 0x10] ^= 0xFF;  // inside the checked first 512 bytes
  ASSERT_TRUE(imagebuilder::resealImage(&image, true, &error)) << error;
  EXPECT_EQ(validate(image, &record).result, kImageSound);
  EXPECT_EQ(tableOf(image).checkCrc, imagebuilder::crc32Of(&image[0x50], 0x200));
  storeLe32(&image[0x1C], 0xFFFFFFF0);
  EXPECT_FALSE(imagebuilder::resealImage(&image, false, &error));
  image.resize(40);
  EXPECT_FALSE(imagebuilder::resealImage(&image, false, &error));
}

class MkImage : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vlfwu-mkimage-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  vlfwu_test::ChildProcess::Result run(const std::vector<std::string>& arguments) {
    vlfwu_test::ChildProcess child;
    vlfwu_test::ChildProcess::Options options;
    options.workingDirectory = dir.string();
    EXPECT_TRUE(child.start(VLFWU_BIN_DIR "/mkimage", arguments, {}, options)) << child.error();
    return child.wait(30000);
  }
  fs::path dir;
};

TEST_F(MkImage, ReproducesBothCommittedImagesAndVerifies) {
  const char* const args[2][4] = {{"1", "86", "Sonarch60", "0x1A07FE00"},
                                  {"2", "100", "Sonarch60-2710", "0x1A03FE00"}};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(kCommitted[i]);
    const Bytes committed = readFile(kImageDir / kCommitted[i]);
    ASSERT_FALSE(committed.empty());
    auto result = run({"--demo-firmware", args[i][0], "-o", "raw.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    result = run({"--firmware", "raw.bin", "--model", args[i][1], "--pcb", "5", "--version",
                  "0x04020000", "--name", args[i][2], "--param-address", args[i][3], "-o", "b.vlfw"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(readFile(dir / "b.vlfw") == committed);
    ASSERT_EQ(run({"--demo", args[i][0], "-o", "d.vlfw"}).exitCode, 0);
    EXPECT_TRUE(readFile(dir / "d.vlfw") == committed);
  }
  auto result = run({"--verify", "b.vlfw"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.output.find("sound image for model 100, PCB revision 5, \"Sonarch60-2710\""),
            std::string::npos) << result.output;
  Bytes bad = readFile(dir / "b.vlfw");
  bad[100] ^= 1;
  std::ofstream(dir / "bad.vlfw", std::ios::binary)
      .write(reinterpret_cast<const char*>(bad.data()), static_cast<std::streamsize>(bad.size()));
  result = run({"--verify", "bad.vlfw"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.output.find("Error: Bad CRC of file \"bad.vlfw\""), std::string::npos);
}

TEST_F(MkImage, HelpAndBadInput) {
  auto result = run({"--help"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.output.find("Usage:"), std::string::npos);
  std::ofstream(dir / "tiny.bin") << "123456";
  const std::vector<std::string> build = {"--model", "86", "--pcb", "5", "--version", "1",
                                          "--name", "N", "--param-address", "0", "-o", "x"};
  auto withBuild = [&](const char* firmware) {
    std::vector<std::string> arguments = {"--firmware", firmware};
    arguments.insert(arguments.end(), build.begin(), build.end());
    return arguments;
  };
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    const char* message;
  };
  const Case cases[] = {
      {{}, 2, "nothing to do"},
      {{"--frobnicate", "1"}, 2, "unknown option --frobnicate"},
      {{"--demo", "3", "-o", "x"}, 2, "must be 1 or 2"},
      {{"--demo", "1"}, 2, "no output file"},
      {{"-o"}, 2, "needs a value"},
      {{"--demo", "1", "--demo-firmware", "1", "-o", "x"}, 2, "exactly one"},
      {{"--firmware", "raw.bin", "-o", "x"}, 2, "needs --model"},
      {{"--firmware", "raw.bin", "--model", "86x", "-o", "x"}, 2, "bad value \"86x\" for --model"},
      {{"--firmware", "raw.bin", "--model", "256", "-o", "x"}, 2, "bad value"},
      {{"--firmware", "raw.bin", "--version", "0x100000000", "-o", "x"}, 2, "bad value"},
      {{"--firmware", "raw.bin", "--name", std::string(32, 'n'), "-o", "x"}, 2, "longer than 31"},
      {withBuild("missing.bin"), 1, "cannot open \"missing.bin\""},
      {{"--verify", "missing.vlfw"}, 1, "cannot open"},
      {withBuild("tiny.bin"), 1, "too short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    result = run(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
  }
  EXPECT_FALSE(fs::exists(dir / "x"));
}

}  // namespace
