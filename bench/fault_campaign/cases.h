#pragma once
// The campaign's cases, class by class, as tables built from the clean updates' profiles. Each
// case names the simulator options of its faulted run (and, for a double fault, of the first
// recovery run); the simulator's own fault options are the only way a fault gets in.
#include <string>
#include <vector>

#include "bench/fault_campaign/profile.h"

namespace campaign {

enum class Klass { FlashOps, Steps, Double, Noisy, Adapters, ReplyBits };
constexpr int kClassCount = 6;
const char* className(Klass klass);
bool classFromName(const std::string& name, Klass* klass);

struct Case {
  Klass klass = Klass::Steps;
  std::string name;                // unique; --case NAME replays it
  int image = 0;
  std::vector<std::string> fault;  // simulator options of the faulted run
  std::vector<std::string> second; // double faults: options of the first recovery run
  bool wholeRun = false;           // adapters: one whole run at wire speed that must succeed
  bool wine = false;               // run vlfwu.exe under Wine
  int latencyMs = 0;
  bool quick = false;              // part of the --quick subset
  bool ci = false;                 // part of the --ci subset, a few of the quick ones
};

// Every case of every class; profiles[i] is the clean update of image i.
std::vector<Case> buildCases(const std::vector<Profile>& profiles, bool withWine);

}  // namespace campaign
