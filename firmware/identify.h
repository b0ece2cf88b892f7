#pragma once
// Identification of the switch on the open port, from its firmware's identity line or from
// the parameter table that its bootloader reads out of flash.
#include "firmware/device_info.h"

constexpr int kIdentityLineOk = 0;
constexpr int kIdentityLineBadStart = 1;   // does not begin with ^=V "
constexpr int kIdentityLineNameOpen = 2;   // name not closed within 31 characters
constexpr int kIdentityLineMalformed = 3;  // characters behind the last part, or a number too
                                           // large (or negative) for its field
constexpr int kIdentityLineMissing = 1;    // queryIdentity: no line came (as a wrong start)
int parseIdentity(t_DeviceInfo* record, const char* line);
// Sends "^V$" and parses the answer: parseIdentity's result, or kIdentityLineMissing.
int queryIdentity(t_DeviceInfo* record);

constexpr int kIdentified = 0;  // deviceState is 1, 2 or 3
constexpr int kIdentifyNoPort = 1;
constexpr int kIdentifyNoAnswer = 6;
constexpr int kIdentifyUnreadable = 7;
int identifyDevice();
