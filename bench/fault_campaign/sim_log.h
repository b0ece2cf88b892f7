#pragma once
// What the campaign reads from switch-sim's transcript (--log): the fault lines, the flash
// operations, the bytes both ways, and the bootloader session's figures.
#include <string>
#include <vector>

namespace campaign {

struct HostLine {
  long first = 0;  // number of its first byte among all bytes the switch received (from 1)
  long last = 0;   // number of its last byte (the line end)
  std::string text;  // without the line end
};

struct SimLog {
  bool read = false;
  std::vector<std::string> faultLines;  // the "fault: ..." events, in order
  std::vector<std::string> events;      // every state line
  int erases = 0;
  int copies = 0;
  bool go = false;                 // the bootloader's Go started a firmware
  bool silentBoot = false;         // the switch came up silent: its code fails the boot check
  bool consoleNoise = false;       // noise bytes went out between the firmware's frames
  std::string hostBytes;           // everything the switch received, in order
  std::vector<HostLine> hostLines;  // the bootloader session's lines (after the request)
  long deviceLines = 0;            // lines the switch sent at the bootloader's rate
  std::vector<std::string> identityFrames;  // the firmware's identity frames "^=V ...$", in order
  // The bootloader session, from the rate measurement to the Go.
  double sessionStart = 0;
  double sessionEnd = 0;
  long sessionHostBytes = 0;
  long sessionDeviceBytes = 0;
  long copiedBytes = 0;
};

SimLog readSimLog(const std::string& path);

// Seconds the session's busier direction needs on the wire at 115200 baud plus the flash time that
// switch-sim --wire-speed charges (100 ms per erase, 1 ms per 512-byte page).
double wireFloorSeconds(const SimLog& log);

}  // namespace campaign
