#pragma once
// End-to-end runs: the built vlfwu (or its Windows build under Wine) against the switch-sim
// program over pseudo-terminals, with the console transcript that such a run must print.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "firmware/image.h"
#include "tests/common/child_process.h"

namespace vlfwu_e2e {

using Environment = std::vector<std::pair<std::string, std::string>>;

// Generous bounds: a run can spend ~2 s per silent port and a full update takes seconds.
constexpr int kPromptTimeoutMs = 30000;
constexpr int kRunTimeoutMs = 120000;

std::string binaryPath(const char* name);  // a program of this build's bin folder

// A scratch folder for one test, removed with everything in it afterwards (kept when the
// environment variable VLFWU_KEEP_E2E_DIRS is set, for a look after a failure).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const;

 private:
  std::string path_;
};

// The switch-sim program as a child process. Its pseudo-terminal is published at the link
// path; start() returns once the program has said that it is ready.
class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool start(const std::string& linkPath, const std::vector<std::string>& arguments);
  // Ends the program the polite way (it saves its flash file), then waits for it.
  void stop();
  bool running();
  const std::string& linkPath() const { return link_; }
  // What the program printed so far; the reason when start() failed.
  std::string report();

 private:
  vlfwu_test::ChildProcess process_;
  std::string link_;
  std::string failure_;
  bool started_ = false;
};

// VLFWU_COM1..VLFWU_COM16 (and the one port beyond, for single-port runs above 16): the given
// ports point at their simulator links, every other one at a path that does not exist.
Environment portEnvironment(const TempDir& dir, const std::map<unsigned, std::string>& ports);

// The whole file, or an empty vector when it cannot be read.
std::vector<std::uint8_t> readFile(const std::string& path);
bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// The compiled-in image number index, located and validated (as the program has it).
t_FirmwareImage embeddedImage(int index);

// Checks that flash (bank A from 0x1A000000 on, as the simulator's flash file holds it) carries
// exactly the image: the firmware region, the parameter table, and 0xFF in every other byte of
// the sectors that the update erased. Empty when it does; otherwise what differs.
std::string flashMismatch(const std::vector<std::uint8_t>& flash, const t_FirmwareImage& image);

// --- Expected console text -------------------------------------------------------------------

// Banner, legal notice and the two "Firmware validated." lines.
std::string startText();
// "\nCOMn: " and the outcome of that port.
std::string portText(unsigned port, std::string_view outcome);
constexpr std::string_view kCouldNotOpen = "Could not open port.";
constexpr std::string_view kNoDevice = "No Valtrane devices detected.";
constexpr std::string_view kNoMatch = "A Valtrane device was found, but it does not match this firmware.";
constexpr std::string_view kNoneFound = "\n\nNo updatable Valtrane devices found.\n";
// The port where the scan stopped, with the line break that ends the scan.
std::string foundText(std::string_view name, std::string_view version);

enum class Comparison { Newer, Same, Older };
// The question before an update with the aligned version lines, and the answer typed.
std::string questionText(Comparison comparison, std::string_view deviceName,
                         std::string_view deviceVersion, std::string_view imageVersion,
                         std::string_view imageName, char answer);
constexpr std::string_view kCanceled = "\nUpdate canceled.\n\n";

// The progress line of a whole successful update of an image with this firmware length.
std::string progressText(std::uint32_t firmwareLength);
// The progress line of an update whose blockIndex-th 4096-byte block (from 1) failed.
std::string progressUntilFailedBlock(std::uint32_t firmwareLength, unsigned blockIndex);
// The switch's DSP progress after a restart: banks 1..banks, steps 0..5 each.
std::string dspText(int banks);
constexpr std::string_view kPowerCycle = "\nFirmware update complete, please power cycle the switch.\n";
constexpr std::string_view kMismatch = "\n\nError: A mismatch occurred while verifying this update.\n";
// The key prompt and the line break after the key.
constexpr std::string_view kExitText = "\nPress any key to exit...\n";

// A readable account of where two transcripts part, for a failure message.
std::string transcriptDiff(const std::string& expected, const std::string& actual);

}  // namespace vlfwu_e2e
