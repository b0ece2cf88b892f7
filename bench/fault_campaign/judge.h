#pragma once
// Judges one case from its runs: did the fault fire, was success ever reported over wrong
// flash, did anything hang or crash, and was the switch restored within the runs allowed.
#include <string>

#include "bench/fault_campaign/cases.h"
#include "bench/fault_campaign/runner.h"

namespace campaign {

struct Verdict {
  bool unavailable = false;   // the simulator does not know the fault yet: not counted
  bool fired = false;         // the fault struck (counted as a fault)
  bool falseSuccess = false;  // success reported while the flash differs from the clean update
  bool hang = false;
  bool crash = false;
  bool unrestored = false;    // not restored within the runs allowed (ISP pin cases aside)
  bool late = false;          // restored, but by more runs than allowed
  bool pin = false;           // left bootable damaged code; restored through the held ISP pin
  bool notSucceeded = false;  // a whole run (adapters) that did not succeed at once
  bool firstSuccess = false;  // the faulted run reported success (with exact flash)
  bool firstFailure = false;  // the faulted run reported a failure
  std::string why;            // the first thing wrong, for the failure list
  bool failed() const { return falseSuccess || hang || crash || unrestored || notSucceeded; }
};

Verdict judge(const Case& c, const CaseResult& result);

}  // namespace campaign
