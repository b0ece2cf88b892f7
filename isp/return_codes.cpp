#include "isp/return_codes.h"

#include <cstdlib>

namespace {

// The LPC18xx/43xx ISP return codes, 0 to 22, in order.
constexpr const char* kCodeNames[] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "INVALID_FLASH_UNIT",  "USER_CODE_CHECKSUM",
    "ERROR_SETTING_ACTIVE_PARTITION",
};
constexpr long kCodeCount = sizeof kCodeNames / sizeof kCodeNames[0];

struct CommandName {
  char letter;
  const char* name;
};
constexpr CommandName kCommandNames[] = {
    {'U', "unlock"},          {'P', "prepare sectors"}, {'E', "erase sectors"},
    {'I', "blank check"},     {'C', "copy RAM to flash"}, {'M', "compare"},
    {'J', "read part identification"}, {'R', "read memory"}, {'W', "write to RAM"},
    {'G', "go"},              {'A', "set echo"},
};

}  // namespace

const char* ispReturnCodeName(const char* code) {
  if (code == nullptr || *code < '0' || *code > '9') {
    return "an unknown code";
  }
  char* end = nullptr;
  const long value = std::strtol(code, &end, 10);
  return *end == '\0' && value < kCodeCount ? kCodeNames[value] : "an unknown code";
}

const char* ispCommandName(const char* line) {
  for (const CommandName& command : kCommandNames) {
    if (line != nullptr && line[0] == command.letter) {
      return command.name;
    }
  }
  return "a command";
}
