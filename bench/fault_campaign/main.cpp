// Fault campaign: every flash operation of both images cut before, inside and after, power lost
// at every step, double faults, a noisy line, slow adapters, failing steps with a damaged
// reply, a failed compare whose answer loses a byte, and a switch no image fits whose identity
// line is damaged, each against switch-sim as a process and the built vlfwu. Every case: a switch at 4.01, the utility answering Y, one fault
// from the simulator's own options, a power cycle (the simulator restarted on the same flash
// file), the utility again, and the whole flash compared with what a clean update leaves (or,
// for the switch no image fits, with what it held before the run).
//
// Usage: fault_campaign [--quick | --ci] [--lanes N] [--class NAME]... [--shard I/N] [--case NAME]
//                       [--results FILE] [--summarize FILE...] [--list] [--keep]
//                       [--vlfwu PATH] [--switch-sim PATH] [--windows-exe PATH | --no-wine]
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/fault_campaign/cases.h"
#include "bench/fault_campaign/judge.h"
#include "bench/fault_campaign/process.h"
#include "bench/fault_campaign/profile.h"
#include "bench/fault_campaign/report.h"
#include "bench/fault_campaign/runner.h"

namespace {

using namespace campaign;

constexpr int kFirstPort = 40;  // lane i uses COM(40 + i)
constexpr int kMaxLanes = 32;
constexpr int kWineBootMs = 600000;

std::string binDir() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

struct Settings {
  bool quick = false;
  bool ci = false;
  int lanes = 1;
  std::vector<Klass> classes;
  int shard = 1;
  int shards = 1;
  std::string only;     // --case
  std::string results;  // --results
  std::vector<std::string> summarize;
  bool list = false;
  bool keep = false;
  std::string replayPaths;  // the path options given, repeated in replay commands
};

int usage(const char* why) {
  std::fprintf(stderr,
               "fault_campaign: %s\n"
               "usage: fault_campaign [--quick | --ci] [--lanes N]\n"
               "       [--class flash-ops|steps|double|noisy|adapters|reply-bits|compare-loss|identity]...\n"
               "       [--shard I/N] [--case NAME] [--results FILE] [--summarize FILE...] [--list] [--keep]\n"
               "       [--vlfwu PATH] [--switch-sim PATH] [--windows-exe PATH | --no-wine]\n",
               why);
  return 2;
}

bool commandWorks(const std::string& command, const std::vector<std::string>& environment, int waitMs) {
  Process p;
  if (!p.start("/bin/sh", {"-c", command + " > /dev/null 2>&1"}, environment)) return false;
  const Ending e = p.waitEnd(waitMs);
  if (!e.ended) p.stop(SIGKILL, 2000);
  return e.ended && e.exitCode == 0;
}

// The Wine prefix that the Wine tests make serves the campaign too; false when Wine cannot run.
bool prepareWine(Tools* tools, std::string* why) {
  if (!commandWorks("command -v wine && command -v wineserver", {}, 10000)) {
    *why = "wine is not installed";
    return false;
  }
  const std::vector<std::string> env{"WINEPREFIX=" + tools->winePrefix, "WINEDEBUG=-all"};
  const std::string marker = tools->winePrefix + "/vlfwu-prefix-ready";
  std::filesystem::create_directories(tools->winePrefix);
  if (!std::filesystem::exists(marker) &&
      !commandWorks("wineboot -i && wineserver -w && touch '" + marker + "'", env, kWineBootMs)) {
    *why = "wineboot failed for " + tools->winePrefix;
    return false;
  }
  return true;
}

// A failing case's transcripts and console texts, kept for a look after the run (the lane's
// folder is reused by its next case).
void keepEvidence(const std::string& base, const Case& c, const CaseResult& result) {
  std::string folder = c.name;
  for (char& ch : folder)
    if (ch == '/' || ch == ' ' || ch == '(' || ch == ')') ch = '_';
  const std::string dir = base + "/failed/" + folder;
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  int n = 0;
  for (const RunRecord& r : result.runs) {
    const std::string stem = dir + "/" + std::to_string(++n) + "-" + r.role.substr(0, r.role.find(' '));
    std::filesystem::copy_file(r.logFile, stem + ".sim.log", std::filesystem::copy_options::overwrite_existing,
                               ignored);
    if (std::FILE* out = std::fopen((stem + ".vlfwu.txt").c_str(), "w")) {
      std::fwrite(r.output.data(), 1, r.output.size(), out);
      std::fclose(out);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  Tools tools;
  const std::string bin = binDir();
  tools.vlfwu = bin + "/vlfwu";
  tools.switchSim = bin + "/switch-sim";
  tools.windowsExe = VLFWU_BENCH_WINDOWS_EXE;
  tools.images[0] = std::string(VLFWU_SOURCE_DIR) + "/firmware/images/sonarch60.vlfw";
  tools.images[1] = std::string(VLFWU_SOURCE_DIR) + "/firmware/images/sonarch60-2710.vlfw";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--quick") {
      s.quick = true;
    } else if (a == "--ci") {
      s.ci = true;
    } else if (a == "--lanes" && hasValue) {
      s.lanes = std::atoi(argv[++i]);
      if (s.lanes < 1 || s.lanes > kMaxLanes) return usage("--lanes takes 1 to 32");
    } else if (a == "--class" && hasValue) {
      Klass k;
      if (!classFromName(argv[++i], &k)) return usage("unknown class");
      s.classes.push_back(k);
    } else if (a == "--shard" && hasValue) {
      if (std::sscanf(argv[++i], "%d/%d", &s.shard, &s.shards) != 2 || s.shards < 1 || s.shard < 1 ||
          s.shard > s.shards)
        return usage("--shard takes I/N with 1 <= I <= N");
    } else if (a == "--case" && hasValue) {
      s.only = argv[++i];
    } else if (a == "--results" && hasValue) {
      s.results = argv[++i];
    } else if (a == "--summarize") {
      while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) s.summarize.push_back(argv[++i]);
    } else if (a == "--list") {
      s.list = true;
    } else if (a == "--keep") {
      s.keep = true;
    } else if ((a == "--vlfwu" || a == "--switch-sim" || a == "--windows-exe") && hasValue) {
      const std::string path = std::filesystem::absolute(argv[++i]).string();
      (a == "--vlfwu" ? tools.vlfwu : a == "--switch-sim" ? tools.switchSim : tools.windowsExe) = path;
      s.replayPaths += " " + a + " " + path;
    } else if (a == "--no-wine") {
      tools.windowsExe.clear();
      s.replayPaths += " --no-wine";
    } else {
      return usage(("unknown or incomplete option " + a).c_str());
    }
  }
  const std::string replay = std::filesystem::absolute(argv[0]).string() + s.replayPaths;

  if (!s.summarize.empty()) {
    std::vector<Row> rows;
    for (const std::string& path : s.summarize)
      if (!readRows(path, &rows)) std::fprintf(stderr, "cannot read %s\n", path.c_str());
    printReport(rows, replay);
    return 0;
  }

  // SIGINT and SIGTERM are taken by a thread of their own, which ends every simulator and
  // utility still running before the campaign goes.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::thread([stopSignals] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    killAllChildren();
    std::fprintf(stderr, "fault_campaign: stopped by signal %d\n", signalNumber);
    std::_Exit(128 + signalNumber);
  }).detach();

  bool withWine = false;
  if (!tools.windowsExe.empty()) {
    tools.winePrefix = std::filesystem::absolute(bin + "/../e2e-wine-prefix").string();
    std::string why;
    withWine = std::filesystem::exists(tools.windowsExe) && prepareWine(&tools, &why);
    if (!withWine)
      std::printf("Windows build %s: not run under Wine (%s)\n", tools.windowsExe.c_str(),
                  why.empty() ? "no such file" : why.c_str());
  }

  char pattern[] = "/tmp/vlfwu-campaign-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return usage("no temporary folder");
  const std::string base = pattern;
  std::vector<Lane> lanes;
  for (int i = 0; i < s.lanes; ++i) {
    Lane lane{i, base + "/lane" + std::to_string(i), kFirstPort + i};
    std::filesystem::create_directories(lane.dir);
    lanes.push_back(lane);
  }

  // The references: a clean update of each image, whose flash every case must end with, and
  // whose transcript gives the operations and steps to cut.
  std::vector<std::vector<std::uint8_t>> references(2);
  std::vector<Profile> profiles(2);
  for (int image = 0; image < 2; ++image) {
    SimLog log;
    const CaseResult clean = runCleanUpdate(image, lanes[0], tools, &references[image], &log);
    profiles[image] = profileOf(log);
    if (clean.restoredBy != 0 || !profiles[image].sound) {
      std::printf("The clean update of image %d did not succeed (%s): no reference, no campaign.\n%s\n", image,
                  clean.runs.empty() ? "" : clean.runs.front().lastMessage.c_str(), profiles[image].why.c_str());
      return 2;
    }
    const Profile& p = profiles[image];
    std::printf("clean update of image %d: %.1f s; %d erases, %d copies (table %d, head %d), %ld write lines in %ld "
                "blocks, %ld commands, %ld reply lines, %zu step points\n",
                image, clean.seconds, p.erases, p.copies, p.tableCopy, p.headCopy, p.writeLines, p.writeBlocks,
                p.commands, p.replyLines, p.points.size());
  }

  // A clean run on the switch no image fits: it must leave it as it was, and its transcript
  // gives the identity frames a run asks for.
  SimLog unfit;
  {
    std::vector<std::uint8_t> flash;
    const CaseResult clean = runCleanUpdate(0, lanes[0], tools, &flash, &unfit, unfitSwitch());
    const RunRecord* run = clean.runs.empty() ? nullptr : &clean.runs.front();
    if (run == nullptr || !run->flashKept || unfit.identityFrames.empty()) {
      std::printf("The clean run on a switch no image fits %s (%s): no identity cases.\n",
                  run != nullptr && !run->flashKept ? "wrote it" : "read no identity",
                  run == nullptr ? "" : run->lastMessage.c_str());
      if (run != nullptr && !run->flashKept) return 2;
    } else {
      std::printf("clean run on a switch no image fits: %.1f s; %zu identity frames \"%s\"; \"%s\"\n", clean.seconds,
                  unfit.identityFrames.size(), unfit.identityFrames.front().c_str(), run->lastMessage.c_str());
    }
  }

  std::vector<Case> all = buildCases(profiles, unfit, withWine);
  std::vector<Case> chosen;
  for (const Case& c : all) {
    if (!s.only.empty()) {
      if (c.name == s.only) chosen.push_back(c);
      continue;
    }
    if (s.quick && !c.quick) continue;
    if (s.ci && !c.ci) continue;
    if (c.wine && !withWine) continue;
    if (!s.classes.empty()) {
      bool wanted = false;
      for (const Klass k : s.classes) wanted |= k == c.klass;
      if (!wanted) continue;
    }
    chosen.push_back(c);
  }
  if (s.shards > 1) {
    std::vector<Case> mine;
    for (std::size_t i = 0; i < chosen.size(); ++i)
      if (static_cast<int>(i % static_cast<std::size_t>(s.shards)) == s.shard - 1) mine.push_back(chosen[i]);
    chosen.swap(mine);
  }
  if (s.list) {
    for (const Case& c : chosen) std::printf("%s\n", c.name.c_str());
    std::printf("%zu cases\n", chosen.size());
    std::filesystem::remove_all(base);
    return 0;
  }
  if (chosen.empty()) {
    std::filesystem::remove_all(base);
    return usage(s.only.empty() ? "no case chosen" : "no case of that name");
  }
  std::printf("%zu cases in %d lane(s)%s\n", chosen.size(), s.lanes,
              s.shards > 1 ? (", shard " + std::to_string(s.shard) + "/" + std::to_string(s.shards)).c_str() : "");
  std::fflush(stdout);

  std::FILE* results = s.results.empty() ? nullptr : std::fopen(s.results.c_str(), "w");
  std::vector<Row> rows(chosen.size());
  std::atomic<std::size_t> next{0};
  std::mutex printing;
  std::size_t done = 0;
  const auto started = Clock::now();
  auto work = [&](const Lane& lane) {
    for (std::size_t i = next++; i < chosen.size(); i = next++) {
      const Case& c = chosen[i];
      const CaseResult result = runCase(c, lane, tools, references);
      const Verdict v = judge(c, result);
      rows[i] = rowOf(c, result, v);
      std::lock_guard<std::mutex> lock(printing);
      ++done;
      const char* outcome = v.unavailable ? "not run" : v.failed() ? "FAIL" : !v.fired ? "did not fire" : "ok";
      std::fprintf(stderr, "[%zu/%zu] %-60s %-12s %5.1f s  restored by %d run(s)%s  \"%s\"\n", done, chosen.size(),
                   c.name.c_str(), outcome, result.seconds, result.restoredBy, v.pin ? " (ISP pin)" : "",
                   rows[i].lastMessage.c_str());
      if (v.failed() || !s.only.empty()) {
        for (const RunRecord& r : result.runs)
          std::fprintf(stderr, "    %-13s %s%s%s%s %.1f s  \"%s\"%s%s\n", r.role.c_str(),
                       r.success ? "success" : r.failure ? "failure" : "no outcome", r.flashExact ? ", flash exact" : "",
                       r.hang ? ", HANG" : "", r.crash ? (", CRASH: " + r.crashText).c_str() : "", r.seconds,
                       r.lastMessage.c_str(), r.faultLines.empty() ? "" : "  ", 
                       r.faultLines.empty() ? "" : r.faultLines.front().c_str());
      }
      if (results != nullptr) writeRow(results, rows[i]);
      if (v.failed()) keepEvidence(base, c, result);
    }
  };
  std::vector<std::thread> threads;
  for (const Lane& lane : lanes) threads.emplace_back(work, lane);
  for (std::thread& t : threads) t.join();
  if (results != nullptr) std::fclose(results);
  const double wall = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("\nwall time %.0f s for %zu cases in %d lane(s): %.2f s per case\n", wall, chosen.size(), s.lanes,
              wall / static_cast<double>(chosen.size()));
  const bool evidence = std::filesystem::exists(base + "/failed");
  if (s.keep || !s.only.empty() || evidence) {
    std::printf("(files kept in %s%s)\n", base.c_str(), evidence ? "; failing cases' transcripts in failed/" : "");
  } else {
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
  }
  const int failing = printReport(rows, replay);
  return failing == 0 ? 0 : 1;
}
