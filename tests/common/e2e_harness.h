#pragma once
// End-to-end runs: the built vlfwu (or its Windows build under Wine) against switch-sim
// programs over pseudo-terminals, compared with the whole console transcript they must print.
// Every run writes a support log (VLFWU_LOG), which must change nothing of it: the log's
// console texts are then the run's output, and with one switch its bytes on the line both ways
// are those of the switch's own transcript.
#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/image.h"
#include "tests/common/child_process.h"
#include "tests/common/support_log_reader.h"

namespace vlfwu_e2e {

using vlfwu_test::ChildProcess;
using Ports = std::map<unsigned, std::string>;  // COM port number -> device path

constexpr unsigned kPort = 3;  // the port of single-port runs

// The compiled-in image number index, located and validated (as the program has it).
t_FirmwareImage embeddedImage(int index);
std::vector<std::uint8_t> readFile(const std::string& path);
// Empty when flash (bank A, as the simulator's flash file holds it) carries exactly the image:
// firmware, parameter table, and 0xFF in the rest of every sector the update erased.
std::string flashMismatch(const std::vector<std::uint8_t>& flash, const t_FirmwareImage& image);

// --- Expected console text ---
// Banner, legal notice, and "Firmware validated." for each image.
inline std::string startText() {
  return "\nValtrane / Omrix firmware update utility. Version 2.4\nCopyright (c) Valtrane Audio. All rights "
         "reserved. For use with Valtrane products only.\nFirmware validated.\nFirmware validated.\n";
}
inline std::string portText(unsigned port, std::string_view outcome) {
  return "\nCOM" + std::to_string(port) + ": " + std::string(outcome);
}
inline std::string foundText(const std::string& name, const std::string& version) {
  return "An " + name + " was found with firmware version: " + version + "\n";
}
enum class Comparison { Newer, Same, Older };
// The question about the image of the same name at version 4.02, and the answer typed.
std::string questionText(Comparison comparison, const std::string& name, const std::string& version, char answer);
// The progress line of an update; with failedBlock, up to that 4096-byte block (from 1), which failed.
std::string progressText(std::uint32_t firmwareLength, unsigned failedBlock = 0);
std::string dspText(int banks);  // the DSP progress of the restarted switch
inline std::string updateText(std::uint32_t firmwareLength, int banks) {
  return progressText(firmwareLength) + dspText(banks);
}
inline const std::string kCouldNotOpen = "Could not open port.";
inline const std::string kNoDevice = "No Valtrane devices detected.";
inline const std::string kNoMatch = "A Valtrane device was found, but it does not match this firmware.";
inline const std::string kNoneFound = "\n\nNo updatable Valtrane devices found.\n";
inline const std::string kCanceled = "\nUpdate canceled.\n\n";
inline const std::string kPowerCycle = "\nFirmware update complete, please power cycle the switch.\n";
inline const std::string kMismatch = "\n\nError: A mismatch occurred while verifying this update.\n";
inline const std::string kExitText = "\nPress any key to exit...\n";

::testing::AssertionResult sameTranscript(const std::string& expected, const std::string& actual);

// One run against at most one simulated switch, from start to the key at the exit prompt.
struct Scenario {
  const char* name;
  int image;                         // the image the switch runs; -1: no switch at all
  const char* version;               // the version its table claims
  std::vector<std::string> simArgs;  // further switch-sim arguments
  std::vector<std::string> keys;     // typed at each "(Y,N) " in turn; "" ends the input instead
  std::string (*expected)();         // the transcript between the start text and the exit prompt
  int flashAfter = -1;               // the image the flash must then hold; -1: unchanged
  bool scan = false;                 // scan COM1..16 instead of naming the port
  unsigned port = kPort;
  const char* quietFrom = nullptr;   // the power-cycle message comes a restart window after this
  const char* logHas = nullptr;      // what the simulator's wire log must show
};

inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  virtual std::string link(unsigned port) const { return dir_ + "/com" + std::to_string(port); }
  std::string flash(unsigned port) const { return dir_ + "/flash" + std::to_string(port) + ".bin"; }
  // Where the native build's scan looks for USB serial devices (ttyUSB<n>, ttyACM<n>).
  std::string deviceFolder() const { return dir_ + "/dev"; }
  // A switch on the port with its flash in flash(port), running image at version (image -1:
  // whatever the flash file holds), with short restart pauses.
  ::testing::AssertionResult startSim(unsigned port, int image, const std::string& version,
                                      const std::vector<std::string>& extra = {});
  void stopSims();  // the polite way, so that the flash files are saved
  virtual bool launch(ChildProcess& run, const std::vector<std::string>& args, const Ports& ports);
  virtual std::string onConsole(const std::string& text) const { return text; }
  // What the layer that starts the program said, for a run whose transcript is wrong.
  virtual std::string launchMessages() const { return {}; }

  // Runs the utility, answers the questions, checks the exit status and the whole transcript;
  // with quietFrom, that the power-cycle message follows that text after the restart window.
  void expectRun(const std::vector<std::string>& args, const Ports& ports, const std::vector<std::string>& keys,
                 const std::string& expected, const char* quietFrom = nullptr);
  void runScenario(const Scenario& scenario);

  std::string logFile() const { return dir_ + "/vlfwu.log"; }
  std::string simLogFile() const { return dir_ + "/sim.log"; }
  // What VLFWU_LOG is set to, for the program as it sees the file system.
  virtual std::string logSetting() const { return logSettingOverride_.empty() ? logFile() : logSettingOverride_; }
  // The run's support log, read; fails the test when it is missing or malformed.
  vlfwu_test::SupportLog readLog() const;
  // The log's bytes on the line both ways against the transcript of the one simulated switch.
  void expectLogMatchesSim() const;
  // The log's console texts against the run's output (as onConsole shows them), its keys
  // against the keys typed, and its outcome.
  void expectLogOfRun(const std::string& output) const;

  std::string dir_;
  std::string logSettingOverride_;  // VLFWU_LOG names this instead of logFile()
  std::string consolePrefix_;       // what the run prints before its banner
  ChildProcess::Environment runEnvironment_;  // further variables for the runs of vlfwu
  int runInput_ = -1;  // the runs' standard input (a terminal, a file); -1: a pipe the keys are typed into
  bool expectLog_ = true;           // the run's support log is checked
  int timeoutMs_ = 120000;
  std::list<ChildProcess> sims_;
};

}  // namespace vlfwu_e2e
