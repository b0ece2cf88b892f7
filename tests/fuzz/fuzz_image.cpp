// Validates arbitrary files as image containers, the way "mkimage --verify" reads them: the
// whole file, exactly the bytes present, then the flash-fit and boot rules for an image that
// passed.
//
// Random bytes almost never carry three matching CRC-32 values, so the first input byte may
// ask for them to be filled in first; then the header's offsets, lengths, name and addresses
// are what is exercised.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "firmware/crc32.h"
#include "firmware/image.h"
#include "update/image_fit.h"

namespace {

constexpr std::uint32_t kHeaderSize = sizeof(t_FirmwareHeader);

std::uint32_t loadLe32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

// Ends the region [offset, offset + length) with the CRC-32 of its other bytes, when the region
// lies inside the file and has room for it.
void seal(std::uint8_t* file, std::size_t size, std::uint32_t offset, std::uint32_t length) {
  if (length < 4 || std::uint64_t{offset} + length > size) {
    return;
  }
  const std::uint32_t crc = crc32Final(crc32Update(crc32Init(), file + offset, length - 4));
  for (int i = 0; i < 4; ++i) {
    file[offset + length - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
}

bool inside(const std::uint8_t* file, std::size_t size, const std::uint8_t* at,
            std::uint32_t length) {
  return at >= file && static_cast<std::size_t>(at - file) + std::uint64_t{length} <= size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Both routines print their verdicts; only the results are judged here.
  return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size - 1 > 0xFFFFFFFFu) {
    return 0;
  }
  const bool sealCrcs = (data[0] & 1) != 0;
  size -= 1;
  // Exactly the file's bytes, so that a read beyond them is caught.
  auto file = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
  std::memcpy(file.get(), data + 1, size);
  if (sealCrcs && size >= kHeaderSize) {
    const std::uint8_t* h = file.get();
    seal(file.get(), size, loadLe32(h + 0x14), loadLe32(h + 0x1C));  // firmware region
    seal(file.get(), size, loadLe32(h + 0x20), loadLe32(h + 0x28));  // parameter table
    seal(file.get(), size, 0, loadLe32(h));                          // the whole image
  }

  t_FirmwareImage image{};
  image.image = file.get();
  image.imageSize = static_cast<std::uint32_t>(size);
  const int result = validateImage("fuzz.vlfw", &image);
  if (result != kImageSound && result != kImageBadCrc && result != kImageBadRegionCrc) {
    __builtin_trap();
  }
  if (result != kImageSound) {
    return 0;
  }
  // A sound image's regions lie inside the file, and its name is terminated there.
  const t_FirmwareHeader* header = image.header;
  if (header == nullptr || reinterpret_cast<const std::uint8_t*>(header) != file.get() ||
      header->imageLength > size ||
      !inside(file.get(), size, image.firmware, header->firmwareLength) ||
      !inside(file.get(), size, image.params, header->paramLength) ||
      std::memchr(header->productName, '\0', sizeof header->productName) == nullptr) {
    __builtin_trap();
  }
  const int fit = checkImageFit(&image);
  if (fit < kFitSound || fit > kFitNotBootable) {
    __builtin_trap();
  }
  return 0;
}
