#pragma once
// The identity of one switch, and the packed firmware version it carries.
#include <cstdint>

struct t_DeviceInfo {
  std::uint16_t modelNumber;
  std::uint16_t pcbRevision;
  std::uint16_t idByte1;
  std::uint16_t idByte0;
  std::uint32_t hexWord;
  std::uint32_t firmwareVersion;  // packed; 0 means no valid firmware
  const char* productName;       // nameBuf, a product-table name, or null
  char nameBuf[32];
};

// The switch on the current port; and a scratch record for the parameter-table read.
extern t_DeviceInfo deviceInfo;
extern t_DeviceInfo tableInfo;

// Packed version: major 31..24, minor 23..16, letter 15..12 (1 = 'a'), beta build 5..0.
constexpr std::uint32_t versionMajor(std::uint32_t v) { return v >> 24; }
constexpr std::uint32_t versionMinor(std::uint32_t v) { return (v >> 16) & 0xFF; }
constexpr std::uint32_t versionLetter(std::uint32_t v) { return (v >> 12) & 0xF; }
constexpr std::uint32_t versionBeta(std::uint32_t v) { return v & 0x3F; }
// The bits the version text shows; bits 11 to 6 carry nothing and are never shown.
constexpr std::uint32_t kVersionShownBits = 0xFFFFF03Fu;
// Orders two packed versions as their texts read, so that two versions shown alike are the
// same version: negative when a is older than b, 0 when both read the same, positive when a
// is newer. No version (0, shown as "None") is older than every other, even one that reads
// 0.00; otherwise the shown fields compare as one unsigned number.
constexpr int compareVersions(std::uint32_t a, std::uint32_t b) {
  if ((a == 0) != (b == 0)) {
    return a == 0 ? -1 : 1;
  }
  const std::uint32_t shownA = a & kVersionShownBits;
  const std::uint32_t shownB = b & kVersionShownBits;
  return shownA < shownB ? -1 : (shownA > shownB ? 1 : 0);
}
constexpr std::uint32_t packVersion(std::uint32_t major, std::uint32_t minor,
                                    std::uint32_t letter = 0, std::uint32_t beta = 0) {
  return (major << 24) | (minor << 16) | (letter << 12) | beta;
}
