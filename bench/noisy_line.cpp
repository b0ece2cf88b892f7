// Noisy-line runs: whole updates of a simulated switch (a compiled-in image, the first unless
// --image says otherwise, over a switch that runs it at 4.01) while switch-sim adds random bit
// errors to the line in both directions, one seed per run. Each update either reports success
// over flash that is exactly what a clean update leaves, or reports a failure; a success over
// any other flash is a false success. In process, without wire timing by default, so that many runs take minutes;
// --wire-speed paces the simulated switch at 115200 baud and its flash at its real speed, for
// the times a technician would see.
//
// Usage: bench_noisy_line [--runs N] [--first-seed S] [--log FILE] [--console] [--wire-speed]
//                         [--dropout EVERY:FOR] [--adapter-latency MS] [--image I] [RATE ...]
//        (default: 30 runs each of 1e-6 1e-5 1e-4, seeds 1..30; --log keeps the simulator's
//        transcript of the last run, --console shows the utility's console text, --dropout
//        makes the line carry nothing for the last FOR ms of every EVERY ms, --adapter-latency
//        puts a USB adapter that holds the switch's short answers MS ms on the line, as a slow
//        link does: a clean line then shows what the slow link alone costs)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/device_state.h"
#include "firmware/image.h"
#include "isp/device_line.h"
#include "sim/switch_sim.h"
#include "transport/serial.h"
#include "update/flash_update.h"

namespace {

constexpr int kPortNumber = 57;

std::string logFile;
bool wireSpeed = false;
int dropoutEveryMs = 0;
int dropoutMs = 0;
int imageIndex = 0;
int adapterLatencyMs = -1;

// The benchmark's exit statuses.
constexpr int kExitNoFalseSuccess = 0;
constexpr int kExitCouldNotRun = 1;   // the clean update failed, or the simulator did not start
constexpr int kExitFalseSuccess = 2;  // a success over flash that is not what a clean update leaves
constexpr int kExitUsage = 3;         // an argument it does not take

// Each compiled-in image as the simulated switch runs it at 4.01: its container file, and the
// part it is made for (the second for 256 KB banks).
struct ImageSwitch {
  const char* file;
  bool bank256K;
};
constexpr ImageSwitch kImageSwitches[] = {{"sonarch60.vlfw", false}, {"sonarch60-2710.vlfw", true}};
static_assert(std::size(kImageSwitches) == kEmbeddedImageCount);

sim::Options switchAt401(double rate, std::uint64_t seed) {
  sim::Options options;
  options.logFile = logFile;
  options.installImage = std::string(VLFWU_SOURCE_DIR) + "/firmware/images/" + kImageSwitches[imageIndex].file;
  options.bank256K = kImageSwitches[imageIndex].bank256K;
  options.version = 0x04010000;
  options.dspBanks = 0;
  options.readyMessage = false;
  options.bootDelayMs = 100;
  options.seed = seed;
  options.lineFaults.bitErrorRate = rate;
  options.wireSpeed = wireSpeed;
  options.lineFaults.dropoutEveryMs = dropoutEveryMs;
  options.lineFaults.dropoutMs = dropoutMs;
  options.adapterLatencyMs = adapterLatencyMs;
  return options;
}

struct Outcome {
  bool started = false;
  int result = -1;
  std::vector<std::uint8_t> flash;
  double seconds = 0;
};

Outcome runUpdate(const t_FirmwareImage& image, double rate, std::uint64_t seed) {
  Outcome outcome;
  sim::Switch device(switchAt401(rate, seed));
  std::string error;
  if (!device.start(&error)) {
    std::fprintf(stderr, "switch-sim: %s\n", error.c_str());
    return outcome;
  }
  outcome.started = true;
  ::setenv(("VLFWU_COM" + std::to_string(kPortNumber)).c_str(), device.slavePath().c_str(), 1);
  if (comOpen(&devicePort, kPortNumber, 19200) != 1) {
    outcome.started = false;
    return outcome;
  }
  currentBaud = 19200;
  deviceState = kStateUnknown;
  const auto begin = std::chrono::steady_clock::now();
  outcome.result = updateFirmware(&image);
  outcome.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  comClose(&devicePort);
  currentBaud = 0;
  device.stop();
  outcome.flash = device.flash();
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 30;
  std::uint64_t firstSeed = 1;
  std::vector<double> rates;
  bool console = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (a == "--log" && i + 1 < argc) {
      logFile = argv[++i];
    } else if (a == "--console") {
      console = true;
    } else if (a == "--wire-speed") {
      wireSpeed = true;
    } else if (a == "--dropout") {
      // the line comes and goes: away for the last dropoutMs of every dropoutEveryMs
      if (i + 1 >= argc || std::sscanf(argv[++i], "%d:%d", &dropoutEveryMs, &dropoutMs) != 2 ||
          dropoutEveryMs <= 0 || dropoutMs < 0 || dropoutMs > dropoutEveryMs) {
        std::fprintf(stderr, "--dropout wants EVERY:FOR in milliseconds, FOR at most EVERY\n");
        return kExitUsage;
      }
    } else if (a == "--adapter-latency") {
      if (i + 1 >= argc || std::sscanf(argv[++i], "%d", &adapterLatencyMs) != 1 || adapterLatencyMs < 0) {
        std::fprintf(stderr, "--adapter-latency wants the adapter's latency in milliseconds, 0 or more\n");
        return kExitUsage;
      }
    } else if (a == "--image") {
      if (i + 1 >= argc || std::sscanf(argv[++i], "%d", &imageIndex) != 1 || imageIndex < 0 ||
          imageIndex >= kEmbeddedImageCount) {
        std::fprintf(stderr, "--image wants a compiled-in image's index, 0 to %d\n", kEmbeddedImageCount - 1);
        return kExitUsage;
      }
    } else if (a == "--first-seed" && i + 1 < argc) {
      firstSeed = std::strtoull(argv[++i], nullptr, 10);
    } else {
      char* end = nullptr;
      const double rate = std::strtod(a.c_str(), &end);
      if (end == a.c_str() || *end != '\0' || !(rate >= 0.0 && rate < 1.0)) {
        std::fprintf(stderr,
                     "%s: give a bit-error rate from 0 up to 1, --runs N, --first-seed S, --log FILE, "
                     "--console, --wire-speed, --dropout EVERY:FOR, --adapter-latency MS or --image I\n",
                     a.c_str());
        return kExitUsage;
      }
      rates.push_back(rate);
    }
  }
  if (runs < 1) {
    std::fprintf(stderr, "--runs wants a count of at least 1\n");
    return kExitUsage;
  }
  if (rates.empty()) rates = {1e-6, 1e-5, 1e-4};

  t_FirmwareImage image{};
  selectEmbeddedImage(&image, imageIndex);
  if (validateImage(nullptr, &image) != kImageSound) {
    std::fprintf(stderr, "compiled-in image %d is not sound\n", imageIndex);
    return kExitCouldNotRun;
  }
  // The utility's console text goes nowhere; the table goes to standard error.
  std::fflush(stdout);
  if (!console && std::freopen("/dev/null", "w", stdout) == nullptr) return kExitCouldNotRun;

  const int every = dropoutEveryMs;
  dropoutEveryMs = 0;  // the clean update's line stays
  const Outcome clean = runUpdate(image, 0.0, 1);
  dropoutEveryMs = every;
  if (!clean.started || clean.result != kUpdateOk) {
    std::fprintf(stderr, "the clean update failed (%d)\n", clean.result);
    return kExitCouldNotRun;
  }
  std::fprintf(stderr, "clean update: %.1f s\n", clean.seconds);
  std::fprintf(stderr, "%-8s %5s %9s %9s %9s %10s %10s %10s\n", "rate", "runs", "exact ok",
               "failed", "false ok", "mean s", "median s", "max s");
  int falseTotal = 0;
  for (const double rate : rates) {
    int exact = 0, failed = 0, falseOk = 0;
    double seconds = 0;
    std::vector<double> each;
    for (int n = 0; n < runs; ++n) {
      const std::uint64_t seed = firstSeed + static_cast<std::uint64_t>(n);
      const Outcome o = runUpdate(image, rate, seed);
      seconds += o.seconds;
      each.push_back(o.seconds);
      std::fprintf(stderr, "  rate %g seed %llu: %s in %.1f s (%.2f x the clean update)\n", rate,
                   static_cast<unsigned long long>(seed),
                   !o.started ? "not started" : o.result == kUpdateOk ? "success" : "failure",
                   o.seconds, o.seconds / clean.seconds);
      if (!o.started) {
        ++failed;
      } else if (o.result != kUpdateOk) {
        ++failed;
      } else if (o.flash == clean.flash) {
        ++exact;
      } else {
        ++falseOk;
        std::fprintf(stderr, "  FALSE SUCCESS: rate %g seed %llu\n", rate,
                     static_cast<unsigned long long>(seed));
      }
      if (o.result != kUpdateOk && o.started) {
        std::fprintf(stderr, "  failure: rate %g seed %llu result %d\n", rate,
                     static_cast<unsigned long long>(seed), o.result);
      }
    }
    falseTotal += falseOk;
    std::sort(each.begin(), each.end());
    std::fprintf(stderr, "%-8g %5d %9d %9d %9d %10.1f %10.1f %10.1f\n", rate, runs, exact, failed,
                 falseOk, runs ? seconds / runs : 0.0, each.empty() ? 0.0 : each[each.size() / 2],
                 each.empty() ? 0.0 : each.back());
  }
  return falseTotal == 0 ? kExitNoFalseSuccess : kExitFalseSuccess;
}
