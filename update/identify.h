#pragma once
// Identification of the switch on the open port, from its firmware's identity line or from
// the parameter table that its bootloader reads out of flash.
#include "firmware/device_info.h"
#include "firmware/identity_parse.h"

constexpr int kIdentityLineMissing = 1;  // queryIdentity: no line came (as a wrong start)
constexpr int kIdentityLineGarbled = 4;  // lines came, but never two in a row whole and alike
// Sends "^V$" and reads the answer until two reads in a row give the same well-formed line,
// asked kIdentityReads times at most: kIdentityLineOk with the record filled; otherwise the
// last line's parseIdentity result, kIdentityLineGarbled, or kIdentityLineMissing when no
// line came at all.
int queryIdentity(t_DeviceInfo* record);
// The last identity line that did not count, as it came (empty when none came): a console that
// answers only spoilt lines is told by what it said.
constexpr int kIdentityLineRoom = 100;
extern char identityLineSeen[kIdentityLineRoom];

constexpr int kIdentified = 0;  // deviceState is 1, 2 or 3
constexpr int kIdentifyNoPort = 1;
constexpr int kIdentifyNoAnswer = 6;
constexpr int kIdentifyUnreadable = 7;
constexpr int kIdentifyNoisy = 8;  // answers came, but none the synchronisation knows

int identifyDevice();
