#include "tests/common/e2e_harness.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vlfwu_e2e {

namespace {

constexpr std::uint32_t kFlashBase = 0x1A000000;
constexpr std::uint32_t kFillBlock = 512;  // the update's first, separately sent block

// Bank offsets below 64 KB lie in 8 KB sectors, the rest in 64 KB ones.
std::uint32_t sectorSize(std::uint32_t offset) { return offset < 0x10000 ? 0x2000 : 0x10000; }
std::uint32_t sectorStart(std::uint32_t offset) { return offset / sectorSize(offset) * sectorSize(offset); }
std::uint32_t sectorEnd(std::uint32_t offset) { return sectorStart(offset) + sectorSize(offset); }

// The first byte of flash[offset, end) that differs from expected (0xFF when null).
std::string compareRange(const std::vector<std::uint8_t>& flash, std::uint32_t offset, std::uint32_t end,
                         const std::uint8_t* expected, const char* what) {
  if (end > flash.size()) {
    return std::string(what) + ": flash file of " + std::to_string(flash.size()) + " bytes is too short";
  }
  for (std::uint32_t i = offset; i < end; ++i) {
    const unsigned want = expected != nullptr ? expected[i - offset] : 0xFF;
    if (flash[i] != want) {
      char text[160];
      std::snprintf(text, sizeof text, "%s: byte at 0x%08X is 0x%02X, expected 0x%02X", what,
                    static_cast<unsigned>(kFlashBase + i), flash[i], want);
      return text;
    }
  }
  return {};
}

std::string progressLine(std::uint32_t percent) {
  char text[64];
  std::snprintf(text, sizeof text, "\rUpdating firmware: %3u%% complete.", static_cast<unsigned>(percent));
  return text;
}

std::string visible(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 240)) {
    out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
  }
  return out;
}

}  // namespace

t_FirmwareImage embeddedImage(int index) {
  t_FirmwareImage image{};
  selectEmbeddedImage(&image, index);
  return validateImage(nullptr, &image) == kImageSound ? image : t_FirmwareImage{};
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string flashMismatch(const std::vector<std::uint8_t>& flash, const t_FirmwareImage& image) {
  if (image.header == nullptr) {
    return "no image";
  }
  const std::uint32_t firmware = image.header->firmwareAddress - kFlashBase;
  const std::uint32_t firmwareEnd = firmware + image.header->firmwareLength;
  const std::uint32_t table = image.header->paramAddress - kFlashBase;
  const std::uint32_t tableEnd = table + image.header->paramLength;
  for (const std::string& why :
       {compareRange(flash, firmware, firmwareEnd, image.firmware, "firmware region"),
        compareRange(flash, firmwareEnd, sectorEnd(firmwareEnd - 1), nullptr, "erased space behind the firmware"),
        compareRange(flash, table, tableEnd, image.params, "parameter table"),
        compareRange(flash, sectorStart(table), table, nullptr, "erased space before the table"),
        compareRange(flash, tableEnd, sectorEnd(table), nullptr, "erased space behind the table")}) {
    if (!why.empty()) {
      return why;
    }
  }
  return {};
}

std::string questionText(Comparison comparison, const std::string& name, const std::string& version, char answer) {
  const char* const head[] = {"\n\nThis update is newer than the firmware inside the ",
                              "\nThe firmware version inside the ", "\n\nThis update is OLDER than the firmware inside the "};
  const char* const tail[] = {".\n", " matches this update.\n", "!\n"};
  const char* const question[] = {"Continue with update to newer version? (Y,N) ", "Update anyway? (Y,N) ",
                                  "Are you sure you want to update with an OLDER version of firmware? (Y,N) "};
  const int c = static_cast<int>(comparison);
  // The version columns are aligned with the image's "4.02".
  const std::size_t width = std::max<std::size_t>(version.size(), 4);
  return head[c] + name + tail[c] + "\n Current Version: " + version + "," +
         std::string(width - version.size() + 1, ' ') + "Model: " + name + "\n Update Version:  4.02," +
         std::string(width - 3, ' ') + "Model: " + name + "\n\n" + question[c] + answer + "\n";
}

std::string progressText(std::uint32_t length, unsigned failedBlock) {
  std::string text = "\nUpdating firmware:   0% complete.";
  std::uint32_t remaining = length - kFillBlock;
  std::uint32_t percent = kFillBlock * 100 / length;
  for (unsigned block = 1; remaining >= 4096; ++block) {
    if (block == failedBlock) {
      return text + progressLine(percent);  // redrawn with the remaining length unchanged
    }
    remaining -= 4096;
    percent = (length - remaining) * 100 / length;
    text += progressLine(percent);
  }
  return text + "\rUpdating firmware: 100% complete.\n";
}

std::string dspText(int banks) {
  std::string text;
  for (int bank = 1; bank <= banks; ++bank) {
    for (int step = 0; step <= 5; ++step) {
      char line[80];
      std::snprintf(line, sizeof line, "%s\rUpdating DSPs: Bank = %d, Complete = %3d%%", step == 0 ? "\n" : "",
                    bank, (step + 1) * 100 / 6);
      text += line;
    }
  }
  return text;
}

::testing::AssertionResult sameTranscript(const std::string& expected, const std::string& actual) {
  if (expected == actual) {
    return ::testing::AssertionSuccess();
  }
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
    ++at;
  }
  const std::size_t from = at > 160 ? at - 160 : 0;
  return ::testing::AssertionFailure()
         << "transcripts part at byte " << at << "\n  common:   \"" << visible(expected.substr(from, at - from))
         << "\"\n  expected: \"" << visible(expected.substr(at)) << "\"\n  actual:   \""
         << visible(actual.substr(at)) << "\"";
}

void EndToEnd::SetUp() {
  char pattern[] = "/tmp/vlfwu-e2e-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir_ = pattern;
  ASSERT_NE(embeddedImage(0).header, nullptr);
  ASSERT_NE(embeddedImage(1).header, nullptr);
}

void EndToEnd::TearDown() {
  stopSims();
  std::error_code ignored;
  if (!dir_.empty() && std::getenv("VLFWU_KEEP_E2E_DIRS") == nullptr) {
    std::filesystem::remove_all(dir_, ignored);
  }
}

::testing::AssertionResult EndToEnd::startSim(unsigned port, int image, const std::string& version,
                                              const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"--link", link(port), "--flash", flash(port), "--dsp-interval", "40",
                                   "--boot-delay", "300"};
  if (image >= 0) {
    const char* file = image == 0 ? "sonarch60.vlfw" : "sonarch60-2710.vlfw";
    args.insert(args.end(), {"--install", std::string(VLFWU_SOURCE_DIR) + "/firmware/images/" + file,
                             "--set-version", version});
  }
  args.insert(args.end(), extra.begin(), extra.end());
  ChildProcess& sim = sims_.emplace_back();
  if (!sim.start(std::string(VLFWU_BIN_DIR) + "/switch-sim", args)) {
    return ::testing::AssertionFailure() << "cannot start switch-sim: " << sim.error();
  }
  if (!sim.waitForOutput("switch-sim: COM link", 10000) || !sim.waitForOutput("\n", 10000)) {
    return ::testing::AssertionFailure() << "switch-sim did not get ready:\n" << sim.output();
  }
  return ::testing::AssertionSuccess();
}

void EndToEnd::stopSims() {
  for (ChildProcess& sim : sims_) {
    sim.sendSignal(SIGTERM);
    sim.wait(10000);
  }
  sims_.clear();
}

bool EndToEnd::launch(ChildProcess& run, const std::vector<std::string>& args, const Ports& ports) {
  // VLFWU_COMn names the device of COMn; ports without a switch get a path that does not exist.
  // A scan looks for USB serial devices in deviceFolder(), not among the machine's own.
  std::vector<std::pair<std::string, std::string>> environment = {{"VLFWU_LOG", logSetting()},
                                                                   {"VLFWU_DEVICE_DIR", deviceFolder()}};
  for (unsigned port = 1; port <= 16 || ports.count(port) != 0; ++port) {
    const auto device = ports.find(port);
    environment.emplace_back("VLFWU_COM" + std::to_string(port),
                             device != ports.end() ? device->second : dir_ + "/absent" + std::to_string(port));
  }
  environment.insert(environment.end(), runEnvironment_.begin(), runEnvironment_.end());
  return run.start(std::string(VLFWU_BIN_DIR) + "/vlfwu", args, environment,
                   {.stdinFd = runInput_, .workingDirectory = {}});
}

void EndToEnd::expectRun(const std::vector<std::string>& args, const Ports& ports,
                         const std::vector<std::string>& keys, const std::string& expected, const char* quietFrom) {
  ChildProcess run;
  ASSERT_TRUE(launch(run, args, ports)) << run.error();
  for (const std::string& key : keys) {
    if (key.empty()) {
      run.closeInput();
      continue;
    }
    // Keys typed before the question would be discarded by the console loop.
    ASSERT_TRUE(run.waitForOutput("(Y,N) ", timeoutMs_)) << run.output();
    ASSERT_TRUE(run.writeInput(key));
  }
  if (quietFrom != nullptr) {
    ASSERT_TRUE(run.waitForOutput(quietFrom, timeoutMs_)) << run.output();
    const auto from = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.waitForOutput(kPowerCycle, timeoutMs_)) << run.output();
    const auto waitedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from).count();
    // The restart window is 13000 ms; the upper bound only catches a loop that never gives up.
    EXPECT_GE(waitedMs, 12500);
    EXPECT_LE(waitedMs, 30000);
  }
  const bool prompted = run.waitForOutput("Press any key to exit...", timeoutMs_);
  if (prompted) {
    run.writeInput("x");  // fails harmlessly when the input has already been closed
  }
  const ChildProcess::Result result = run.wait(prompted ? timeoutMs_ : 0);
  EXPECT_TRUE(result.exited && result.exitCode == 1)
      << "exit status " << result.exitCode << ", signal " << result.termSignal << ", expected status 1";
  EXPECT_TRUE(sameTranscript(onConsole(consolePrefix_ + startText() + expected + kExitText), result.output))
      << launchMessages();
  if (expectLog_) {
    expectLogOfRun(result.output);
  }
}

vlfwu_test::SupportLog EndToEnd::readLog() const {
  const std::vector<std::uint8_t> content = readFile(logFile());
  vlfwu_test::SupportLog log;
  std::string why;
  EXPECT_TRUE(vlfwu_test::readSupportLog(std::string(content.begin(), content.end()), &log, &why))
      << logFile() << ": " << why;
  return log;
}

void EndToEnd::expectLogOfRun(const std::string& output) const {
  const vlfwu_test::SupportLog log = readLog();
  EXPECT_TRUE(sameTranscript(output, onConsole(vlfwu_test::loggedConsole(log)))) << "the log's console texts";
  EXPECT_EQ(vlfwu_test::headerField(log, "utility"), "vlfwu " VLFWU_VERSION);
  const std::vector<std::string> outcomes = vlfwu_test::recordTexts(log, "run");
  EXPECT_EQ(outcomes.size(), 1u);
  // The key that ends the run is the last record but the line break it prints.
  const std::vector<std::string> keys = vlfwu_test::recordTexts(log, "key");
  EXPECT_FALSE(keys.empty()) << "no key in the log";
}

void EndToEnd::expectLogMatchesSim() const {
  const std::vector<std::uint8_t> transcript = readFile(simLogFile());
  const std::string text(transcript.begin(), transcript.end());
  const vlfwu_test::SupportLog log = readLog();
  EXPECT_TRUE(vlfwu_test::sameLineBytes(log, "sent", vlfwu_test::simTranscriptBytes(text, true)));
  EXPECT_TRUE(vlfwu_test::sameLineBytes(log, "recv", vlfwu_test::simTranscriptBytes(text, false)));
}

void EndToEnd::runScenario(const Scenario& s) {
  std::vector<std::uint8_t> before;
  Ports ports;
  if (s.image >= 0) {
    std::vector<std::string> extra = s.simArgs;
    extra.insert(extra.end(), {"--log", simLogFile()});
    ASSERT_TRUE(startSim(s.port, s.image, s.version, extra));
    before = readFile(flash(s.port));
    ASSERT_FALSE(before.empty());
    ports[s.port] = link(s.port);
  }
  expectRun(s.scan ? std::vector<std::string>{} : std::vector<std::string>{std::to_string(s.port)}, ports, s.keys,
            s.expected(), s.quietFrom);
  if (s.image < 0) {
    return;
  }
  stopSims();
  const std::vector<std::uint8_t> after = readFile(flash(s.port));
  if (s.flashAfter >= 0) {
    EXPECT_EQ(flashMismatch(after, embeddedImage(s.flashAfter)), "");
  } else {
    EXPECT_TRUE(after == before) << "the flash changed";
  }
  expectLogMatchesSim();
  if (s.logHas != nullptr) {
    const std::vector<std::uint8_t> log = readFile(simLogFile());
    EXPECT_NE(std::string(log.begin(), log.end()).find(s.logHas), std::string::npos) << "no " << s.logHas;
  }
}

}  // namespace vlfwu_e2e
