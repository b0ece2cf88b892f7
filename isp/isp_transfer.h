#pragma once
// Write to RAM and Read Memory: blocks of up to 900 bytes as UU-encoded lines with a decimal
// checksum per block.
#include <cstdint>

constexpr std::uint32_t kUuLineBytes = 45;
constexpr std::uint32_t kUuBlockBytes = 900;
constexpr int kUuLineChars = 61;  // longest encoded line, without its terminator
// Characters of the encoded line of `bytes` bytes (at most kUuLineBytes), without its
// terminator: the length character and four for every three bytes begun.
constexpr int uuLineChars(std::uint32_t bytes) {
  return 1 + 4 * static_cast<int>(((bytes < kUuLineBytes ? bytes : kUuLineBytes) + 2) / 3);
}
static_assert(uuLineChars(kUuLineBytes) == kUuLineChars, "a full line is the longest");

// Encodes count (0..45; outside, clamped to that range) bytes into out (at least 62
// characters); returns the NUL's position.
int uuEncodeLine(char* out, const std::uint8_t* bytes, int count);
// Decodes one received line into dest, at most stillExpected bytes, never reading past the
// line's NUL (characters missing from a damaged line count as 0). Returns the number of
// bytes stored.
int uuDecodeLine(std::uint8_t* dest, const char* line, std::uint32_t stillExpected);

constexpr int kWriteRamOk = 0;
constexpr int kWriteRamNoReply = 1;   // no reply, or the line kept spoiling a block (RESEND
                                      // included) past its attempts
constexpr int kWriteRamRejected = 2;  // the bootloader rejected a "W"
int nxpWriteRam(std::uint32_t ramAddress, const std::uint8_t* bytes, std::uint32_t count);
// Reads count bytes (any count: the bootloader is asked for whole words and the extra bytes
// are dropped). count on success; 0 or minus the bytes received so far on failure.
int nxpReadMemory(std::uint8_t* dest, std::uint32_t address, std::uint32_t count);
