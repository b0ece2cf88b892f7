// The parser of the identity line that the switch's firmware sends in answer to "^V$":
//   ^=V "<name>" <major>.<minor>[.<build>][<letter>][(<remark>)][,<model>,<pcb>,<hex>]
#include <cstdint>

#include "firmware/identity_parse.h"
#include "firmware/product_table.h"

namespace {

constexpr char kPrefix[] = "^=V \"";
constexpr int kPrefixLength = sizeof kPrefix - 1;
constexpr int kMaxNameLength = 31;

// What each field of the line may hold: the packed version's bits, the record's 16 bits.
constexpr std::uint32_t kMaxVersionByte = 255;  // major and minor, 8 bits each
constexpr std::uint32_t kMaxBuild = 63;         // 6 bits
constexpr std::uint32_t kMaxLetter = 15;        // 4 bits: 'a' to 'o'
constexpr std::uint32_t kMaxRecordNumber = 0xFFFF;

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

// One number as the standard library's strtoul sees it, before it folds the sign in.
struct t_ScannedNumber {
  std::uint32_t magnitude;  // 0xFFFFFFFF when the digits do not fit 32 bits
  bool negative;
  bool overflow;
};

// The standard library's strtoul as the switch's protocol was defined with it, on a platform
// whose unsigned long has 32 bits: leading white space, an optional sign, "0x" in base 16,
// saturation at 0xFFFFFFFF when the magnitude does not fit, and no conversion at all (0,
// cursor unmoved) when no digit follows. Written out rather than called so that a 64-bit
// unsigned long cannot give different results for long numbers.
t_ScannedNumber scanNumber(const char*& cursor, int base) {
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
  if (digitValue(*p) >= base) return {0, false, false};  // no number: the cursor stays

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
  return {static_cast<std::uint32_t>(value), negative, overflow};
}

// strtoul's result: a minus negates modulo 2^32, a magnitude too long saturates.
std::uint32_t readUnsigned(const char*& cursor, int base) {
  const t_ScannedNumber number = scanNumber(cursor, base);
  if (number.overflow) return 0xFFFFFFFFu;
  return number.negative ? 0u - number.magnitude : number.magnitude;
}

// A decimal field that must fit its place in the record: false for a negative number or one
// above limit, which strtoul would wrap or saturate into some other valid-looking value.
bool readBounded(const char*& cursor, std::uint32_t limit, std::uint32_t* value) {
  const t_ScannedNumber number = scanNumber(cursor, 10);
  if (number.overflow || number.magnitude > limit ||
      (number.negative && number.magnitude != 0)) {
    return false;
  }
  *value = number.magnitude;
  return true;
}

}  // namespace

int parseIdentity(t_DeviceInfo* record, const char* line) {
  if (record == nullptr || line == nullptr) return kIdentityLineBadStart;
  for (int i = 0; i < kPrefixLength; ++i) {
    if (line[i] != kPrefix[i]) return kIdentityLineBadStart;
  }
  const char* cursor = line + kPrefixLength;

  int length = 0;
  while (length < kMaxNameLength && *cursor != '"' && *cursor != '\0') {
    record->nameBuf[length++] = *cursor++;
  }
  record->nameBuf[length] = '\0';
  if (*cursor != '"') return kIdentityLineNameOpen;

  skipChar(cursor);  // the closing quote
  skipChar(cursor);  // the separator
  // The version is stored only once every field is known to fit its bits, so a number out of
  // range can never pass for another version.
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::uint32_t letter = 0;
  if (!readBounded(cursor, kMaxVersionByte, &major)) return kIdentityLineMalformed;
  skipChar(cursor);
  if (!readBounded(cursor, kMaxVersionByte, &minor)) return kIdentityLineMalformed;
  if (*cursor == '.') {
    skipChar(cursor);
    if (!readBounded(cursor, kMaxBuild, &build)) return kIdentityLineMalformed;
  }
  if (*cursor >= 'a' && *cursor <= 'z') {
    letter = static_cast<std::uint32_t>(*cursor - 0x60);
    if (letter > kMaxLetter) return kIdentityLineMalformed;
    skipChar(cursor);
  }
  record->firmwareVersion = packVersion(major, minor, letter, build);

  if (*cursor == '(') {
    skipChar(cursor);
    while (*cursor != ')' && *cursor != '\0') skipChar(cursor);
    skipChar(cursor);
  }
  if (*cursor == ',') {
    skipChar(cursor);
    std::uint32_t number = 0;
    if (!readBounded(cursor, kMaxRecordNumber, &number)) return kIdentityLineMalformed;
    record->modelNumber = static_cast<std::uint16_t>(number);
    skipChar(cursor);
    if (!readBounded(cursor, kMaxRecordNumber, &number)) return kIdentityLineMalformed;
    record->pcbRevision = static_cast<std::uint16_t>(number);
    skipChar(cursor);
    record->hexWord = readUnsigned(cursor, 16);
  }
  if (*cursor != '\0') return kIdentityLineMalformed;

  record->productName = record->nameBuf[0] != '\0'
                            ? record->nameBuf
                            : lookupProductName(record->modelNumber, record->pcbRevision);
  return kIdentityLineOk;
}
