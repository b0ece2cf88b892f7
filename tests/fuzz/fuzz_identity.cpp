// Feeds arbitrary identity lines to the parser of the firmware's "^V...$" answer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "firmware/identity_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the line and its NUL, so that reading past the end is caught.
  auto line = std::make_unique<char[]>(size + 1);
  std::memcpy(line.get(), data, size);
  line[size] = '\0';
  t_DeviceInfo record{};
  const int result = parseIdentity(&record, line.get());
  if (result < 0 || result > 3) {
    __builtin_trap();
  }
  // A line the parser accepts never sets bits the version text cannot show (bits 11 to 6):
  // a number too large for its field makes the line malformed instead of spilling over.
  if (result == kIdentityLineOk && (record.firmwareVersion & 0xFC0u) != 0) {
    __builtin_trap();
  }
  if (record.productName == record.nameBuf &&
      std::memchr(record.nameBuf, '\0', sizeof record.nameBuf) == nullptr) {
    __builtin_trap();  // a name the record points to must be terminated inside its buffer
  }
  return 0;
}
