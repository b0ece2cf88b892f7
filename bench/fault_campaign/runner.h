#pragma once
// Runs one case: the faulted run, the power cycles and the recovery runs, each a switch-sim
// process on the lane's flash file and a run of the utility against it.
#include <cstdint>
#include <string>
#include <vector>

#include "bench/fault_campaign/cases.h"
#include "bench/fault_campaign/sim_log.h"

namespace campaign {

struct Tools {
  std::string vlfwu;
  std::string switchSim;
  std::string windowsExe;  // empty: no Wine runs
  std::string winePrefix;
  std::string images[2];
};

// A lane runs its cases one after another in a folder of its own, with its own link, flash
// file and port number, so that lanes can run side by side.
struct Lane {
  int index = 0;
  std::string dir;
  int port = 0;
};

// One run of the utility against one start of the simulator.
struct RunRecord {
  std::string role;          // "fault", "recovery 1", "held ISP pin", ...
  std::string refused;       // the simulator refused its options (a fault it does not know yet)
  bool question = false;     // the utility asked Y/N (and was answered Y)
  bool success = false;      // it reported a successful update
  bool failure = false;      // it reported a failure (or found nothing to update)
  bool hang = false;         // no end within the bound: killed
  bool crash = false;        // ended by a signal, or a sanitizer spoke (utility or simulator)
  bool noDevice = false;     // it found no switch
  bool flashExact = false;   // afterwards the whole flash equals the clean update's
  bool flashKept = false;    // afterwards the whole flash is what it was before the run
  int erases = 0;            // erases and copies the switch did in the run
  int copies = 0;
  std::string lastMessage;
  std::string crashText;
  std::string output;        // everything the utility printed
  std::string logFile;       // the simulator's transcript of this run (in the lane's folder)
  double seconds = 0;        // the utility's run, start to end
  double updateSeconds = 0;  // from the answer Y to "100% complete."
  std::vector<std::string> faultLines;
  bool silentBoot = false;   // the simulator came up silent (damaged code that boots)
  double floorSeconds = 0;   // wire-time floor of its bootloader session
  double sessionSeconds = 0; // the session itself, from the rate measurement to the Go
  bool consoleNoise = false;
};

struct CaseResult {
  std::vector<RunRecord> runs;
  bool unavailable = false;  // the simulator does not know a fault of this case
  std::string unavailableWhy;
  int restoredBy = -1;       // runs after the faulted one until the flash was restored; 0: never damaged
  bool pinNeeded = false;    // the switch came up silent: restored through the held ISP pin
  bool pinRestored = false;
  bool secondFired = false;  // double faults: the second cut struck its recovery run
  double seconds = 0;
};

// The whole flash of the simulator after a run with no fault of image on a switch at 4.01
// (changed by the simulator options extra, given after the image's).
CaseResult runCleanUpdate(int image, const Lane& lane, const Tools& tools, std::vector<std::uint8_t>* flash,
                          SimLog* log, const std::vector<std::string>& extra = {});

CaseResult runCase(const Case& c, const Lane& lane, const Tools& tools,
                   const std::vector<std::vector<std::uint8_t>>& references);

}  // namespace campaign
