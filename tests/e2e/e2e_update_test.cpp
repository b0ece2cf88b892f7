// The built vlfwu against switch-sim over pseudo-terminals: whole runs compared with the
// console transcript they must print, and the switch's flash afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/common/e2e_harness.h"
#include "tests/common/pty.h"

namespace vlfwu_e2e {
namespace {

const std::string kS60 = "Sonarch60";
const std::string kS2710 = "Sonarch60-2710";

std::uint32_t length(int image) { return embeddedImage(image).header->firmwareLength; }
std::string at3(std::string_view outcome) { return portText(kPort, outcome); }
// Found by the scan at COM3, and the question with the answer typed.
std::string asked(Comparison comparison, const std::string& name, const char* version, char answer) {
  return at3(foundText(name, version)) + questionText(comparison, name, version, answer);
}
std::string scanOf16(unsigned port, std::string_view outcome) {
  std::string text;
  for (unsigned p = 1; p <= 16; ++p) {
    text += portText(p, p == port ? outcome : kCouldNotOpen);
  }
  return text + kNoneFound;
}
// What the scan says in single-port mode of a switch without a table, which the loop explains.
const std::string kFoundWithoutTable = "A Valtrane device was found.";
std::string tableMissing() {
  return "\nThe switch on COM3 is waiting in its bootloader and holds no valid parameter table;"
         "\nits last firmware update was probably interrupted. Its model, PCB revision and"
         "\nfirmware version cannot be read.\n";
}
std::string repairOffer(const std::string& name, char answer) {
  return "\nThe " + name + " firmware of this program (version 4.02) fits this switch's flash layout." +
         "\nInstall it only if the switch is a " + name + ": its identity cannot be checked.\n" +
         "\nInstall the " + name + " firmware? (Y,N) " + answer + "\n";
}
std::string lostAfter(unsigned errorNumber) {
  return "\n\nError " + std::to_string(errorNumber) +
         ": Lost the connection to the switch! Check cables and power.\n\nNo Valtrane device found on COM3.\n";
}

class Runs : public EndToEnd, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Runs, TranscriptAndFlash) { runScenario(GetParam()); }

const Scenario kScenarios[] = {
    // The restarted switch's DSP progress and "=P" end the run at once.
    {"NewerImageIsInstalled", 0, "4.01", {}, {"Y"},
     [] { return asked(Comparison::Newer, kS60, "4.01", 'Y') + updateText(length(0), 2); }, 0},
    {"SameVersionUpdatedAnywayThenSilence", 0, "4.02", {"--dsp-banks", "0", "--no-ready"}, {"Y"},
     [] { return asked(Comparison::Same, kS60, "4.02", 'Y') + updateText(length(0), 0) + kPowerCycle; }, 0, false,
     kPort, "100% complete.\n"},
    // Progress 3 s apart keeps the switch alive past the window: it counts from the last one.
    {"RestartWindowCountsFromTheLastDspProgress", 0, "4.01",
     {"--dsp-banks", "1", "--dsp-interval", "3000", "--no-ready"}, {"Y"},
     [] { return asked(Comparison::Newer, kS60, "4.01", 'Y') + updateText(length(0), 1) + kPowerCycle; }, 0, false,
     kPort, "Bank = 1, Complete = 100%"},
    // Keys other than Y and N are ignored at the question.
    {"OlderImageAfterTheWarning", 1, "4.03b", {}, {"q1y"},
     [] { return asked(Comparison::Older, kS2710, "4.03b", 'Y') + updateText(length(1), 2); }, 1},
    {"DeclinedUpdate", 0, "4.01", {}, {"n"}, [] { return asked(Comparison::Newer, kS60, "4.01", 'N') + kCanceled; }},
    {"SwitchAlreadyInItsBootloader", 0, "4.01a", {"--state", "bootloader"}, {"Y"},
     [] { return asked(Comparison::Newer, kS60, "4.01a", 'Y') + updateText(length(0), 2); }, 0},
    // The switch asks for the damaged block again.
    {"CorruptedWriteToRamLine", 0, "4.01", {"--fault", "corrupt-write-line=30"}, {"Y"},
     [] { return asked(Comparison::Newer, kS60, "4.01", 'Y') + updateText(length(0), 2); }, 0, false, kPort, nullptr,
     "RESEND"},
    // The LPC18xx echoes a line end as CR LF LF; the echo stays on for the whole session.
    {"LpcEighteenEchoVariant", 0, "4.01", {"--echo-crlflf"}, {"Y"},
     [] { return asked(Comparison::Newer, kS60, "4.01", 'Y') + updateText(length(0), 2); }, 0, false, kPort, nullptr,
     "\\r\\n\\n"},
    // The next pass finds the switch in its bootloader with a firmware its table does not
    // vouch for: no version, and the question again.
    {"WeakFlashCellThenRetryInTheSameRun", 0, "4.01", {"--fault", "weak-cell-copy=3"}, {"Y", "Y"},
     [] {
       return asked(Comparison::Newer, kS60, "4.01", 'Y') + progressText(length(0), 3) + kMismatch +
              questionText(Comparison::Newer, kS60, "None", 'Y') + updateText(length(0), 2);
     },
     0},
    // A table with an empty name: the found line and the question both use the product
    // table's name.
    {"TableWithoutAName", 0, "4.01", {"--set-name", "", "--state", "bootloader"}, {"n"},
     [] { return asked(Comparison::Newer, kS60, "4.01", 'N') + kCanceled; }},
    {"ProductUnknownToTheProductTable", 0, "4.01", {"--set-model", "90", "--set-name", "Sonarch99"}, {},
     [] { return at3(kNoMatch) + "\n\nThe device on COM3 not compatible with this update.\nProduct name: \"Sonarch99\"\n"; }},
    {"KnownProductThatNoImageFits", 0, "4.01", {"--set-pcb", "4", "--set-name", "Sonarch36"}, {},
     [] {
       return at3(kNoMatch) + "\n\nThis program has no firmware for the Sonarch36 (model 86, PCB revision 4) on COM3.\n"
                              "The device was not updated.\n";
     }},
    // A 256 KB switch: only the second image keeps the table where it has it. End of input is N.
    {"RepairOfferDeclinedByEndOfInput", 1, "4.01", {"--erase-table", "--state", "bootloader"}, {"x", ""},
     [] { return at3(kFoundWithoutTable) + "\n" + tableMissing() + repairOffer(kS2710, 'N') + kCanceled; }},
    {"ScanPassesASwitchWithoutParameterTable", 0, "4.01", {"--erase-table", "--state", "bootloader"}, {},
     [] { return scanOf16(kPort, kNoMatch); }, -1, true},
    {"NoSwitchOnAnyPort", -1, "", {}, {}, [] { return scanOf16(0, ""); }, -1, true},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, Runs, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, SilentPortInSinglePortModeIsReportedByTheScanAndTheLoop) {
  vlfwu_test::PseudoTerminal silent;
  ASSERT_TRUE(silent.ok()) << silent.error();
  expectRun({"5"}, {{5, silent.slavePath()}}, {},
            portText(5, kNoDevice) + "\n\nNo Valtrane device found on COM5.\n");
}

TEST_F(EndToEnd, ScanPassesASwitchNoImageFitsAndStopsAtTheOneTheSecondImageFits) {
  ASSERT_TRUE(startSim(2, 0, "4.01", {"--set-pcb", "4", "--set-name", "Sonarch36"}));
  const std::vector<std::uint8_t> unfitBefore = readFile(flash(2));
  ASSERT_TRUE(startSim(3, 1, "4.01"));
  expectRun({}, {{2, link(2)}, {3, link(3)}}, {"Y"},
            portText(1, kCouldNotOpen) + portText(2, kNoMatch) + portText(3, foundText(kS2710, "4.01")) +
                questionText(Comparison::Newer, kS2710, "4.01", 'Y') + updateText(length(1), 2));
  stopSims();
  EXPECT_EQ(flashMismatch(readFile(flash(3)), embeddedImage(1)), "");
  EXPECT_TRUE(readFile(flash(2)) == unfitBefore) << "the switch that no image fits was changed";
}

// Power comes back: a new simulator on the same flash file, running whatever it holds.
TEST_F(EndToEnd, PowerLossMidUpdateIsRepairedByASecondRun) {
  ASSERT_TRUE(startSim(kPort, 0, "4.01", {"--fault", "power-loss-after-copy=10"}));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"Y"},
            asked(Comparison::Newer, kS60, "4.01", 'Y') + progressText(length(0), 10) + lostAfter(4));
  stopSims();
  // The head block was never written: the switch stays in its bootloader, with a table that
  // no longer vouches for the firmware.
  ASSERT_TRUE(startSim(kPort, -1, ""));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"Y"},
            asked(Comparison::Newer, kS60, "None", 'Y') + updateText(length(0), 2));
  stopSims();
  EXPECT_EQ(flashMismatch(readFile(flash(kPort)), embeddedImage(0)), "");
}

TEST_F(EndToEnd, PowerLossBeforeTheTableIsWrittenIsRepairedThroughTheOffer) {
  ASSERT_TRUE(startSim(kPort, 0, "4.01", {"--fault", "power-loss-before-table-write"}));
  std::string progress = progressText(length(0));
  progress.erase(progress.rfind('\r'));
  // The erase was answered; the blank check of its sector then finds no switch.
  expectRun({"3"}, {{kPort, link(kPort)}}, {"Y"},
            asked(Comparison::Newer, kS60, "4.01", 'Y') + progress + lostAfter(4));
  stopSims();
  ASSERT_TRUE(startSim(kPort, -1, ""));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"y"},
            at3(kFoundWithoutTable) + "\n" + tableMissing() + repairOffer(kS60, 'Y') + updateText(length(0), 2));
  stopSims();
  EXPECT_EQ(flashMismatch(readFile(flash(kPort)), embeddedImage(0)), "");
}

// A script answers from a pipe or a file (printf 'Y' | vlfwu 3, vlfwu 3 < answers.txt): its
// answers wait in the input before any question is on screen, and each answers the next
// question in turn; none is dropped as keys typed ahead at a terminal are. The end of the
// input answers the final prompt.
class ScriptedAnswers : public EndToEnd {
 protected:
  void TearDown() override {
    if (runInput_ >= 0) {
      close(runInput_);
    }
    EndToEnd::TearDown();
  }
  // Standard input: a pipe that holds answers and is closed, as printf's output is.
  void pipeHolding(const std::string& answers) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(write(ends[1], answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
    close(ends[1]);
    runInput_ = ends[0];
  }
  // Standard input: a file that holds answers.
  void fileHolding(const std::string& answers) {
    const std::string path = dir_ + "/answers.txt";
    {
      std::ofstream(path, std::ios::binary) << answers;
    }
    runInput_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(runInput_, 0);
  }
};

TEST_F(ScriptedAnswers, YesFromAPipeUpdatesTheSwitch) {
  pipeHolding("Y");
  runScenario({"PipedYes", 0, "4.01", {}, {},
               [] { return asked(Comparison::Newer, kS60, "4.01", 'Y') + updateText(length(0), 2); }, 0});
}

// Keys that answer nothing are passed over in the file too; the 'y' answers the repair offer.
TEST_F(ScriptedAnswers, YesFromAFileAnswersTheRepairOffer) {
  fileHolding("x1y");
  runScenario({"FiledYes", 1, "4.01", {"--erase-table", "--state", "bootloader"}, {},
               [] { return at3(kFoundWithoutTable) + "\n" + tableMissing() + repairOffer(kS2710, 'Y') +
                           updateText(length(1), 2); },
               1});
}

// At a terminal, keys typed before a question was on screen do not answer it: the terminal did
// not echo them, and the technician never saw a question they could answer.
class TypedAhead : public EndToEnd {
 protected:
  // Starts vlfwu with the slave of keyboard as its standard input.
  void startAtTerminal(ChildProcess& run, vlfwu_test::PseudoTerminal& keyboard, const std::vector<std::string>& args,
                       const Ports& ports) {
    ASSERT_TRUE(keyboard.ok()) << keyboard.error();
    runInput_ = open(keyboard.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(runInput_, 0);
    const bool started = launch(run, args, ports);
    close(runInput_);
    runInput_ = -1;
    ASSERT_TRUE(started) << run.error();
  }
  // Runs vlfwu with a terminal as its keyboard; typeAt: when that text shows, typeAhead is
  // typed; at the question nothing may answer for a while, then "n" is typed.
  void expectUnanswered(const std::vector<std::string>& args, const Ports& ports, const std::string& typeAt,
                        const std::string& expected) {
    vlfwu_test::PseudoTerminal keyboard;
    ChildProcess run;
    startAtTerminal(run, keyboard, args, ports);
    ASSERT_TRUE(run.waitForOutput(typeAt, timeoutMs_)) << run.output();
    ASSERT_TRUE(keyboard.write("yy"));
    ASSERT_TRUE(run.waitForOutput("(Y,N) ", timeoutMs_)) << run.output();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(run.output().ends_with("(Y,N) ")) << "answered by a key typed before the question:\n"
                                                   << run.output();
    ASSERT_TRUE(keyboard.write("n"));
    ASSERT_TRUE(run.waitForOutput("Press any key to exit...", timeoutMs_)) << run.output();
    ASSERT_TRUE(keyboard.write("x"));
    const ChildProcess::Result result = run.wait(timeoutMs_);
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result.output;
    EXPECT_TRUE(sameTranscript(startText() + expected + kExitText, result.output));
  }
};

// "x" typed while the switch is being updated does not answer the final prompt either.
TEST_F(TypedAhead, KeysTypedDuringTheUpdateDoNotAnswerTheFinalPrompt) {
  ASSERT_TRUE(startSim(kPort, 0, "4.01"));
  vlfwu_test::PseudoTerminal keyboard;
  ChildProcess run;
  startAtTerminal(run, keyboard, {"3"}, {{kPort, link(kPort)}});
  ASSERT_TRUE(run.waitForOutput("(Y,N) ", timeoutMs_)) << run.output();
  ASSERT_TRUE(keyboard.write("y"));
  ASSERT_TRUE(run.waitForOutput("Updating firmware:", timeoutMs_)) << run.output();
  ASSERT_TRUE(keyboard.write("x"));
  ASSERT_TRUE(run.waitForOutput("Press any key to exit...", timeoutMs_)) << run.output();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(run.running()) << "the final prompt was answered by a key typed during the update";
  ASSERT_TRUE(keyboard.write("k"));
  const ChildProcess::Result result = run.wait(timeoutMs_);
  EXPECT_TRUE(result.exited && result.exitCode == 1) << result.output;
  EXPECT_TRUE(sameTranscript(startText() + asked(Comparison::Newer, kS60, "4.01", 'Y') + updateText(length(0), 2) +
                                 kExitText,
                             result.output));
  stopSims();
  EXPECT_EQ(flashMismatch(readFile(flash(kPort)), embeddedImage(0)), "");
}

// "yy" typed while the scan tries a silent COM1 for seconds.
TEST_F(TypedAhead, KeysTypedDuringTheScanDoNotAnswerTheUpdateQuestion) {
  vlfwu_test::PseudoTerminal silent;
  ASSERT_TRUE(silent.ok()) << silent.error();
  ASSERT_TRUE(startSim(2, 0, "4.01"));
  const std::vector<std::uint8_t> before = readFile(flash(2));
  expectUnanswered({}, {{1, silent.slavePath()}, {2, link(2)}}, "\nCOM1: ",
                   portText(1, kNoDevice) + portText(2, foundText(kS60, "4.01")) +
                       questionText(Comparison::Newer, kS60, "4.01", 'N') + kCanceled);
  stopSims();
  EXPECT_TRUE(readFile(flash(2)) == before) << "the flash changed";
}

// "yy" typed as the search starts, before the loop explains a switch without a parameter table.
TEST_F(TypedAhead, KeysTypedBeforeTheRepairOfferDoNotAnswerIt) {
  ASSERT_TRUE(startSim(kPort, 1, "4.01", {"--erase-table", "--state", "bootloader"}));
  const std::vector<std::uint8_t> before = readFile(flash(kPort));
  expectUnanswered({"3"}, {{kPort, link(kPort)}}, "Firmware validated.\nFirmware validated.\n",
                   at3(kFoundWithoutTable) + "\n" + tableMissing() + repairOffer(kS2710, 'N') + kCanceled);
  stopSims();
  EXPECT_TRUE(readFile(flash(kPort)) == before) << "the flash changed";
}

}  // namespace
}  // namespace vlfwu_e2e
