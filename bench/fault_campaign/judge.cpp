#include "bench/fault_campaign/judge.h"

#include <algorithm>

namespace campaign {

namespace {

constexpr int kSingleAllowed = 1;  // one run restores the switch after a single fault
constexpr int kDoubleAllowed = 3;  // the run the second cut strikes, and at most two more

bool hasFaultOption(const std::vector<std::string>& args) {
  return std::find(args.begin(), args.end(), "--fault") != args.end();
}

}  // namespace

Verdict judge(const Case& c, const CaseResult& result) {
  Verdict v;
  if (result.unavailable || result.runs.empty()) {
    v.unavailable = true;
    v.why = result.unavailableWhy;
    return v;
  }
  const RunRecord& first = result.runs.front();
  if (c.fault.size() == 2 && c.fault[1] == "console-noise") {
    v.fired = first.consoleNoise;
  } else if (c.klass == Klass::ReplyBits || c.klass == Klass::CompareLoss) {
    v.fired = first.faultLines.size() >= 2;  // the failing step and the spoilt byte of its reply
  } else if (hasFaultOption(c.fault)) {
    v.fired = !first.faultLines.empty();
  } else {
    v.fired = true;  // a line condition or an adapter that holds for the whole run
  }
  // A double fault counts when both cuts struck.
  if (c.klass == Klass::Double) v.fired = v.fired && result.secondFired;
  v.firstSuccess = first.success;
  v.firstFailure = first.failure;
  if (c.keepsFlash && !first.flashKept) {
    // A switch no image fits was written: whatever the utility printed, the case failed; a
    // success it reported over that is a false one.
    if (first.success) v.falseSuccess = true;
    else v.unrestored = true;
    v.why = std::string(first.success ? "false success: " : "") + "a switch no image fits was written (" +
            std::to_string(first.erases) + " erases, " + std::to_string(first.copies) + " copies); it said \"" +
            first.lastMessage + "\"";
  }
  for (const RunRecord& r : result.runs) {
    if (r.success && !r.flashExact && !c.keepsFlash && !v.falseSuccess) {
      v.falseSuccess = true;
      if (v.why.empty()) v.why = "false success in the " + r.role + " run: \"" + r.lastMessage + "\"";
    }
    if (r.hang && !v.hang) {
      v.hang = true;
      if (v.why.empty()) v.why = "the " + r.role + " run hung after \"" + r.lastMessage + "\"";
    }
    if (r.crash && !v.crash) {
      v.crash = true;
      if (v.why.empty()) v.why = "crash in the " + r.role + " run: " + r.crashText;
    }
  }
  const int allowed = c.klass == Klass::Double ? kDoubleAllowed : kSingleAllowed;
  v.pin = result.pinNeeded && result.pinRestored;
  if (c.keepsFlash) {
    // Judged above, on the flash alone.
  } else if (result.restoredBy < 0) {
    v.unrestored = true;
    if (v.why.empty())
      v.why = "not restored; last run (" + result.runs.back().role + ") said \"" + result.runs.back().lastMessage +
              "\"";
  } else if (result.restoredBy > allowed) {
    v.late = true;
    v.unrestored = true;
    if (v.why.empty()) v.why = "restored only by run " + std::to_string(result.restoredBy) + " after the fault";
  }
  // A failing step whose reply the line spoilt must leave a switch that the next run repairs
  // as it is: through the held ISP pin is not restored.
  if ((c.klass == Klass::ReplyBits || c.klass == Klass::CompareLoss) && result.pinNeeded && !v.unrestored) {
    v.unrestored = true;
    if (v.why.empty()) v.why = "restored only through the held ISP pin";
  }
  if (c.wholeRun && !(first.success && first.flashExact)) {
    v.notSucceeded = true;
    if (v.why.empty()) v.why = "the whole run did not succeed: \"" + first.lastMessage + "\"";
  }
  if (c.klass == Klass::Double && !result.secondFired && v.failed()) v.why += " (the second cut did not fire)";
  return v;
}

}  // namespace campaign
