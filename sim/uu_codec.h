#pragma once
// The switch's side of the UU-encoding used by the ISP data commands: lines of 1 to 45
// bytes, a length character, four characters per three bytes, the value 0 sent as a
// backtick and accepted as backtick or space.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

constexpr std::size_t kUuMaxLineBytes = 45;
constexpr std::size_t kUuLinesPerBlock = 20;

// One line (without CR LF) for count bytes, count at most 45.
std::string uuEncodeLine(const std::uint8_t* bytes, std::size_t count);

// Decodes one received line into out, storing at most limit bytes. Returns the number of
// bytes stored: the line's declared count, capped at limit. Characters missing from a short
// (damaged) line count as zero bits; nothing beyond the line is read.
std::size_t uuDecodeLine(std::string_view line, std::uint8_t* out, std::size_t limit);

}  // namespace sim
