// Runs in which the switch is not simply updated: refusals, switches that no image fits, and
// a switch whose last update was cut off before its parameter table was written.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "tests/common/pty.h"
#include "tests/e2e/e2e_support.h"

namespace vlfwu_e2e {
namespace {

constexpr unsigned kPort = 3;
const std::string kClosing =
    "\nPlease check the Valtrane website for the proper firmware for your product,\n"
    "or for a more recent version of this program: https://www.valtrane.com/support\n\n";

// A switch's running firmware reduced to the two exchanges of identification, on a real
// pseudo-terminal: it acknowledges the probe ("^P$" at 19200 baud) and answers each identity
// request "^V$" with the next of its identity lines (the last one repeats). The switch-sim
// program cannot change its identity while a run is connected; this one can, which is what a
// refusal in the console loop needs.
class ScriptedFirmware {
 public:
  ScriptedFirmware(std::vector<std::string> identities, int ignoredProbes = 0)
      : identities_(std::move(identities)), ignoredProbes_(ignoredProbes) {}
  ~ScriptedFirmware() { stop(); }

  bool start() {
    if (!pty_.ok()) {
      return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
  }
  void stop() {
    stopping_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  const std::string& path() const { return pty_.slavePath(); }
  int identitiesSent() const { return identitiesSent_; }

 private:
  void serve() {
    std::string pending;
    int probes = 0;
    while (!stopping_) {
      pending += pty_.read(64, 5);
      for (;;) {
        const std::size_t probe = pending.find("^P$");
        const std::size_t request = pending.find("^V$");
        const std::size_t first = std::min(probe, request);
        if (first == std::string::npos) {
          break;
        }
        pending.erase(0, first + 3);
        // Bytes sent at another rate never reach the firmware as the text it knows.
        if (pty_.slaveBaud() != 19200) {
          continue;
        }
        if (first == probe) {
          if (++probes > ignoredProbes_) {
            pty_.write("^+$");
          }
        } else {
          const std::size_t index = std::min<std::size_t>(identitiesSent_, identities_.size() - 1);
          pty_.write(identities_[index] + "$");
          ++identitiesSent_;
        }
      }
      if (pending.size() > 4096) {
        pending.erase(0, pending.size() - 2);
      }
    }
  }

  vlfwu_test::PseudoTerminal pty_;
  std::vector<std::string> identities_;
  int ignoredProbes_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> identitiesSent_{0};
  std::thread thread_;
};

std::string identityLine(const std::string& name, const std::string& version, int model, int pcb) {
  return "^=V \"" + name + "\" " + version + "," + std::to_string(model) + "," + std::to_string(pcb) + ",4101";
}

class EndToEndIdentity : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    image0_ = embeddedImage(0);
    image1_ = embeddedImage(1);
    ASSERT_NE(image0_.header, nullptr);
    ASSERT_NE(image1_.header, nullptr);
  }

  std::string link(unsigned port) const { return dir_.file("com" + std::to_string(port)); }
  std::string flashFile() const { return dir_.file("flash.bin"); }

  ::testing::AssertionResult startSim(SimProcess& sim, const std::vector<std::string>& arguments) {
    if (!sim.start(link(kPort), arguments)) {
      return ::testing::AssertionFailure() << sim.report();
    }
    return ::testing::AssertionSuccess();
  }

  ::testing::AssertionResult startUtility(ChildProcess& run, const std::vector<std::string>& arguments,
                                          const std::map<unsigned, std::string>& ports) {
    if (!run.start(binaryPath("vlfwu"), arguments, portEnvironment(dir_, ports))) {
      return ::testing::AssertionFailure() << run.error();
    }
    return ::testing::AssertionSuccess();
  }

  // The refusal of the console loop comes again on every pass; after its second appearance
  // the run is stopped from outside, as a user would. The output must be the transcript
  // up to the refusal, followed by nothing but copies of the refusal.
  void expectRepeatedRefusal(ChildProcess& run, const std::string& upToLoop, const std::string& refusal) {
    ASSERT_TRUE(run.waitForOutput(refusal, kRunTimeoutMs)) << run.output();
    ASSERT_TRUE(run.waitForOutput(refusal, kRunTimeoutMs)) << run.output();
    EXPECT_TRUE(run.running()) << "the run ended after a refusal";
    const ChildProcess::Result result = run.wait(0);
    std::string rest = result.output;
    ASSERT_EQ(rest.compare(0, upToLoop.size(), upToLoop), 0) << transcriptDiff(upToLoop, rest);
    rest.erase(0, upToLoop.size());
    int copies = 0;
    while (rest.compare(0, refusal.size(), refusal) == 0) {
      rest.erase(0, refusal.size());
      ++copies;
    }
    EXPECT_GE(copies, 2);
    // The process was stopped at some point in a further copy.
    EXPECT_EQ(refusal.compare(0, rest.size(), rest), 0) << transcriptDiff(refusal, rest);
  }

  TempDir dir_;
  t_FirmwareImage image0_{};
  t_FirmwareImage image1_{};
};

TEST_F(EndToEndIdentity, SwitchOfAnotherModelIsRefusedOnEveryPass) {
  // Found as a Sonarch60 by the scan, then answering as a Sonarch60-2710: the selected image
  // no longer fits, and the loop says so each time it identifies the switch.
  ScriptedFirmware firmware({identityLine("Sonarch60", "4.01", 86, 5), identityLine("Sonarch60-2710", "4.01", 100, 5)});
  ASSERT_TRUE(firmware.start());
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, firmware.path()}}));
  const std::string refusal =
      "\nAttempting to update device: \"Sonarch60-2710\".\nNew firmware is for device:  \"Sonarch60\".\n"
      "\nIncompatible firmware, device not updated.\n" + kClosing;
  expectRepeatedRefusal(run, startText() + portText(kPort, foundText("Sonarch60", "4.01")), refusal);
}

TEST_F(EndToEndIdentity, SwitchWithAnotherPcbRevisionIsRefusedOnEveryPass) {
  ScriptedFirmware firmware({identityLine("Sonarch60", "4.01b", 86, 5), identityLine("Sonarch36", "4.01b", 86, 4)});
  ASSERT_TRUE(firmware.start());
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, firmware.path()}}));
  const std::string refusal =
      "\nUnsupported PCB Revision: Rev 4.\nThis firmware won't work on this version of the Sonarch36,\n"
      "device not updated.\n" + kClosing;
  expectRepeatedRefusal(run, startText() + portText(kPort, foundText("Sonarch60", "4.01b")), refusal);
}

TEST_F(EndToEndIdentity, SwitchThatAnswersOnlyAfterTheScanGetsAnImageInTheLoop) {
  // Single-port mode enters the loop although the scan heard nothing; when the switch then
  // answers, the loop selects the image by the scan's rule before it asks.
  // The scan's four attempts probe twice at 19200 baud; both go unanswered.
  ScriptedFirmware firmware({identityLine("", "3.10", 86, 5)}, 2);
  ASSERT_TRUE(firmware.start());
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, firmware.path()}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "N"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  // The switch sent no name: the product table names it.
  const std::string expected = startText() + portText(kPort, kNoDevice) + "\n" + "\n" +
                               foundText("Sonarch60", "3.10") +
                               questionText(Comparison::Newer, "Sonarch60", "3.10", "4.02", "Sonarch60", 'N') +
                               std::string(kCanceled) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
}

TEST_F(EndToEndIdentity, ProductUnknownToTheProductTableEndsTheRun) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, installedSwitch(0, "4.01", flashFile()) +
                                std::vector<std::string>{"--set-model", "90", "--set-pcb", "5", "--set-name", "Sonarch99"}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = startText() + portText(kPort, kNoMatch) + "\n" +
                               "\nThe device on COM3 not compatible with this update.\nProduct name: \"Sonarch99\"\n" +
                               std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
}

TEST_F(EndToEndIdentity, KnownProductThatNoImageFitsEndsTheSinglePortRun) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, installedSwitch(0, "4.01", flashFile()) +
                                std::vector<std::string>{"--set-pcb", "4", "--set-name", "Sonarch36"}));
  const std::vector<std::uint8_t> before = readFile(flashFile());
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected =
      startText() + portText(kPort, kNoMatch) + "\n" +
      "\nThis program has no firmware for the Sonarch36 (model 86, PCB revision 4) on COM3.\n"
      "The device was not updated.\n" + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(readFile(flashFile()) == before);
}

std::string tableMissingText(unsigned port) {
  return "\nThe switch on COM" + std::to_string(port) +
         " is waiting in its bootloader and holds no valid parameter table;"
         "\nits last firmware update was probably interrupted. Its model, PCB revision and"
         "\nfirmware version cannot be read.\n";
}

std::string repairOfferText(const std::string& name, char answer) {
  return "\nThe " + name + " firmware of this program (version 4.02) fits this switch's flash layout." +
         "\nInstall it only if the switch is a " + name + ": its identity cannot be checked.\n" +
         "\nInstall the " + name + " firmware? (Y,N) " + answer + "\n";
}

TEST_F(EndToEndIdentity, ScanPassesASwitchWithoutParameterTable) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, installedSwitch(0, "4.01", flashFile()) +
                                std::vector<std::string>{"--erase-table", "--state", "bootloader"}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {}, {{1, link(kPort)}}));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  std::string expected = startText() + portText(1, kNoMatch);
  for (unsigned port = 2; port <= 16; ++port) {
    expected += portText(port, kCouldNotOpen);
  }
  expected += std::string(kNoneFound) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
}

TEST_F(EndToEndIdentity, RepairOfferForASwitchWithoutParameterTableCanBeDeclined) {
  // A 256 KB switch: only the second image keeps its table where this switch has it.
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, installedSwitch(1, "4.01", flashFile()) +
                                std::vector<std::string>{"--erase-table", "--state", "bootloader"}));
  const std::vector<std::uint8_t> before = readFile(flashFile());
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "x"));
  // End of input counts as N.
  run.closeInput();
  const ChildProcess::Result result = run.wait(kRunTimeoutMs);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = startText() + portText(kPort, kNoMatch) + "\n" + tableMissingText(kPort) +
                               repairOfferText("Sonarch60-2710", 'N') + std::string(kCanceled) +
                               "\nPress any key to exit...\n";
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(readFile(flashFile()) == before);
}

TEST_F(EndToEndIdentity, PowerLossBeforeTheTableIsWrittenIsRepairedThroughTheOffer) {
  const std::uint32_t length = image0_.header->firmwareLength;
  {
    SimProcess sim;
    ASSERT_TRUE(startSim(sim, installedSwitch(0, "4.01", flashFile()) +
                                  std::vector<std::string>{"--fault", "power-loss-before-table-write"}));
    ChildProcess run;
    ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
    ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
    const ChildProcess::Result result = finish(run);
    EXPECT_TRUE(endedNormally(result));
    std::string progress = progressText(length);
    progress.erase(progress.size() - std::string("\rUpdating firmware: 100% complete.\n").size());
    const std::string expected = startText() + portText(kPort, foundText("Sonarch60", "4.01")) +
                                 questionText(Comparison::Newer, "Sonarch60", "4.01", "4.02", "Sonarch60", 'Y') +
                                 progress +
                                 // The erase was answered; the table's block then finds no switch.
                                 "\n\nError 1: Lost the connection to the switch! Check cables and power.\n" +
                                 "\nNo Valtrane device found on COM3.\n" + std::string(kExitText);
    EXPECT_TRUE(sameTranscript(expected, result.output));
  }
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, {"--flash", flashFile(), "--dsp-interval", "40", "--boot-delay", "300"}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "y"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = startText() + portText(kPort, kNoMatch) + "\n" + tableMissingText(kPort) +
                               repairOfferText("Sonarch60", 'Y') + progressText(length) + dspText(2) +
                               std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image0_));
}

}  // namespace
}  // namespace vlfwu_e2e
