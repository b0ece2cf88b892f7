// mkimage: builds a firmware image container from a raw firmware binary, writes the demo
// firmware binaries, and checks an image the way the update utility does.
//
// The committed demo images are reproduced by (commands wrapped here for width):
//   mkimage --demo-firmware 1 -o sonarch60.bin
//   mkimage --firmware sonarch60.bin --model 86 --pcb 5 --version 0x04020000
//           --name Sonarch60 --param-address 0x1A07FE00 -o sonarch60.vlfw
//   mkimage --demo-firmware 2 -o sonarch60-2710.bin
//   mkimage --firmware sonarch60-2710.bin --model 100 --pcb 5 --version 0x04020000
//           --name Sonarch60-2710 --param-address 0x1A03FE00 -o sonarch60-2710.vlfw
// or, in one step each, by "mkimage --demo 1 -o ..." and "mkimage --demo 2 -o ...".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "tools/image_builder.h"
#include "update/image_fit.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  mkimage --firmware BIN --model N --pcb N --version V --name NAME\n"
    "          --param-address A [options] -o IMAGE\n"
    "      Builds an image container from the raw firmware binary BIN.\n"
    "  mkimage --demo-firmware K -o BIN\n"
    "      Writes the deterministic demo firmware binary of demo image K (1 or 2).\n"
    "  mkimage --demo K -o IMAGE\n"
    "      Writes demo image K: 1 Sonarch60 (model 86), 2 Sonarch60-2710 (model 100).\n"
    "  mkimage --verify IMAGE\n"
    "      Checks an image's three CRC-32 values, that its regions fit the switch's flash\n"
    "      where the switch starts its firmware and reads its table, and that the first\n"
    "      eight words of the firmware sum to 0 (the chip's valid-code mark), as the update\n"
    "      utility does. Built images are checked the same way.\n"
    "\n"
    "Options for building (numbers are decimal, or hexadecimal with 0x):\n"
    "  --firmware-address A   flash address of the firmware region (default 0x1A000000)\n"
    "  --format-word W        header format word (default 0x01000000)\n"
    "  --entry A              entry address in the table (default: the reset vector)\n"
    "  --id-byte1 B, --id-byte0 B  low bytes of the identity word (default 0x41, 0x01)\n"
    "  --check-length N       firmware bytes covered by the table's check (default 512)\n"
    "  --magic M              table magic (default 0x1E3CA502)\n"
    "  --help                 this text\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "mkimage: %s\nTry 'mkimage --help'.\n", message.c_str());
  return 2;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "mkimage: %s\n", message.c_str());
  return 1;
}

std::optional<std::uint32_t> parseNumber(const std::string& text, std::uint32_t max) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

bool readFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open \"" + path + "\" for reading";
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read \"" + path + "\"";
    return false;
  }
  return true;
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes,
               std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    *error = "cannot write \"" + path + "\"";
    return false;
  }
  return true;
}

// A built image, located as the utility locates it, against the flash and the chip's boot rules.
bool fitsFlash(const std::vector<std::uint8_t>* bytes) {
  t_FirmwareImage image{};
  image.image = bytes->data();
  image.imageSize = static_cast<std::uint32_t>(bytes->size());
  return validateImage(nullptr, &image) == kImageSound && checkImageFit(&image) == kFitSound;
}

int verify(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!readFile(path, &bytes, &error)) return failure(error);
  if (bytes.size() > 0xFFFFFFFFu) return failure("\"" + path + "\" is too large for an image");
  t_FirmwareImage image{};
  image.image = bytes.data();
  image.imageSize = static_cast<std::uint32_t>(bytes.size());
  if (validateImage(path.c_str(), &image) != kImageSound) return 1;
  if (checkImageFit(&image) != kFitSound) return 1;
  std::printf("%s: sound image for model %u, PCB revision %u, \"%s\", %u bytes.\n", path.c_str(),
              image.header->modelNumber, image.header->pcbRevision, image.header->productName,
              image.header->imageLength);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usageError("nothing to do");

  imagebuilder::ImageSpec spec;
  std::string firmwarePath, outputPath, verifyPath;
  std::optional<int> demoFirmware, demoImage;
  bool haveModel = false, havePcb = false, haveVersion = false, haveName = false,
       haveParamAddress = false;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= args.size()) return usageError("option " + option + " needs a value");
    const std::string& value = args[++i];
    const auto number = [&](std::uint32_t max, std::uint32_t* target) {
      const auto parsed = parseNumber(value, max);
      if (!parsed) return false;
      *target = *parsed;
      return true;
    };
    const auto bad = [&]() {
      return usageError("bad value \"" + value + "\" for " + option);
    };
    std::uint32_t scratch = 0;
    if (option == "-o" || option == "--output") {
      outputPath = value;
    } else if (option == "--firmware") {
      firmwarePath = value;
    } else if (option == "--verify") {
      verifyPath = value;
    } else if (option == "--demo-firmware" || option == "--demo") {
      if (!number(imagebuilder::kDemoImageCount, &scratch) || scratch < 1) {
        return usageError("demo image number must be 1 or 2, not \"" + value + "\"");
      }
      (option == "--demo" ? demoImage : demoFirmware) = static_cast<int>(scratch) - 1;
    } else if (option == "--model") {
      if (!number(0xFF, &spec.modelNumber)) return bad();
      haveModel = true;
    } else if (option == "--pcb") {
      if (!number(0xFF, &spec.pcbRevision)) return bad();
      havePcb = true;
    } else if (option == "--version") {
      if (!number(0xFFFFFFFF, &spec.firmwareVersion)) return bad();
      haveVersion = true;
    } else if (option == "--name") {
      if (value.size() > imagebuilder::kMaxNameLength) {
        return usageError("product name \"" + value + "\" is longer than 31 characters");
      }
      spec.productName = value;
      haveName = true;
    } else if (option == "--param-address") {
      if (!number(0xFFFFFFFF, &spec.paramAddress)) return bad();
      haveParamAddress = true;
    } else if (option == "--firmware-address") {
      if (!number(0xFFFFFFFF, &spec.firmwareAddress)) return bad();
    } else if (option == "--format-word") {
      if (!number(0xFFFFFFFF, &spec.formatWord)) return bad();
    } else if (option == "--entry") {
      if (!number(0xFFFFFFFF, &scratch)) return bad();
      spec.entryAddress = scratch;
    } else if (option == "--id-byte1" || option == "--id-byte0") {
      if (!number(0xFF, &scratch)) return bad();
      (option == "--id-byte1" ? spec.idByte1 : spec.idByte0) = static_cast<std::uint8_t>(scratch);
    } else if (option == "--check-length") {
      if (!number(0xFFFFFFFF, &spec.checkLength)) return bad();
    } else if (option == "--magic") {
      if (!number(0xFFFFFFFF, &spec.magic)) return bad();
    } else {
      return usageError("unknown option " + option);
    }
  }

  const int modes = !firmwarePath.empty() + demoFirmware.has_value() + demoImage.has_value() +
                    !verifyPath.empty();
  if (modes != 1) {
    return usageError("give exactly one of --firmware, --demo-firmware, --demo and --verify");
  }
  if (!verifyPath.empty()) return verify(verifyPath);
  if (outputPath.empty()) return usageError("no output file given (-o FILE)");

  std::string error;
  std::vector<std::uint8_t> bytes;
  if (demoFirmware) {
    if (!imagebuilder::makeDemoFirmware(imagebuilder::demoFirmwareSpec(*demoFirmware), &bytes,
                                        &error)) {
      return failure(error);
    }
  } else if (demoImage) {
    bytes = imagebuilder::buildDemoImage(*demoImage);
    if (bytes.empty()) return failure("demo image could not be built");
  } else {
    if (!haveModel || !havePcb || !haveVersion || !haveName || !haveParamAddress) {
      return usageError(
          "building an image needs --model, --pcb, --version, --name and --param-address");
    }
    std::vector<std::uint8_t> firmware;
    if (!readFile(firmwarePath, &firmware, &error)) return failure(error);
    if (!imagebuilder::buildImage(spec, firmware, &bytes, &error)) {
      return failure("\"" + firmwarePath + "\": " + error);
    }
    // An image the update would refuse is not written at all.
    if (!fitsFlash(&bytes)) {
      std::fflush(stdout);  // the reason, on standard output, before the verdict
      return failure("\"" + outputPath + "\" not written");
    }
  }
  if (!writeFile(outputPath, bytes, &error)) return failure(error);
  return 0;
}
