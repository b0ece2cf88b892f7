#pragma once
// Builds firmware image containers (header, firmware region with its CRC-32, parameter table,
// whole-image CRC-32) from a raw firmware binary, and the deterministic demo firmware that the
// two compiled-in images carry. Used by the mkimage tool, the tests and the simulated switch.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "update/param_table.h"

namespace imagebuilder {

constexpr std::uint32_t kFlashBase = 0x1A000000;
constexpr std::uint32_t kFormatWord = 0x01000000;
constexpr std::uint32_t kHeaderSize = sizeof(t_FirmwareHeader);
constexpr std::uint32_t kTableSize = sizeof(t_ParamTable);
constexpr std::uint32_t kCrcSize = 4;
constexpr std::size_t kMaxNameLength = 31;  // both name fields are 32 bytes with a NUL

// Everything of an image but the firmware bytes.
struct ImageSpec {
  std::uint32_t formatWord = kFormatWord;
  std::uint32_t modelNumber = 0;  // 0..255: also stored in the table's identity word
  std::uint32_t pcbRevision = 0;  // 0..255, likewise
  std::uint32_t firmwareVersion = 0;
  std::uint32_t firmwareAddress = kFlashBase;
  std::uint32_t paramAddress = kTableAddress512K;
  std::string productName;  // at most 31 characters
  std::uint32_t magic = kTableMagic;
  std::uint8_t idByte1 = 0x41;
  std::uint8_t idByte0 = 0x01;
  std::uint32_t checkLength = 0x200;  // covered from the start of the firmware region
  std::optional<std::uint32_t> entryAddress;  // default: the firmware's reset vector
};

// The demo firmware: a Cortex-M vector table whose first eight words sum to zero (the NXP
// bootloader's valid-code mark), then pseudo-random filler from a linear congruential generator.
struct DemoFirmwareSpec {
  std::uint32_t length = 0;  // bytes, a multiple of 4, at least 512
  std::uint32_t loadAddress = kFlashBase;
  std::uint32_t stackPointer = 0x10008000;  // top of the 32 KB local SRAM at 0x10000000
  std::uint32_t entryAddress = 0;           // odd (Thumb), inside the firmware
  std::uint32_t seed = 0;
};

// Number of words in the demo vector table: 16 system exceptions and 53 interrupts.
constexpr std::uint32_t kDemoVectorCount = 16 + 53;

bool makeDemoFirmware(const DemoFirmwareSpec& spec, std::vector<std::uint8_t>* out,
                      std::string* error);
bool buildImage(const ImageSpec& spec, const std::vector<std::uint8_t>& rawFirmware,
                std::vector<std::uint8_t>* out, std::string* error);

// The two compiled-in images: index 0 Sonarch60 (model 86), 1 Sonarch60-2710 (model 100).
constexpr int kDemoImageCount = 2;
ImageSpec demoImageSpec(int index);
DemoFirmwareSpec demoFirmwareSpec(int index);
std::vector<std::uint8_t> buildDemoImage(int index);  // empty for an unknown index

// Helpers for building variants of an image.
std::uint32_t loadLe32(const std::uint8_t* bytes);
void storeLe32(std::uint8_t* bytes, std::uint32_t value);
std::uint32_t crc32Of(const std::uint8_t* bytes, std::size_t count);
// Sum of the first eight vector-table words, zero for code the bootloader accepts.
std::uint32_t vectorTableSum(const std::uint8_t* firmware);
// Writes the CRC-32 of the region's bytes before its last four into those four.
void sealRegion(std::uint8_t* region, std::size_t lengthWithCrc);
// Recomputes the table's tableCrc over bytes 0x00..0x8B.
void sealTable(t_ParamTable* table);

}  // namespace imagebuilder
