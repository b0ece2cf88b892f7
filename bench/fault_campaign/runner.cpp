#include "bench/fault_campaign/runner.h"

#include <signal.h>

#include <fstream>
#include <iterator>

#include "bench/fault_campaign/process.h"

namespace campaign {

namespace {

constexpr int kSimStartMs = 10000;
constexpr int kSimStopMs = 10000;
// A run still going after this is a hang, in every class: the update's line budget ends an
// update over the worst line within 2 minutes, and a whole run from Y to its last message is
// to take at most 4.
constexpr int kRunBoundMs = 240000;
constexpr int kEndMs = 5000;              // from the exit key to the process's end
constexpr int kQuietMs = 150;             // the rest of a failure message
constexpr int kGoPollMs = 50;             // how often the transcript is looked at for the Go
constexpr int kGoSettleMs = 400;          // after the Go: time for a refusal to be printed
constexpr int kSingleRecoveryRuns = 3;    // tried after a single fault (one is the target)
constexpr int kDoubleRecoveryRuns = 4;    // after a double fault (the cut run and two more)
// Quick restarts: no DSP progress, and the ready message late enough to reach a host that has
// just set its port back to 19200 baud after the Go.
const std::vector<std::string> kFastRestart{"--dsp-banks", "0", "--boot-delay", "300"};

// Texts with which the update sequence ends a failed update.
constexpr std::string_view kFailureTexts[] = {"Error", "reboot:", "Failed to update firmware!",
                                              "failed the CRC test", "not fully loaded"};
constexpr std::string_view kCrashTexts[] = {"Sanitizer", "runtime error", "Unhandled exception",
                                            "Segmentation fault"};

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string linkPath(const Lane& lane, const Tools& tools, bool wine) {
  return wine ? tools.winePrefix + "/dosdevices/com" + std::to_string(lane.port)
              : lane.dir + "/com" + std::to_string(lane.port);
}
std::string flashPath(const Lane& lane) { return lane.dir + "/flash.bin"; }

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool crashSpoke(const std::string& text, std::string* which) {
  for (const std::string_view t : kCrashTexts)
    if (text.find(t) != std::string::npos) {
      *which = std::string(t);
      return true;
    }
  return false;
}

// The last line the utility printed before its exit prompt (progress lines count by their last
// redraw). After a failed update the utility shows the versions and asks again: the message
// that tells the failure stands before that repeat.
std::string lastMessageOf(const std::string& text) {
  std::size_t end = text.rfind("Press any key to exit...");
  if (end == std::string::npos) end = text.size();
  const std::size_t asked = text.find("(Y,N) ");
  const std::size_t askedAgain = asked == std::string::npos ? asked : text.find("(Y,N) ", asked + 1);
  if (askedAgain != std::string::npos && askedAgain < end) {
    // The repeat is the text before the second question that also stands before the first.
    std::size_t same = 0;
    while (same < asked && text[asked - 1 - same] == text[askedAgain - 1 - same]) ++same;
    end = askedAgain - same;
  }
  std::size_t stop = end;
  while (stop > 0) {
    std::size_t start = text.find_last_of("\r\n", stop - 1);
    start = start == std::string::npos ? 0 : start + 1;
    std::string piece = text.substr(start, stop - start);
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) piece.pop_back();
    if (!piece.empty() && piece != "Y" && piece != "x") return piece.size() > 120 ? piece.substr(0, 120) : piece;
    if (start == 0) break;
    stop = start - 1;
  }
  return {};
}

// Follows the simulator's transcript as it grows, for one text.
class LogWatch {
 public:
  LogWatch(std::string path, std::string text) : path_(std::move(path)), text_(std::move(text)) {}
  bool seen() {
    if (found_) return true;
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string fresh{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    offset_ += fresh.size();
    tail_ += fresh;
    found_ = tail_.find(text_) != std::string::npos;
    if (tail_.size() > text_.size()) tail_.erase(0, tail_.size() - text_.size());
    return found_;
  }

 private:
  std::string path_;
  std::string text_;
  std::size_t offset_ = 0;
  std::string tail_;
  bool found_ = false;
};

// Runs the utility to its outcome: Y at the first question, a key at the exit prompt. A run
// whose failure is printed is ended at once; so is one whose update is complete and whose Go
// the switch has taken without a complaint following (otherwise the restart watch would keep
// it for the rest of its window). Whole runs (quickEnd false) go to their natural end.
void runUtility(RunRecord* r, const Lane& lane, const Tools& tools, bool wine, int boundMs, const std::string& log,
                bool quickEnd) {
  LogWatch go(log, "bootloader: Go to");
  Process u;
  const std::string port = std::to_string(lane.port);
  const bool started =
      wine ? u.start("/bin/sh", {"-c", "exec wine \"$@\" 2> /dev/null", "wine", tools.windowsExe, port},
                     {"WINEPREFIX=" + tools.winePrefix, "WINEDEBUG=-all"})
           : u.start(tools.vlfwu, {port}, {"VLFWU_COM" + port + "=" + linkPath(lane, tools, false)});
  if (!started) {
    r->crash = true;
    r->crashText = "cannot start the utility";
    return;
  }
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(boundMs);
  bool prompt = false;
  const int first = u.awaitAny({"(Y,N) ", "Press any key to exit..."}, deadline);
  if (first == 0) {
    r->question = true;
    u.write("Y");
    const auto answered = Clock::now();
    bool complete = false;
    Clock::time_point settled = Clock::time_point::max();  // when the Go has had its chance to fail
    for (;;) {
      const auto slice = complete && quickEnd ? std::min(deadline, Clock::now() + std::chrono::milliseconds(kGoPollMs))
                                              : deadline;
      const int next = u.awaitAny({"100% complete.", "(Y,N) ", "Press any key to exit...", kFailureTexts[0],
                                   kFailureTexts[1], kFailureTexts[2], kFailureTexts[3], kFailureTexts[4]},
                                  std::min(slice, settled));
      if (next < 0 && Clock::now() >= settled) {
        r->success = true;  // the Go was taken and nothing complained: the update is reported done
        break;
      }
      if (next < 0 && Clock::now() < deadline && !u.outputEnded()) {
        if (settled == Clock::time_point::max() && go.seen())
          settled = Clock::now() + std::chrono::milliseconds(kGoSettleMs);
        continue;
      }
      if (next == 0) {
        complete = true;
        r->updateSeconds = since(answered);
        continue;
      }
      if (next == 1) {
        r->failure = true;  // the update failed and the loop asks again
      } else if (next == 2) {
        prompt = true;
        r->success = complete;
        r->failure = !complete;
      } else if (next >= 3) {
        r->failure = true;
        u.drainQuiet(kQuietMs, deadline);
      } else {
        r->hang = !u.outputEnded();
      }
      break;
    }
  } else if (first == 1) {
    prompt = true;
    r->failure = true;
  } else {
    r->hang = !u.outputEnded();
  }
  Ending ending;
  if (prompt) {
    u.write("x");
    ending = u.waitEnd(kEndMs);
    if (!ending.ended) r->hang = true;
  }
  if (!ending.ended) ending = u.stop(SIGKILL, kEndMs);
  r->seconds = since(start);
  const std::string& text = u.text();
  r->output = text;
  r->noDevice = text.find("No Valtrane device") != std::string::npos;
  r->lastMessage = lastMessageOf(text);
  if (ending.signal != 0 && !ending.killedByUs) {
    r->crash = true;
    r->crashText = "the utility ended by signal " + std::to_string(ending.signal);
  }
  if (std::string which; crashSpoke(text, &which)) {
    r->crash = true;
    r->crashText = "the utility printed \"" + which + "\"";
  }
  if (!r->success && !r->failure && !r->hang && !r->crash) r->failure = true;  // ended without a word
}

// One start of the simulator on the lane's flash file and one run of the utility against it.
RunRecord oneRun(const std::string& role, int image, bool install, const std::vector<std::string>& extra,
                 bool wine, bool wholeRun, int boundMs, const Lane& lane, const Tools& tools,
                 const std::vector<std::uint8_t>* reference, int number) {
  std::vector<std::uint8_t> before;  // the flash as the simulator starts with it
  RunRecord r;
  r.role = role;
  const std::string log = lane.dir + "/run" + std::to_string(number) + ".log";
  std::vector<std::string> args{"--link", linkPath(lane, tools, wine), "--flash", flashPath(lane), "--log", log};
  args.insert(args.end(), kFastRestart.begin(), kFastRestart.end());
  if (install) {
    args.insert(args.end(), {"--install", tools.images[image], "--set-version", "4.01"});
  } else if (image == 1) {
    args.insert(args.end(), {"--bank", "256k"});  // the second image is made for 256 KB banks
  }
  args.insert(args.end(), extra.begin(), extra.end());
  Process sim;
  if (!sim.start(tools.switchSim, args, {})) {
    r.refused = "cannot start " + tools.switchSim;
    return r;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(kSimStartMs);
  if (sim.awaitAny({"switch-sim: COM link"}, deadline) != 0 || sim.awaitAny({"\n"}, deadline) != 0) {
    sim.stop(SIGKILL, kSimStopMs);
    // Its first line says why (an option it does not know, a file it cannot use).
    r.refused = sim.text().substr(0, sim.text().find('\n'));
    if (r.refused.empty()) r.refused = "switch-sim did not start";
    return r;
  }
  before = readFile(flashPath(lane));  // written whole before the simulator says it is ready
  runUtility(&r, lane, tools, wine, boundMs, log, !wholeRun);
  const Ending ending = sim.stop(SIGTERM, kSimStopMs);
  if (ending.signal != 0 && ending.signal != SIGTERM) {
    r.crash = true;
    r.crashText = "switch-sim ended by signal " + std::to_string(ending.signal);
  } else if (ending.exitCode != 0) {
    r.crash = true;
    r.crashText = "switch-sim exited with " + std::to_string(ending.exitCode);
  }
  if (std::string which; crashSpoke(sim.text(), &which)) {
    r.crash = true;
    r.crashText = "switch-sim printed \"" + which + "\"";
  }
  r.logFile = log;
  const SimLog parsed = readSimLog(log);
  r.faultLines = parsed.faultLines;
  r.silentBoot = parsed.silentBoot;
  r.consoleNoise = parsed.consoleNoise;
  r.erases = parsed.erases;
  r.copies = parsed.copies;
  if (parsed.sessionEnd > 0) {
    r.floorSeconds = wireFloorSeconds(parsed);
    r.sessionSeconds = parsed.sessionEnd - parsed.sessionStart;
  }
  const std::vector<std::uint8_t> after = readFile(flashPath(lane));
  r.flashKept = after == before;
  if (reference != nullptr) r.flashExact = after == *reference;
  return r;
}

}  // namespace

CaseResult runCleanUpdate(int image, const Lane& lane, const Tools& tools, std::vector<std::uint8_t>* flash,
                          SimLog* log, const std::vector<std::string>& extra) {
  CaseResult result;
  const auto start = Clock::now();
  RunRecord r = oneRun("clean", image, true, extra, false, false, kRunBoundMs, lane, tools, nullptr, 0);
  if (!r.refused.empty()) {
    result.unavailable = true;
    result.unavailableWhy = r.refused;
  }
  *flash = readFile(flashPath(lane));
  *log = readSimLog(lane.dir + "/run0.log");
  result.restoredBy = r.success ? 0 : -1;
  result.runs.push_back(std::move(r));
  result.seconds = since(start);
  return result;
}

CaseResult runCase(const Case& c, const Lane& lane, const Tools& tools,
                   const std::vector<std::vector<std::uint8_t>>& references) {
  CaseResult result;
  const auto start = Clock::now();
  const std::vector<std::uint8_t>* reference = &references[static_cast<std::size_t>(c.image)];
  RunRecord faulted =
      oneRun("fault", c.image, true, c.fault, c.wine, c.wholeRun, kRunBoundMs, lane, tools, reference, 1);
  if (!faulted.refused.empty()) {
    result.unavailable = true;
    result.unavailableWhy = faulted.refused;
    result.seconds = since(start);
    return result;
  }
  const bool intact = c.keepsFlash ? faulted.flashKept : faulted.success && faulted.flashExact;
  result.runs.push_back(std::move(faulted));
  if (intact || c.keepsFlash) {
    // A switch no image fits that was written anyway has no image that could restore it.
    result.restoredBy = intact ? 0 : -1;
    result.seconds = since(start);
    return result;
  }
  // Power cycle: the simulator again on the same flash file, without the fault (a double fault
  // cuts the first of these runs too).
  const bool isDouble = c.klass == Klass::Double;
  const int tries = isDouble ? kDoubleRecoveryRuns : kSingleRecoveryRuns;
  // The second cut strikes the first recovery run that reaches the switch: on a switch left
  // silent, that is the run through the held ISP pin.
  bool secondPending = isDouble;
  for (int k = 1; k <= tries; ++k) {
    std::vector<std::string> extra = secondPending ? c.second : std::vector<std::string>{};
    RunRecord r = oneRun("recovery " + std::to_string(k), c.image, false, extra, false, false, kRunBoundMs, lane, tools,
                         reference, k + 1);
    if (!r.refused.empty()) {
      result.unavailable = true;
      result.unavailableWhy = r.refused;
      break;
    }
    const bool restored = r.success && r.flashExact;
    const bool silent = r.silentBoot && !r.question;
    if (secondPending && !silent) {
      secondPending = false;
      result.secondFired = !r.faultLines.empty();
    }
    result.runs.push_back(std::move(r));
    if (restored) {
      result.restoredBy = k;
      break;
    }
    if (silent) {
      // Damaged code that boots and crashes: only the held ISP pin brings up the bootloader.
      result.pinNeeded = true;
      extra.insert(extra.end(), {"--state", "bootloader"});
      RunRecord pin = oneRun("held ISP pin", c.image, false, extra, false, false, kRunBoundMs, lane, tools, reference,
                             k + 10);
      if (secondPending) {
        secondPending = false;
        result.secondFired = !pin.faultLines.empty();
      }
      const bool pinRestored = pin.success && pin.flashExact;
      result.runs.push_back(std::move(pin));
      if (pinRestored) {
        result.pinRestored = true;
        result.restoredBy = k;
        break;
      }
    }
  }
  result.seconds = since(start);
  return result;
}

}  // namespace campaign
