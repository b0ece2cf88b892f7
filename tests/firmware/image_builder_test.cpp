// The image builder library and the mkimage tool over it.
#include "tools/image_builder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/crc32.h"
#include "firmware/image.h"
#include "tests/common/child_process.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int validateQuietly(const Bytes& bytes) {
  t_FirmwareImage record{};
  record.image = bytes.data();
  record.imageSize = static_cast<std::uint32_t>(bytes.size());
  testing::internal::CaptureStdout();
  const int result = validateImage("variant", &record);
  testing::internal::GetCapturedStdout();
  return result;
}

t_ParamTable tableOf(const Bytes& image) {
  t_FirmwareHeader header;
  std::memcpy(&header, image.data(), sizeof header);
  t_ParamTable table;
  std::memcpy(&table, image.data() + header.paramOffset, sizeof table);
  return table;
}

TEST(ImageBuilder, DemoFirmwareHasAValidVectorTableAndIsDeterministic) {
  for (int index = 0; index < imagebuilder::kDemoImageCount; ++index) {
    const imagebuilder::DemoFirmwareSpec spec = imagebuilder::demoFirmwareSpec(index);
    Bytes first, second;
    std::string error;
    ASSERT_TRUE(imagebuilder::makeDemoFirmware(spec, &first, &error)) << error;
    ASSERT_TRUE(imagebuilder::makeDemoFirmware(spec, &second, &error)) << error;
    EXPECT_TRUE(first == second);
    EXPECT_EQ(first.size(), spec.length);
    EXPECT_EQ(imagebuilder::vectorTableSum(first.data()), 0u);
    EXPECT_EQ(imagebuilder::loadLe32(first.data() + 4), spec.entryAddress);
  }
  Bytes a, b;
  ASSERT_TRUE(imagebuilder::makeDemoFirmware(imagebuilder::demoFirmwareSpec(0), &a, nullptr));
  ASSERT_TRUE(imagebuilder::makeDemoFirmware(imagebuilder::demoFirmwareSpec(1), &b, nullptr));
  EXPECT_FALSE(std::equal(a.begin() + 0x200, a.begin() + 0x400, b.begin() + 0x200))
      << "the two demo firmwares should differ in their filler";
}

TEST(ImageBuilder, RejectsUnusableDemoFirmwareSpecs) {
  Bytes out;
  std::string error;
  imagebuilder::DemoFirmwareSpec spec = imagebuilder::demoFirmwareSpec(0);
  spec.length = 0x1FC;
  EXPECT_FALSE(imagebuilder::makeDemoFirmware(spec, &out, &error));
  EXPECT_NE(error.find("at least 512"), std::string::npos) << error;
  spec = imagebuilder::demoFirmwareSpec(0);
  spec.entryAddress &= ~1u;
  EXPECT_FALSE(imagebuilder::makeDemoFirmware(spec, &out, &error));
  EXPECT_NE(error.find("odd"), std::string::npos) << error;
  spec = imagebuilder::demoFirmwareSpec(0);
  spec.entryAddress = spec.loadAddress + spec.length + 1;
  EXPECT_FALSE(imagebuilder::makeDemoFirmware(spec, &out, &error));
}

TEST(ImageBuilder, BuiltVariantsValidateAndCarryTheirFields) {
  Bytes firmware(0x400);
  for (std::size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<std::uint8_t>(i * 7);
  imagebuilder::storeLe32(firmware.data() + 4, 0x1A000101);
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
  EXPECT_EQ(validateQuietly(image), kImageSound);
  const t_ParamTable table = tableOf(image);
  EXPECT_EQ(table.identityWord, 0x5A024101u);
  EXPECT_EQ(table.magic, kTableMagicOld);
  EXPECT_EQ(table.entryAddress, 0x1A000101u);  // the reset vector
  EXPECT_EQ(table.checkCrc, imagebuilder::crc32Of(firmware.data(), 0x100));

  spec.entryAddress = 0x1A000201;
  ASSERT_TRUE(imagebuilder::buildImage(spec, firmware, &image, &error)) << error;
  EXPECT_EQ(tableOf(image).entryAddress, 0x1A000201u);
}

TEST(ImageBuilder, RejectsBadBuildInput) {
  const Bytes firmware(0x400, 0);
  Bytes image;
  std::string error;
  imagebuilder::ImageSpec spec = imagebuilder::demoImageSpec(0);
  spec.productName = std::string(32, 'x');
  EXPECT_FALSE(imagebuilder::buildImage(spec, firmware, &image, &error));
  EXPECT_NE(error.find("longer than 31"), std::string::npos) << error;
  spec = imagebuilder::demoImageSpec(0);
  spec.modelNumber = 256;
  EXPECT_FALSE(imagebuilder::buildImage(spec, firmware, &image, &error));
  spec = imagebuilder::demoImageSpec(0);
  EXPECT_FALSE(imagebuilder::buildImage(spec, Bytes(4, 0), &image, &error));
  EXPECT_FALSE(imagebuilder::buildImage(spec, Bytes(0x100, 0), &image, &error))
      << "a 512-byte check cannot cover a 260-byte firmware region";
}

TEST(ImageBuilder, ResealMakesAnEditedImageSoundAgain) {
  Bytes image = imagebuilder::buildDemoImage(1);
  t_FirmwareHeader header;
  std::memcpy(&header, image.data(), sizeof header);
  image[0x50 + 0x10] ^= 0xFF;  // inside the first 512 bytes, so checkCrc changes too
  std::string error;
  ASSERT_TRUE(imagebuilder::resealImage(&image, true, &error)) << error;
  EXPECT_EQ(validateQuietly(image), kImageSound);
  EXPECT_EQ(tableOf(image).checkCrc, imagebuilder::crc32Of(image.data() + 0x50, 0x200));

  Bytes bad = image;
  imagebuilder::storeLe32(bad.data() + 0x1C, 0xFFFFFFF0);
  EXPECT_FALSE(imagebuilder::resealImage(&bad, false, &error));
  Bytes shortImage(image.begin(), image.begin() + 40);
  EXPECT_FALSE(imagebuilder::resealImage(&shortImage, false, &error));
}

// The mkimage command line.
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

TEST_F(MkImage, ReproducesBothCommittedImagesFromTheDemoFirmware) {
  struct Demo {
    const char* index;
    const char* model;
    const char* name;
    const char* paramAddress;
    const char* committed;
  };
  const Demo demos[] = {
      {"1", "86", "Sonarch60", "0x1A07FE00", "sonarch60.vlfw"},
      {"2", "100", "Sonarch60-2710", "0x1A03FE00", "sonarch60-2710.vlfw"},
  };
  for (const Demo& d : demos) {
    auto result = run({"--demo-firmware", d.index, "-o", "raw.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    result = run({"--firmware", "raw.bin", "--model", d.model, "--pcb", "5", "--version",
                  "0x04020000", "--name", d.name, "--param-address", d.paramAddress, "-o",
                  "built.vlfw"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const Bytes committed = readFile(fs::path(VLFWU_SOURCE_DIR "/firmware/images") / d.committed);
    ASSERT_FALSE(committed.empty());
    EXPECT_TRUE(readFile(dir / "built.vlfw") == committed) << d.committed;

    result = run({"--demo", d.index, "-o", "demo.vlfw"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(readFile(dir / "demo.vlfw") == committed) << d.committed;
  }
}

TEST_F(MkImage, VerifiesImages) {
  writeFile(dir / "good.vlfw", imagebuilder::buildDemoImage(0));
  auto result = run({"--verify", "good.vlfw"});
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("sound image for model 86, PCB revision 5, \"Sonarch60\""),
            std::string::npos)
      << result.output;

  Bytes bad = imagebuilder::buildDemoImage(0);
  bad[100] ^= 1;
  writeFile(dir / "bad.vlfw", bad);
  result = run({"--verify", "bad.vlfw"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.output.find("Error: Bad CRC of file \"bad.vlfw\""), std::string::npos)
      << result.output;
}

TEST_F(MkImage, HelpAndBadInput) {
  auto result = run({"--help"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.output.find("Usage:"), std::string::npos);

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
      {{"--firmware", "missing.bin", "--model", "86", "--pcb", "5", "--version", "1", "--name",
        "N", "--param-address", "0", "-o", "x"},
       1,
       "cannot open \"missing.bin\""},
      {{"--verify", "missing.vlfw"}, 1, "cannot open"},
  };
  for (const Case& c : cases) {
    result = run(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
  }

  writeFile(dir / "tiny.bin", Bytes(6, 0));
  result = run({"--firmware", "tiny.bin", "--model", "86", "--pcb", "5", "--version", "1",
                "--name", "N", "--param-address", "0", "-o", "x"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.output.find("too short"), std::string::npos) << result.output;
  EXPECT_FALSE(fs::exists(dir / "x"));
}

}  // namespace
