#pragma once
// Identification of the switch on the open port, from its firmware's identity line or from
// the parameter table that its bootloader reads out of flash.
#include "firmware/device_info.h"

// Sends "^V$" and parses the answer; 1 when no line came.
int queryIdentity(t_DeviceInfo* record);

constexpr int kIdentifyNoPort = 1;
constexpr int kIdentifyNoAnswer = 6;
constexpr int kIdentifyUnreadable = 7;
// 0 identified (deviceState 1, 2 or 3); 1 no port open; 6 nothing answered; 7 unreadable.
int identifyDevice();
