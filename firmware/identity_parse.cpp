// The parser of the identity line that the switch's firmware sends in answer to "^V$":
//   ^=V "<name>" <major>.<minor>[.<build>][<letter>][(<remark>)][,<model>,<pcb>,<hex>]
#include <cstdint>

#include "firmware/identity_parse.h"
#include "firmware/product_table.h"

namespace {

constexpr char kPrefix[] = "^=V \"";
constexpr int kPrefixLength = sizeof kPrefix - 1;
constexpr int kMaxNameLength = 31;

// Moves on by one character, but never past the terminating NUL.
void skipChar(const char*& cursor) {
  if (*cursor != '\0') ++cursor;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 36;
}

// The standard library's strtoul as the switch's protocol was defined with it, on a platform
// whose unsigned long has 32 bits: leading white space, an optional sign (a minus negates
// modulo 2^32), "0x" in base 16, saturation at 0xFFFFFFFF when the magnitude does not fit,
// and no conversion at all (0, cursor unmoved) when no digit follows. Written out rather than
// called so that a 64-bit unsigned long cannot give different results for long numbers.
std::uint32_t readUnsigned(const char*& cursor, int base) {
  const char* p = cursor;
  while (isSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digitValue(p[2]) < 16) {
    p += 2;
  }
  if (digitValue(*p) >= base) return 0;  // no number: the cursor stays where it was

  std::uint64_t value = 0;
  bool overflow = false;
  for (int digit = digitValue(*p); digit < base; digit = digitValue(*++p)) {
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFu) {
      overflow = true;
      value = 0xFFFFFFFFu;  // keeps the product small; the digits are still consumed
    }
  }
  cursor = p;
  if (overflow) return 0xFFFFFFFFu;
  const auto magnitude = static_cast<std::uint32_t>(value);
  return negative ? 0u - magnitude : magnitude;
}

}  // namespace

int parseIdentity(t_DeviceInfo* record, const char* line) {
  if (record == nullptr || line == nullptr) return 1;
  for (int i = 0; i < kPrefixLength; ++i) {
    if (line[i] != kPrefix[i]) return 1;
  }
  const char* cursor = line + kPrefixLength;

  int length = 0;
  while (length < kMaxNameLength && *cursor != '"' && *cursor != '\0') {
    record->nameBuf[length++] = *cursor++;
  }
  record->nameBuf[length] = '\0';
  if (*cursor != '"') return 2;

  skipChar(cursor);  // the closing quote
  skipChar(cursor);  // the separator
  std::uint32_t version = readUnsigned(cursor, 10) << 24;
  skipChar(cursor);
  version += readUnsigned(cursor, 10) << 16;
  if (*cursor == '.') {
    skipChar(cursor);
    version += readUnsigned(cursor, 10);
  }
  if (*cursor >= 'a' && *cursor <= 'z') {
    version += static_cast<std::uint32_t>(*cursor - 0x60) << 12;
    skipChar(cursor);
  }
  record->firmwareVersion = version;

  if (*cursor == '(') {
    skipChar(cursor);
    while (*cursor != ')' && *cursor != '\0') skipChar(cursor);
    skipChar(cursor);
  }
  if (*cursor == ',') {
    skipChar(cursor);
    record->modelNumber = static_cast<std::uint16_t>(readUnsigned(cursor, 10));
    skipChar(cursor);
    record->pcbRevision = static_cast<std::uint16_t>(readUnsigned(cursor, 10));
    skipChar(cursor);
    record->hexWord = readUnsigned(cursor, 16);
  }
  if (*cursor != '\0') return 3;

  record->productName = record->nameBuf[0] != '\0'
                            ? record->nameBuf
                            : lookupProductName(record->modelNumber, record->pcbRevision);
  return 0;
}
