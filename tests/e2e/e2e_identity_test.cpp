// Runs against a switch whose identity changes while the run is connected, which switch-sim
// cannot do: refusals in the console loop, and a switch that answers only after the scan.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/common/e2e_harness.h"
#include "tests/common/pty.h"

namespace vlfwu_e2e {
namespace {

// A switch's firmware reduced to identification, on a real pseudo-terminal: at 19200 baud it
// acknowledges the probe "^P$" (after ignoring the first few) and answers each identity
// request "^V$" with the next of its identity lines (the last one repeats).
class ScriptedFirmware {
 public:
  ScriptedFirmware(std::vector<std::string> identities, int ignoredProbes = 0)
      : identities_(std::move(identities)), ignoredProbes_(ignoredProbes), thread_([this] { serve(); }) {}
  ~ScriptedFirmware() {
    stopping_ = true;
    thread_.join();
  }
  const std::string& path() const { return pty_.slavePath(); }

 private:
  void serve() {
    std::string pending;
    std::size_t answered = 0;
    for (int probes = 0; !stopping_;) {
      pending += pty_.read(64, 5);
      for (std::size_t at; (at = std::min(pending.find("^P$"), pending.find("^V$"))) != std::string::npos;) {
        const bool probe = pending[at + 1] == 'P';
        pending.erase(0, at + 3);
        // Bytes sent at another rate never reach the firmware as the text it knows.
        if (pty_.slaveBaud() != 19200) {
          continue;
        }
        if (probe && ++probes > ignoredProbes_) {
          pty_.write("^+$");
        } else if (!probe) {
          pty_.write(identities_[std::min(answered++, identities_.size() - 1)] + "$");
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
  std::thread thread_;
};

std::string identity(const std::string& name, const std::string& version, int model, int pcb) {
  return "^=V \"" + name + "\" " + version + "," + std::to_string(model) + "," + std::to_string(pcb) + ",4101";
}

// Found as a Sonarch60 by the scan (which reads it twice alike), then answering as another
// switch: the loop refuses once and the run ends through the key prompt.
TEST_F(EndToEnd, SwitchThatChangedIsRefusedOnceAndTheRunEnds) {
  const std::string closing =
      "\nPlease check the Valtrane website for the proper firmware for your product,\n"
      "or for a more recent version of this program: https://www.valtrane.com/support\n\n";
  const struct {
    std::string version, later, refusal;
  } cases[] = {
      {"4.01", identity("Sonarch60-2710", "4.01", 100, 5),
       "\nAttempting to update device: \"Sonarch60-2710\".\nNew firmware is for device:  \"Sonarch60\".\n"
       "\nIncompatible firmware, device not updated.\n"},
      {"4.01b", identity("Sonarch36", "4.01b", 86, 4),
       "\nUnsupported PCB Revision: Rev 4.\nThis firmware won't work on this version of the Sonarch36,\n"
       "device not updated.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.later);
    ScriptedFirmware firmware({identity("Sonarch60", c.version, 86, 5), identity("Sonarch60", c.version, 86, 5), c.later});
    expectRun({"3"}, {{kPort, firmware.path()}}, {},
              portText(kPort, foundText("Sonarch60", c.version)) + c.refusal + closing);
  }
}

// An identity line counts when two reads in a row agree and it came whole: a Sonarch36 whose
// first answer took a bit error ('4' read as '5') is not taken for a Sonarch60, and a console
// that answers only with a byte no identity holds is told by the line it sent, not as absent.
TEST_F(EndToEnd, IdentityLineCountsOnlyWhenTwoReadsAgreeAndItCameWhole) {
  {
    ScriptedFirmware firmware({identity("Sonarch36", "4.01", 86, 5), identity("Sonarch36", "4.01", 86, 4)});
    expectRun({"3"}, {{kPort, firmware.path()}}, {},
              portText(kPort, kNoMatch) + "\n\nThis program has no firmware for the Sonarch36 (model "
              "86, PCB revision 4) on COM3.\nThe device was not updated.\n");
  }
  const std::string spoilt = identity("Sonarch\x03" "60", "4.01", 86, 5);
  const std::string shown = std::string(1, '"').append(identity("Sonarch60", "4.01", 86, 5)).append(1, '"');
  ScriptedFirmware firmware({spoilt});
  expectRun({"3"}, {{kPort, firmware.path()}}, {},
            portText(kPort, "A Valtrane device answered, but its identity line arrived garbled: " + shown +
                                ".") +
                "\n\nThe switch on COM3 answers, but its identity line arrived garbled every time it\nwas "
                "asked: " + shown + ".\nCheck the cable and its connections, then run the program again.\n");
}

// Single-port mode enters the loop although the scan heard nothing (its two probes at 19200
// baud go unanswered); when the switch then answers, the loop selects the image by the scan's
// rule before it asks. The switch sends no name: the product table names it.
TEST_F(EndToEnd, SwitchThatAnswersOnlyAfterTheScanGetsAnImageInTheLoop) {
  ScriptedFirmware firmware({identity("", "3.10", 86, 5)}, 2);
  expectRun({"3"}, {{kPort, firmware.path()}}, {"N"},
            portText(kPort, kNoDevice) + "\n\n" + foundText("Sonarch60", "3.10") +
                questionText(Comparison::Newer, "Sonarch60", "3.10", 'N') + kCanceled);
}

}  // namespace
}  // namespace vlfwu_e2e
