// The built vlfwu against the switch-sim program over pseudo-terminals: whole runs, compared
// with the console transcript they must print, and the simulator's flash afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "tests/common/pty.h"

#include "tests/e2e/e2e_support.h"

namespace vlfwu_e2e {
namespace {

constexpr unsigned kPort = 3;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    image0_ = embeddedImage(0);
    image1_ = embeddedImage(1);
    ASSERT_NE(image0_.header, nullptr);
    ASSERT_NE(image1_.header, nullptr);
  }

  std::string link(unsigned port) const { return dir_.file("com" + std::to_string(port)); }
  std::string flashFile(std::string_view name = "flash.bin") const { return dir_.file(name); }

  ::testing::AssertionResult startSim(SimProcess& sim, unsigned port, const std::vector<std::string>& arguments) {
    if (!sim.start(link(port), arguments)) {
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

  // Everything a single-port run prints up to the question, for a switch found in the scan.
  std::string singlePortFound(std::string_view name, std::string_view version) const {
    return startText() + portText(kPort, foundText(name, version));
  }

  TempDir dir_;
  t_FirmwareImage image0_{};
  t_FirmwareImage image1_{};
};

TEST_F(EndToEnd, NewerImageIsInstalledAndTheRestartedSwitchReportsReady) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, kPort, installedSwitch(0, "4.01", flashFile())));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = singlePortFound("Sonarch60", "4.01") +
                               questionText(Comparison::Newer, "Sonarch60", "4.01", "4.02", "Sonarch60", 'Y') +
                               progressText(image0_.header->firmwareLength) + dspText(2) +
                               std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image0_));
}

TEST_F(EndToEnd, SameVersionUpdatedAnywayThenSilenceEndsWithPowerCycleMessage) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, kPort,
                       installedSwitch(0, "4.02", flashFile()) + std::vector<std::string>{"--dsp-banks", "0", "--no-ready"}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "Update anyway? (Y,N) ", "Y"));
  ASSERT_TRUE(run.waitForOutput("100% complete.\n", kRunTimeoutMs)) << run.output();
  const auto updated = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.waitForOutput("power cycle the switch.\n", kRunTimeoutMs)) << run.output();
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - updated);
  // The restart window is 13000 ms from the end of the update (the restart's own pauses
  // come before it); the upper bound only guards against a loop that never gives up.
  EXPECT_GE(waited.count(), 12500);
  EXPECT_LE(waited.count(), 30000);
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = singlePortFound("Sonarch60", "4.02") +
                               questionText(Comparison::Same, "Sonarch60", "4.02", "4.02", "Sonarch60", 'Y') +
                               progressText(image0_.header->firmwareLength) + std::string(kPowerCycle) +
                               std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image0_));
}

TEST_F(EndToEnd, RestartWindowCountsFromTheLastDspProgressMessage) {
  // Six progress messages 3 s apart keep the switch alive for 15 s, longer than the window;
  // only the silence after the last one ends the run.
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, kPort,
                       installedSwitch(0, "4.01", flashFile()) +
                           std::vector<std::string>{"--dsp-banks", "1", "--dsp-interval", "3000", "--no-ready"}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
  ASSERT_TRUE(run.waitForOutput("100% complete.\n", kRunTimeoutMs)) << run.output();
  const auto updated = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.waitForOutput("Bank = 1, Complete = 100%", kRunTimeoutMs)) << run.output();
  const auto lastProgress = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.waitForOutput("power cycle the switch.\n", kRunTimeoutMs)) << run.output();
  const auto ended = std::chrono::steady_clock::now();
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  EXPECT_GE(duration_cast<milliseconds>(lastProgress - updated).count(), 14000);
  EXPECT_GE(duration_cast<milliseconds>(ended - lastProgress).count(), 12500);
  EXPECT_LE(duration_cast<milliseconds>(ended - lastProgress).count(), 30000);
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = singlePortFound("Sonarch60", "4.01") +
                               questionText(Comparison::Newer, "Sonarch60", "4.01", "4.02", "Sonarch60", 'Y') +
                               progressText(image0_.header->firmwareLength) + dspText(1) +
                               std::string(kPowerCycle) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image0_));
}

TEST_F(EndToEnd, OlderImageIsInstalledAfterTheWarningIsConfirmed) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, kPort, installedSwitch(1, "4.03b", flashFile())));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  // Keys other than Y and N are ignored at the question.
  ASSERT_TRUE(answer(run, "OLDER version of firmware? (Y,N) ", "q1y"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected =
      singlePortFound("Sonarch60-2710", "4.03b") +
      questionText(Comparison::Older, "Sonarch60-2710", "4.03b", "4.02", "Sonarch60-2710", 'Y') +
      progressText(image1_.header->firmwareLength) + dspText(2) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image1_));
}

TEST_F(EndToEnd, DeclinedUpdateLeavesTheFlashAsItWas) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, kPort, installedSwitch(0, "4.01", flashFile())));
  const std::vector<std::uint8_t> before = readFile(flashFile());
  ASSERT_FALSE(before.empty());
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "n"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = singlePortFound("Sonarch60", "4.01") +
                               questionText(Comparison::Newer, "Sonarch60", "4.01", "4.02", "Sonarch60", 'N') +
                               std::string(kCanceled) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(readFile(flashFile()) == before) << "the flash changed although the update was declined";
}

TEST_F(EndToEnd, NoSwitchOnAnyPortOfTheScan) {
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {}, {}));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  std::string expected = startText();
  for (unsigned port = 1; port <= 16; ++port) {
    expected += portText(port, kCouldNotOpen);
  }
  expected += std::string(kNoneFound) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
}

TEST_F(EndToEnd, SilentPortInSinglePortModeIsReportedTwice) {
  // A port that opens but where nothing answers: the scan reports it, and the loop, which
  // single-port mode enters all the same, ends the run when the switch still does not answer.
  vlfwu_test::PseudoTerminal silent;
  ASSERT_TRUE(silent.ok()) << silent.error();
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {"5"}, {{5, silent.slavePath()}}));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = startText() + portText(5, kNoDevice) + "\n" +
                               "\nNo Valtrane device found on COM5.\n" + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
}

TEST_F(EndToEnd, ScanPassesASwitchNoImageFitsAndStopsAtTheOneTheSecondImageFits) {
  SimProcess unfit;
  ASSERT_TRUE(startSim(unfit, 2,
                       installedSwitch(0, "4.01", flashFile("unfit.bin")) +
                           std::vector<std::string>{"--set-pcb", "4", "--set-name", "Sonarch36"}));
  const std::vector<std::uint8_t> unfitBefore = readFile(flashFile("unfit.bin"));
  SimProcess fit;
  ASSERT_TRUE(startSim(fit, 3, installedSwitch(1, "4.01", flashFile("fit.bin"))));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {}, {{2, link(2)}, {3, link(3)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected =
      startText() + portText(1, kCouldNotOpen) + portText(2, kNoMatch) +
      portText(3, foundText("Sonarch60-2710", "4.01")) +
      questionText(Comparison::Newer, "Sonarch60-2710", "4.01", "4.02", "Sonarch60-2710", 'Y') +
      progressText(image1_.header->firmwareLength) + dspText(2) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  fit.stop();
  unfit.stop();
  EXPECT_TRUE(flashHolds(flashFile("fit.bin"), image1_));
  EXPECT_TRUE(readFile(flashFile("unfit.bin")) == unfitBefore) << "the switch that no image fits was changed";
}

TEST_F(EndToEnd, SwitchAlreadyInItsBootloaderIsIdentifiedFromItsTableAndUpdated) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, kPort,
                       installedSwitch(0, "4.01a", flashFile()) + std::vector<std::string>{"--state", "bootloader"}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = singlePortFound("Sonarch60", "4.01a") +
                               questionText(Comparison::Newer, "Sonarch60", "4.01a", "4.02", "Sonarch60", 'Y') +
                               progressText(image0_.header->firmwareLength) + dspText(2) +
                               std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image0_));
}

TEST_F(EndToEnd, CorruptedWriteToRamLineIsSentAgainAndTheUpdateSucceeds) {
  SimProcess sim;
  const std::string log = dir_.file("sim.log");
  ASSERT_TRUE(startSim(sim, kPort,
                       installedSwitch(0, "4.01", flashFile()) +
                           std::vector<std::string>{"--fault", "corrupt-write-line=30", "--log", log}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = singlePortFound("Sonarch60", "4.01") +
                               questionText(Comparison::Newer, "Sonarch60", "4.01", "4.02", "Sonarch60", 'Y') +
                               progressText(image0_.header->firmwareLength) + dspText(2) +
                               std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image0_));
  // The damage really happened and was answered: the switch asked for the block again.
  const std::vector<std::uint8_t> transcript = readFile(log);
  EXPECT_NE(std::string(transcript.begin(), transcript.end()).find("RESEND"), std::string::npos);
}

TEST_F(EndToEnd, WeakFlashCellGivesTheMismatchMessageAndTheRetryInTheSameRunSucceeds) {
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, kPort,
                       installedSwitch(0, "4.01", flashFile()) +
                           std::vector<std::string>{"--fault", "weak-cell-copy=3"}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
  ASSERT_TRUE(run.waitForOutput(kMismatch, kRunTimeoutMs)) << run.output();
  // The next pass finds the switch in its bootloader, whose firmware no longer passes the
  // table's check: it shows no version, and the question comes again.
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::uint32_t length = image0_.header->firmwareLength;
  const std::string expected = singlePortFound("Sonarch60", "4.01") +
                               questionText(Comparison::Newer, "Sonarch60", "4.01", "4.02", "Sonarch60", 'Y') +
                               progressUntilFailedBlock(length, 3) + std::string(kMismatch) +
                               questionText(Comparison::Newer, "Sonarch60", "None", "4.02", "Sonarch60", 'Y') +
                               progressText(length) + dspText(2) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image0_));
}

TEST_F(EndToEnd, PowerLossMidUpdateIsRepairedByASecondRun) {
  const std::uint32_t length = image0_.header->firmwareLength;
  {
    SimProcess sim;
    ASSERT_TRUE(startSim(sim, kPort,
                         installedSwitch(0, "4.01", flashFile()) +
                             std::vector<std::string>{"--fault", "power-loss-after-copy=10"}));
    ChildProcess run;
    ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
    ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
    const ChildProcess::Result result = finish(run);
    EXPECT_TRUE(endedNormally(result));
    const std::string expected = singlePortFound("Sonarch60", "4.01") +
                                 questionText(Comparison::Newer, "Sonarch60", "4.01", "4.02", "Sonarch60", 'Y') +
                                 progressUntilFailedBlock(length, 10) +
                                 "\n\nError 4: Lost the connection to the switch! Check cables and power.\n" +
                                 "\nNo Valtrane device found on COM3.\n" + std::string(kExitText);
    EXPECT_TRUE(sameTranscript(expected, result.output));
  }
  // Power comes back: a new simulator on the same flash. The head block was never written, so
  // the switch stays in its bootloader; its table is intact but no longer matches the firmware.
  SimProcess sim;
  ASSERT_TRUE(startSim(sim, kPort, {"--flash", flashFile(), "--dsp-interval", "40", "--boot-delay", "300"}));
  ChildProcess run;
  ASSERT_TRUE(startUtility(run, {std::to_string(kPort)}, {{kPort, link(kPort)}}));
  ASSERT_TRUE(answer(run, "(Y,N) ", "Y"));
  const ChildProcess::Result result = finish(run);
  EXPECT_TRUE(endedNormally(result));
  const std::string expected = singlePortFound("Sonarch60", "None") +
                               questionText(Comparison::Newer, "Sonarch60", "None", "4.02", "Sonarch60", 'Y') +
                               progressText(length) + dspText(2) + std::string(kExitText);
  EXPECT_TRUE(sameTranscript(expected, result.output));
  sim.stop();
  EXPECT_TRUE(flashHolds(flashFile(), image0_));
}

}  // namespace
}  // namespace vlfwu_e2e
