#include "tools/image_builder.h"

#include <cstring>

#include "firmware/crc32.h"

namespace imagebuilder {

namespace {

bool fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

std::string hex32(std::uint32_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
  return text;
}

// Header and table are plain little-endian words on every supported host (image.h asserts
// it), so they are filled as records and copied out byte for byte.
template <typename Record>
void copyRecord(const Record& record, std::uint8_t* destination) {
  std::memcpy(destination, &record, sizeof(Record));
}

bool checkName(const std::string& name, std::string* error) {
  if (name.size() > kMaxNameLength) {
    return fail(error, "product name \"" + name + "\" is longer than " +
                           std::to_string(kMaxNameLength) + " characters");
  }
  if (name.find('\0') != std::string::npos) {
    return fail(error, "product name contains a NUL character");
  }
  return true;
}

}  // namespace

std::uint32_t loadLe32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

void storeLe32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t crc32Of(const std::uint8_t* bytes, std::size_t count) {
  return crc32Final(crc32Update(crc32Init(), bytes, count));
}

std::uint32_t vectorTableSum(const std::uint8_t* firmware) {
  std::uint32_t sum = 0;
  for (int word = 0; word < 8; ++word) sum += loadLe32(firmware + 4 * word);
  return sum;
}

void sealRegion(std::uint8_t* region, std::size_t lengthWithCrc) {
  if (lengthWithCrc < kCrcSize) return;
  const std::size_t body = lengthWithCrc - kCrcSize;
  storeLe32(region + body, crc32Of(region, body));
}

void sealTable(t_ParamTable* table) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(table);
  table->tableCrc = crc32Of(bytes, offsetof(t_ParamTable, tableCrc));
}

bool makeDemoFirmware(const DemoFirmwareSpec& spec, std::vector<std::uint8_t>* out,
                      std::string* error) {
  constexpr std::uint32_t vectorBytes = kDemoVectorCount * 4;
  if (spec.length < 0x200 || spec.length % 4 != 0) {
    return fail(error, "demo firmware length " + std::to_string(spec.length) +
                           " must be a multiple of 4 and at least 512 bytes");
  }
  if (spec.length > 0xFFFFFFFF - spec.loadAddress) {
    return fail(error, "demo firmware at " + hex32(spec.loadAddress) + " with length " +
                           std::to_string(spec.length) + " runs past the end of the address space");
  }
  const std::uint32_t end = spec.loadAddress + spec.length;
  if ((spec.entryAddress & 1) == 0 || spec.entryAddress < spec.loadAddress + vectorBytes ||
      spec.entryAddress >= end) {
    return fail(error, "entry address " + hex32(spec.entryAddress) +
                           " must be odd (Thumb code) and lie behind the vector table, below " +
                           hex32(end));
  }

  std::vector<std::uint32_t> vectors(kDemoVectorCount, 0);
  vectors[0] = spec.stackPointer;
  vectors[1] = spec.entryAddress;
  // Each system exception gets a handler of its own right behind the vector table, all the
  // interrupts share a default handler; Thumb addresses, so bit 0 is set.
  const std::uint32_t handlers = spec.loadAddress + vectorBytes;
  for (std::uint32_t exception : {2u, 3u, 4u, 5u, 6u, 11u, 12u, 14u, 15u}) {
    vectors[exception] = (handlers + 4 * exception) | 1;
  }
  for (std::uint32_t irq = 16; irq < kDemoVectorCount; ++irq) vectors[irq] = (handlers + 0x40) | 1;
  std::uint32_t sum = 0;
  for (int word = 0; word < 7; ++word) sum += vectors[word];
  vectors[7] = 0u - sum;

  out->assign(spec.length, 0);
  for (std::uint32_t word = 0; word < kDemoVectorCount; ++word) {
    storeLe32(out->data() + 4 * word, vectors[word]);
  }
  std::uint32_t state = spec.seed;
  for (std::uint32_t i = vectorBytes; i < spec.length; ++i) {
    state = state * 1664525u + 1013904223u;
    (*out)[i] = static_cast<std::uint8_t>(state >> 24);
  }
  return true;
}

bool buildImage(const ImageSpec& spec, const std::vector<std::uint8_t>& rawFirmware,
                std::vector<std::uint8_t>* out, std::string* error) {
  if (!checkName(spec.productName, error)) return false;
  if (spec.modelNumber > 0xFF || spec.pcbRevision > 0xFF) {
    return fail(error, "model number " + std::to_string(spec.modelNumber) + " and PCB revision " +
                           std::to_string(spec.pcbRevision) +
                           " must each fit in one byte of the table's identity word");
  }
  if (rawFirmware.size() < 8) {
    return fail(error, "firmware binary of " + std::to_string(rawFirmware.size()) +
                           " bytes is too short to hold a vector table");
  }
  constexpr std::uint64_t overhead = kHeaderSize + kCrcSize + kTableSize + kCrcSize;
  if (rawFirmware.size() > 0xFFFFFFFFull - overhead) {
    return fail(error, "firmware binary is too large for a 32-bit image length");
  }
  const auto firmwareLength = static_cast<std::uint32_t>(rawFirmware.size() + kCrcSize);
  if (spec.checkLength > firmwareLength) {
    return fail(error, "check length " + std::to_string(spec.checkLength) +
                           " exceeds the firmware region of " + std::to_string(firmwareLength) +
                           " bytes");
  }

  const std::uint32_t firmwareOffset = kHeaderSize;
  const std::uint32_t paramOffset = firmwareOffset + firmwareLength;
  const std::uint32_t imageLength = paramOffset + kTableSize + kCrcSize;
  out->assign(imageLength, 0);
  std::uint8_t* image = out->data();

  t_FirmwareHeader header{};
  header.imageLength = imageLength;
  header.formatWord = spec.formatWord;
  header.modelNumber = spec.modelNumber;
  header.pcbRevision = spec.pcbRevision;
  header.firmwareVersion = spec.firmwareVersion;
  header.firmwareOffset = firmwareOffset;
  header.firmwareAddress = spec.firmwareAddress;
  header.firmwareLength = firmwareLength;
  header.paramOffset = paramOffset;
  header.paramAddress = spec.paramAddress;
  header.paramLength = kTableSize;
  header.reservedWord = 0;
  // The header's name is erased-flash style: NUL, then 0xFF.
  std::memset(header.productName, 0xFF, sizeof header.productName);
  std::memcpy(header.productName, spec.productName.c_str(), spec.productName.size() + 1);
  copyRecord(header, image);

  std::uint8_t* firmware = image + firmwareOffset;
  std::memcpy(firmware, rawFirmware.data(), rawFirmware.size());
  sealRegion(firmware, firmwareLength);

  t_ParamTable table{};
  table.firmwareLength = firmwareLength;
  table.firmwareVersion = spec.firmwareVersion;
  std::memcpy(table.productName, spec.productName.c_str(), spec.productName.size());
  table.magic = spec.magic;
  table.identityWord = spec.modelNumber << 24 | spec.pcbRevision << 16 |
                       std::uint32_t{spec.idByte1} << 8 | spec.idByte0;
  table.tableLength = kTableSize;
  table.checkAddress = spec.firmwareAddress;
  table.checkLength = spec.checkLength;
  table.checkCrc = crc32Of(firmware, spec.checkLength);
  std::memset(table.fill, 0xFF, sizeof table.fill);
  table.entryAddress = spec.entryAddress.value_or(loadLe32(rawFirmware.data() + 4));
  table.reserved = 0;
  sealTable(&table);
  copyRecord(table, image + paramOffset);

  sealRegion(image, imageLength);
  return true;
}

ImageSpec demoImageSpec(int index) {
  ImageSpec spec;
  spec.pcbRevision = 5;
  spec.firmwareVersion = 0x04020000;  // 4.02
  if (index == 0) {
    spec.modelNumber = 86;
    spec.productName = "Sonarch60";
    spec.paramAddress = kTableAddress512K;
  } else {
    spec.modelNumber = 100;
    spec.productName = "Sonarch60-2710";
    spec.paramAddress = kTableAddress256K;
  }
  return spec;
}

DemoFirmwareSpec demoFirmwareSpec(int index) {
  DemoFirmwareSpec spec;
  if (index == 0) {
    spec.length = 0x23E7C - kCrcSize;
    spec.entryAddress = 0x1A00D8BD;
    spec.seed = 86;
  } else {
    spec.length = 0x23C44 - kCrcSize;
    spec.entryAddress = 0x1A00D915;
    spec.seed = 100;
  }
  return spec;
}

std::vector<std::uint8_t> buildDemoImage(int index) {
  std::vector<std::uint8_t> firmware;
  std::vector<std::uint8_t> image;
  if (index < 0 || index >= kDemoImageCount) return image;
  if (!makeDemoFirmware(demoFirmwareSpec(index), &firmware, nullptr) ||
      !buildImage(demoImageSpec(index), firmware, &image, nullptr)) {
    image.clear();
  }
  return image;
}

}  // namespace imagebuilder
