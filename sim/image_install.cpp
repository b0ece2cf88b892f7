#include "sim/image_install.h"

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>

#include "firmware/image.h"
#include "update/param_table.h"

namespace sim {

namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// A region of the image, ended by the CRC-32 of its other bytes.
bool regionSound(const std::uint8_t* region, std::uint32_t length) {
  if (length < 4) return false;
  return simCrc32(region, length - 4) == le32(region + length - 4);
}

}  // namespace

std::uint32_t simCrc32(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < count; ++i) c = kCrcTable[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t tableAddressFor(std::uint32_t bankSize) { return kBankA + bankSize - kTableArea; }

bool validCodeAt(const Memory& memory, std::uint32_t address) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < 8; ++i) sum += memory.readWord(address + 4 * i);
  return sum == 0;
}

bool installImage(const Options& options, Memory* memory, std::string* error) {
  std::ifstream in(options.installImage, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read image " + options.installImage;
    return false;
  }
  std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  return installImageBytes(image, options, memory, error);
}

bool installImageBytes(const std::vector<std::uint8_t>& image, const Options& options,
                       Memory* memory, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "image " + options.installImage + ": " + why;
    return false;
  };
  if (image.size() < sizeof(t_FirmwareHeader) + 4) return fail("too short for a header");
  t_FirmwareHeader h;
  std::memcpy(&h, image.data(), sizeof h);
  if (h.imageLength > image.size() || h.imageLength < sizeof h + 4)
    return fail("header's image length " + std::to_string(h.imageLength) +
                " does not fit the file's " + std::to_string(image.size()) + " bytes");
  if (!regionSound(image.data(), h.imageLength)) return fail("whole-image CRC-32 is wrong");
  std::uint64_t fwEnd = static_cast<std::uint64_t>(h.firmwareOffset) + h.firmwareLength;
  std::uint64_t ptEnd = static_cast<std::uint64_t>(h.paramOffset) + h.paramLength;
  if (fwEnd > h.imageLength || ptEnd > h.imageLength)
    return fail("a region lies outside the image");
  if (!regionSound(image.data() + h.firmwareOffset, h.firmwareLength))
    return fail("firmware region CRC-32 is wrong");
  if (h.paramLength != sizeof(t_ParamTable) ||
      !regionSound(image.data() + h.paramOffset, h.paramLength))
    return fail("parameter-table region is not a sound 144-byte table");
  if (!memory->inFlash(h.firmwareAddress, h.firmwareLength) || h.firmwareAddress % kPageSize)
    return fail("firmware region at " + hex(h.firmwareAddress) + " does not fit this flash");
  if (!memory->inFlash(h.paramAddress, kTableArea) || h.paramAddress % kPageSize)
    return fail("parameter table at " + hex(h.paramAddress) + " does not fit this flash");

  t_ParamTable table;
  std::memcpy(&table, image.data() + h.paramOffset, sizeof table);
  if (options.version) table.firmwareVersion = *options.version;
  if (options.name) {
    if (options.name->size() > 31) return fail("name longer than 31 characters");
    std::memset(table.productName, 0, sizeof table.productName);
    std::memcpy(table.productName, options.name->data(), options.name->size());
  }
  if (options.model) {
    if (*options.model < 0 || *options.model > 255) return fail("model must be 0..255");
    table.identityWord = (table.identityWord & 0x00FFFFFFu) |
                         (static_cast<std::uint32_t>(*options.model) << 24);
  }
  if (options.pcbRevision) {
    if (*options.pcbRevision < 0 || *options.pcbRevision > 255)
      return fail("PCB revision must be 0..255");
    table.identityWord = (table.identityWord & 0xFF00FFFFu) |
                         (static_cast<std::uint32_t>(*options.pcbRevision) << 16);
  }
  if (options.oldTableForm) table.magic = kTableMagicOld;
  if (options.badCheckCrc) table.checkCrc ^= 0x00000001u;
  table.tableCrc = simCrc32(reinterpret_cast<const std::uint8_t*>(&table),
                            offsetof(t_ParamTable, tableCrc));

  memory->eraseAll();
  // The firmware region, its last page padded with the erased state (nothing to program).
  memory->program(h.firmwareAddress, image.data() + h.firmwareOffset, h.firmwareLength);
  if (!options.eraseTable) {
    std::vector<std::uint8_t> area(kTableArea, 0xFF);
    std::memcpy(area.data(), &table, sizeof table);
    memory->program(h.paramAddress, area.data(), kTableArea);
  }
  return true;
}

}  // namespace sim
