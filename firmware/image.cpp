// Validation of a firmware image container: whole image, firmware region and parameter table
// each end with their CRC-32, checked by the residue the register is left at.
#include "firmware/image.h"

#include <cstdint>

#include "firmware/crc32.h"
#include "support/console.h"

namespace {

constexpr std::uint32_t kHeaderSize = sizeof(t_FirmwareHeader);
constexpr std::uint32_t kCrcSize = 4;

std::uint32_t residueOf(const std::uint8_t* bytes, std::uint32_t count) {
  return crc32Update(crc32Init(), bytes, count);
}

// A header that cannot be trusted is as fatal as a bad CRC, and worded so the user sees why.
void reportBadHeader(const char* fileName) {
  conStdPrintf("\nError: Bad header in file \"%s\"\n", fileName);
}

// True when [offset, offset + length) lies within the first limit bytes; 64-bit sums so that
// a corrupt offset cannot wrap around.
bool regionFits(std::uint32_t offset, std::uint32_t length, std::uint32_t limit) {
  return std::uint64_t{offset} + length <= limit;
}

bool nameTerminated(const char (&name)[32]) {
  for (char c : name) {
    if (c == '\0') return true;
  }
  return false;
}

// The residue check of the firmware or parameter-table region, with its message on failure.
bool regionSound(const char* name, const std::uint8_t* region, std::uint32_t length) {
  const std::uint32_t crc = residueOf(region, length);
  if (crc == kCrc32Residue) {
    return true;
  }
  conStdPrintf("\nError: Bad CRC of firmware in file \"%s\"\nMAGIC_CRC=%08X, CRC=%08X.\n", name, crc,
              crc32Final(crc));
  return false;
}

}  // namespace

int validateImage(const char* fileName, t_FirmwareImage* image) {
  const char* name = fileName != nullptr ? fileName : "Firmware";
  if (image == nullptr || image->image == nullptr || image->imageSize < kHeaderSize) {
    if (image != nullptr) image->header = nullptr;
    reportBadHeader(name);
    conStdPrintf("The image holds %u bytes, fewer than the %u of its header.\n",
                image != nullptr && image->image != nullptr ? image->imageSize : 0u, kHeaderSize);
    return kImageBadCrc;
  }

  image->header = reinterpret_cast<const t_FirmwareHeader*>(image->image);
  const t_FirmwareHeader& header = *image->header;
  // The whole-image CRC may only run over bytes that are really there.
  if (header.imageLength < kHeaderSize + kCrcSize || header.imageLength > image->imageSize) {
    reportBadHeader(name);
    conStdPrintf("Its image length %u is not between %u and the %u bytes present.\n",
                header.imageLength, kHeaderSize + kCrcSize, image->imageSize);
    return kImageBadCrc;
  }

  std::uint32_t crc = residueOf(image->image, header.imageLength);
  if (crc != kCrc32Residue) {
    conStdPrintf("\nError: Bad CRC of file \"%s\"\nMAGIC_CRC=%08X, CRC=%08X.\n", name, crc,
                crc32Final(crc));
    return kImageBadCrc;
  }

  // A header with a sound CRC can still describe regions outside the image or an unterminated
  // name, which later steps would read beyond.
  if (!regionFits(header.firmwareOffset, header.firmwareLength, header.imageLength)) {
    reportBadHeader(name);
    conStdPrintf("Its firmware region (offset %u, length %u) lies outside the image of %u bytes.\n",
                header.firmwareOffset, header.firmwareLength, header.imageLength);
    return kImageBadCrc;
  }
  if (!regionFits(header.paramOffset, header.paramLength, header.imageLength)) {
    reportBadHeader(name);
    conStdPrintf(
        "Its parameter-table region (offset %u, length %u) lies outside the image of %u bytes.\n",
        header.paramOffset, header.paramLength, header.imageLength);
    return kImageBadCrc;
  }
  if (!nameTerminated(header.productName)) {
    reportBadHeader(name);
    conStdPrintf("Its product name is not terminated within %u bytes.\n",
                static_cast<unsigned>(sizeof header.productName));
    return kImageBadCrc;
  }

  // A failing region stops the checks: the region behind it is neither located nor checked.
  image->firmware = image->image + header.firmwareOffset;
  if (!regionSound(name, image->firmware, header.firmwareLength)) {
    return kImageBadRegionCrc;
  }
  image->params = image->image + header.paramOffset;
  if (!regionSound(name, image->params, header.paramLength)) {
    return kImageBadRegionCrc;
  }
  return kImageSound;
}

t_FirmwareImage selectedImage{};

void selectEmbeddedImage(t_FirmwareImage* record, int index) {
  if (record == nullptr) return;
  *record = t_FirmwareImage{};
  if (index < 0 || index >= kEmbeddedImageCount) return;
  const t_EmbeddedImage& source = embeddedImages[index];
  record->image = source.data;
  record->imageSize = source.size;
  // A missing image is embedded as a single byte: no header to point at.
  if (source.size >= kHeaderSize) {
    record->header = reinterpret_cast<const t_FirmwareHeader*>(source.data);
  }
}
