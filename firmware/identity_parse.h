#pragma once
// The parser of the identity line that the switch's firmware sends in answer to "^V$".
#include "firmware/device_info.h"

// 0 success; 1 wrong start; 2 name not closed within 31 characters; 3 trailing characters.
int parseIdentity(t_DeviceInfo* record, const char* line);
