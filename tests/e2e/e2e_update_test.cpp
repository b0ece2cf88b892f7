// The built vlfwu against switch-sim over pseudo-terminals: whole runs compared with the
// console transcript they must print, and the switch's flash afterwards.
#include <gtest/gtest.h>

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
  // The erase was answered; the table's block then finds no switch.
  expectRun({"3"}, {{kPort, link(kPort)}}, {"Y"},
            asked(Comparison::Newer, kS60, "4.01", 'Y') + progress + lostAfter(1));
  stopSims();
  ASSERT_TRUE(startSim(kPort, -1, ""));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"y"},
            at3(kFoundWithoutTable) + "\n" + tableMissing() + repairOffer(kS60, 'Y') + updateText(length(0), 2));
  stopSims();
  EXPECT_EQ(flashMismatch(readFile(flash(kPort)), embeddedImage(0)), "");
}

}  // namespace
}  // namespace vlfwu_e2e
