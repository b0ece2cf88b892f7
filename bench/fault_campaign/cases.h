#pragma once
// The campaign's cases, class by class, as tables built from the clean updates' profiles. Each
// case names the simulator options of its faulted run (and, for a double fault, of the first
// recovery run); the simulator's own fault options are the only way a fault gets in.
#include <string>
#include <vector>

#include "bench/fault_campaign/profile.h"

namespace campaign {

enum class Klass { FlashOps, Steps, Double, Noisy, Adapters, ReplyBits, CompareLoss, Identity };
constexpr int kClassCount = 8;
const char* className(Klass klass);
bool classFromName(const std::string& name, Klass* klass);

struct Case {
  Klass klass = Klass::Steps;
  std::string name;                // unique; --case NAME replays it
  int image = 0;
  std::vector<std::string> fault;  // simulator options of the faulted run
  std::vector<std::string> second; // double faults: options of the first recovery run
  bool wholeRun = false;           // adapters: one whole run at wire speed that must succeed
  bool keepsFlash = false;         // a switch no image fits: one run, after which its flash must
                                   // be what it was before it, whatever the utility printed
  bool wine = false;               // run vlfwu.exe under Wine
  int latencyMs = 0;
  bool quick = false;              // part of the --quick subset
  bool ci = false;                 // part of the --ci subset, a few of the quick ones
};

// The simulator options, after the installed image, of a switch that no compiled-in image
// fits: a Sonarch36 (model 86, PCB revision 4).
std::vector<std::string> unfitSwitch();

// Every case of every class; profiles[i] is the clean update of image i, unfit the clean run
// on the switch no image fits (its identity frames: how often a run asks, and what comes back).
std::vector<Case> buildCases(const std::vector<Profile>& profiles, const SimLog& unfit, bool withWine);

}  // namespace campaign
