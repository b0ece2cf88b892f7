#pragma once
// The standard reflected CRC-32 (IEEE 802.3, zlib), four bits at a time.
#include <cstddef>
#include <cstdint>

// Register value left by a region that ends with its own little-endian CRC-32.
constexpr std::uint32_t kCrc32Residue = 0xDEBB20E3;

std::uint32_t crc32Init();
std::uint32_t crc32Update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count);
std::uint32_t crc32Final(std::uint32_t crc);
