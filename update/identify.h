#pragma once
// Identification of the switch on the open port, from its firmware's identity line or from
// the parameter table that its bootloader reads out of flash.
#include "firmware/device_info.h"
#include "firmware/identity_parse.h"

constexpr int kIdentityLineMissing = 1;  // queryIdentity: no line came (as a wrong start)
// Sends "^V$" and parses the answer: parseIdentity's result, or kIdentityLineMissing.
int queryIdentity(t_DeviceInfo* record);

constexpr int kIdentified = 0;  // deviceState is 1, 2 or 3
constexpr int kIdentifyNoPort = 1;
constexpr int kIdentifyNoAnswer = 6;
constexpr int kIdentifyUnreadable = 7;
int identifyDevice();
