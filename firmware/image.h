#pragma once
// The firmware image container: header, firmware region, parameter-table region and a
// whole-image CRC-32, all little-endian.
#include <bit>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "image headers and parameter tables are read in place as little-endian");

struct t_FirmwareHeader {
  std::uint32_t imageLength;
  std::uint32_t formatWord;
  std::uint32_t modelNumber;
  std::uint32_t pcbRevision;
  std::uint32_t firmwareVersion;
  std::uint32_t firmwareOffset;
  std::uint32_t firmwareAddress;
  std::uint32_t firmwareLength;
  std::uint32_t paramOffset;
  std::uint32_t paramAddress;
  std::uint32_t paramLength;
  std::uint32_t reservedWord;
  char productName[32];
};
static_assert(sizeof(t_FirmwareHeader) == 0x50);

// One image as the system works on it. The caller sets image and imageSize; validateImage
// fills header, firmware and params as it locates the regions.
struct t_FirmwareImage {
  const std::uint8_t* image;
  const t_FirmwareHeader* header;
  const std::uint8_t* firmware;
  const std::uint8_t* params;
  std::uint32_t imageSize;  // bytes actually present, so a header cannot point outside them
};

struct t_EmbeddedImage {
  const std::uint8_t* data;
  std::uint32_t size;
};

constexpr int kEmbeddedImageCount = 2;
// Sonarch60 (model 86) first, then Sonarch60-2710 (model 100).
extern const t_EmbeddedImage embeddedImages[kEmbeddedImageCount];

// The image chosen for the switch on the current port; empty while none fits.
extern t_FirmwareImage selectedImage;

// Result codes of validateImage.
constexpr int kImageSound = 0;
constexpr int kImageBadCrc = 4;
constexpr int kImageBadRegionCrc = 5;

// 0 when all three regions are sound; 4 when the whole image fails its CRC (or its header
// does not fit the bytes present); 5 when the firmware or the parameter-table region fails.
// Prints its own message; fileName may be null.
int validateImage(const char* fileName, t_FirmwareImage* image);

// Points record at embedded image index (fields image, header and imageSize).
void selectEmbeddedImage(t_FirmwareImage* record, int index);
