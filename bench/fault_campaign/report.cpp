#include "bench/fault_campaign/report.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace campaign {

namespace {

constexpr int kFields = 25;

std::string clean(std::string text) {
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return text;
}

struct Tally {
  int cases = 0, fired = 0, notFired = 0, unavailable = 0;
  int firstSuccess = 0, firstFailure = 0;
  int falseSuccess = 0, hang = 0, crash = 0, unrestored = 0, pin = 0, late = 0, notSucceeded = 0;
  int restoredBy[4] = {0, 0, 0, 0};  // 0, 1, 2, 3+ runs
  double seconds = 0;
  void add(const Row& r) {
    ++cases;
    seconds += r.seconds;
    if (r.v.unavailable) {
      ++unavailable;
      return;
    }
    r.v.fired ? ++fired : ++notFired;
    firstSuccess += r.v.firstSuccess;
    firstFailure += r.v.firstFailure;
    falseSuccess += r.v.falseSuccess;
    hang += r.v.hang;
    crash += r.v.crash;
    unrestored += r.v.unrestored && !r.v.late;
    late += r.v.late;
    pin += r.v.pin;
    notSucceeded += r.v.notSucceeded;
    if (r.restoredBy >= 0) ++restoredBy[r.restoredBy < 3 ? r.restoredBy : 3];
  }
};

}  // namespace

Row rowOf(const Case& c, const CaseResult& result, const Verdict& v) {
  Row row;
  row.name = c.name;
  row.klass = c.klass;
  row.image = c.image;
  row.v = v;
  row.restoredBy = result.restoredBy;
  row.runs = static_cast<int>(result.runs.size());
  row.seconds = result.seconds;
  row.latencyMs = c.latencyMs;
  row.wine = c.wine;
  if (!result.runs.empty()) {
    const RunRecord& first = result.runs.front();
    row.runSeconds = first.seconds;
    row.updateSeconds = first.updateSeconds;
    row.floorSeconds = first.floorSeconds;
    row.sessionSeconds = first.sessionSeconds;
    row.lastMessage = first.lastMessage;
    if (!first.faultLines.empty()) row.fault = first.faultLines.front();
  }
  return row;
}

void writeRow(std::FILE* out, const Row& r) {
  const Verdict& v = r.v;
  std::fprintf(out, "%s\t%s\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%.3f\t%.3f\t%.3f\t%.3f\t%d\t%s\t%s\t%s\t%.3f\n",
               r.name.c_str(), className(r.klass), r.image, v.unavailable, v.fired, v.firstSuccess, v.firstFailure,
               v.falseSuccess, v.hang, v.crash, v.unrestored, v.late, v.pin, v.notSucceeded, r.restoredBy, r.runs,
               r.seconds, r.runSeconds, r.updateSeconds, r.floorSeconds, r.latencyMs * (r.wine ? -1 : 1),
               clean(v.why).c_str(), clean(r.fault).c_str(), clean(r.lastMessage).c_str(), r.sessionSeconds);
  std::fflush(out);
}

bool readRows(const std::string& path, std::vector<Row>* rows) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    while (f.size() < kFields) f.emplace_back();
    Row r;
    r.name = f[0];
    if (!classFromName(f[1], &r.klass)) continue;
    auto flag = [&](int i) { return f[static_cast<std::size_t>(i)] == "1"; };
    r.image = std::atoi(f[2].c_str());
    r.v.unavailable = flag(3);
    r.v.fired = flag(4);
    r.v.firstSuccess = flag(5);
    r.v.firstFailure = flag(6);
    r.v.falseSuccess = flag(7);
    r.v.hang = flag(8);
    r.v.crash = flag(9);
    r.v.unrestored = flag(10);
    r.v.late = flag(11);
    r.v.pin = flag(12);
    r.v.notSucceeded = flag(13);
    r.restoredBy = std::atoi(f[14].c_str());
    r.runs = std::atoi(f[15].c_str());
    r.seconds = std::atof(f[16].c_str());
    r.runSeconds = std::atof(f[17].c_str());
    r.updateSeconds = std::atof(f[18].c_str());
    r.floorSeconds = std::atof(f[19].c_str());
    const int latency = std::atoi(f[20].c_str());
    r.latencyMs = latency < 0 ? -latency : latency;
    r.wine = latency < 0;
    r.v.why = f[21];
    r.fault = f[22];
    r.lastMessage = f[23];
    r.sessionSeconds = std::atof(f[24].c_str());
    rows->push_back(std::move(r));
  }
  return true;
}

int printReport(const std::vector<Row>& rows, const std::string& replay) {
  Tally byClass[kClassCount];
  Tally all;
  for (const Row& r : rows) {
    byClass[static_cast<int>(r.klass)].add(r);
    all.add(r);
  }
  std::printf("\n%-12s %6s %6s %5s %6s %6s %6s %5s %5s %6s %6s %6s %5s %6s %6s %7s\n", "class", "cases", "fired",
              "n/a", "ok 1st", "failed", "false", "hangs", "crash", "rest 0", "rest 1", "rest 2", "3+", "ISPpin",
              "unrest", "s/case");
  auto line = [](const char* name, const Tally& t) {
    std::printf("%-12s %6d %6d %5d %6d %6d %6d %5d %5d %6d %6d %6d %5d %6d %6d %7.1f\n", name, t.cases, t.fired,
                t.unavailable + t.notFired, t.firstSuccess, t.firstFailure, t.falseSuccess, t.hang, t.crash,
                t.restoredBy[0], t.restoredBy[1], t.restoredBy[2], t.restoredBy[3], t.pin, t.unrestored + t.late,
                t.cases ? t.seconds / t.cases : 0.0);
  };
  for (int k = 0; k < kClassCount; ++k)
    if (byClass[k].cases) line(className(static_cast<Klass>(k)), byClass[k]);
  line("all", all);
  std::printf("(n/a: the fault did not fire or the simulator does not know it; ok 1st: the faulted run itself\n"
              " reported success with exact flash; failed: it reported a failure; rest k: restored by the k-th run\n"
              " after the faulted one (0: never damaged); unrest: not restored within the runs allowed, one after a\n"
              " single fault, three after a double one)\n");

  const Tally& ops = byClass[static_cast<int>(Klass::FlashOps)];
  if (ops.cases) {
    const int restored = ops.fired - ops.unrestored - ops.late;
    std::printf("\nflash-ops: %d of %d flash states restored (%d through the held ISP pin)\n", restored, ops.fired,
                ops.pin);
  }
  std::printf("bootable damaged code, restored through the held ISP pin: %d case(s)\n", all.pin);
  for (const Row& r : rows)
    if (r.v.pin) std::printf("  %s\n", r.name.c_str());

  bool adapterHeader = false;
  for (const Row& r : rows) {
    if (r.klass != Klass::Adapters || r.v.unavailable) continue;
    if (!adapterHeader) {
      std::printf("\n%-44s %7s %-7s %10s %10s %10s %7s  %s\n", "adapter run", "latency", "build", "Y..100% s",
                  "session s", "floor s", "ratio", "outcome");
      adapterHeader = true;
    }
    std::printf("%-44s %4d ms %-7s %10.2f %10.2f %10.2f %7.3f  %s\n", r.name.c_str(), r.latencyMs,
                r.wine ? "wine" : "native", r.updateSeconds, r.sessionSeconds, r.floorSeconds,
                r.floorSeconds > 0 ? r.sessionSeconds / r.floorSeconds : 0.0,
                r.v.failed() ? r.v.why.c_str() : "succeeded");
  }

  int failing = 0;
  for (const Row& r : rows) {
    if (r.v.unavailable || !r.v.failed()) continue;
    if (failing++ == 0) std::printf("\nFailing cases (each with the command that replays it):\n");
    std::printf("FAIL %s: %s\n  replay: %s --case '%s'\n", r.name.c_str(), r.v.why.c_str(), replay.c_str(),
                r.name.c_str());
  }
  int unavailable = 0;
  for (const Row& r : rows)
    if (r.v.unavailable && unavailable++ < 5) std::printf("not run (the simulator refused it): %s: %s\n", r.name.c_str(), r.v.why.c_str());
  if (unavailable > 5) std::printf("... and %d more not run\n", unavailable - 5);
  double total = 0;
  for (const Row& r : rows) total += r.seconds;
  std::printf("\n%zu cases, %.0f s of case time (%.2f s per case)\n", rows.size(), total,
              rows.empty() ? 0.0 : total / static_cast<double>(rows.size()));
  std::printf("total: %d faults, %d false successes, %d hangs, %d crashes, %d unrestored\n", all.fired,
              all.falseSuccess, all.hang, all.crash, all.unrestored + all.late);
  return failing;
}

}  // namespace campaign
