#pragma once
// The parser of the identity line that the switch's firmware sends in answer to "^V$".
#include "firmware/device_info.h"

constexpr int kIdentityLineOk = 0;
constexpr int kIdentityLineBadStart = 1;   // does not begin with ^=V "
constexpr int kIdentityLineNameOpen = 2;   // name not closed within 31 characters
constexpr int kIdentityLineMalformed = 3;  // characters behind the last part, or a number too
                                           // large (or negative) for its field
int parseIdentity(t_DeviceInfo* record, const char* line);
