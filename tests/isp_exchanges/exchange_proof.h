#pragma once
// One exchange of the utility with the ISP bootloader, tried against the simulated chip once
// for every answer the chip can give it and, for each, once for every single fault on the
// line both ways (the command as the chip receives it, its echo, every reply line): any byte
// lost, alone or in a run of up to 16 (an adapter's overrun); in the chip's reply lines any
// byte replaced by any other, and any byte inserted before any byte or behind the line;
// elsewhere any bit flipped, and control bytes, digits, a space, a letter, DEL, 0x80 and 0xFF
// inserted. A routine may fail where the line spoilt its exchange; it may report success only
// when the chip did exactly what was asked.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chip_link.h"
#include "sim/switch_sim.h"

namespace exchanges {

// What the host routine concluded.
struct Verdict {
  bool success;
  std::string text;  // the routine and its result, as a line of the report shows them
  // What the host now takes for the chip's data, success or not (a failed read keeps the
  // blocks it counts as received); it must be the chip's.
  std::vector<std::uint8_t> believed;
};

// One way the chip answers the exchange.
struct Reply {
  std::string name;
  sim::Options options;
  bool succeeds;  // whether the exchange, on a clean line, is to end in success
  std::function<void(ChipLink&)> arrange;  // a change to the chip's memories, or empty
};

struct Exchange {
  // The chip made ready for the exchange (synchronised, unlocked, ...), through the link.
  std::function<void(ChipLink&)> ready;
  int hostBaud;  // the rate the host's port is set to when the routine is called
  // Calls the host routine.
  std::function<Verdict(ChipLink&)> run;
  // Why a success, or the data a failure leaves believed, is not true ("" when the chip did
  // exactly what was asked, and the data believed is the chip's).
  std::function<std::string(ChipLink&, const Verdict&)> untrue;
  // Which exchange of the protocol a byte belongs to: the host line it is part of or answers
  // (line ends included), and for the chip's bytes which of the lines answering it (-1 for
  // the host's own bytes).
  // A byte whose part is empty is proven by an exchange of its own and takes no fault here.
  std::function<std::string(const std::string& hostLine, int replyLine)> part;
};

// Counts by part of the protocol, for the report.
struct PartTotals {
  std::string part;
  long cases = 0;
  long falseSuccesses = 0;
  std::vector<std::string> replies;
};

// Runs the exchange for every reply and every fault; reports the first few false successes
// of each part as test failures, with the reply, the fault and the verdict. Adds to totals.
void proveExchange(const Exchange& exchange, const std::vector<Reply>& replies,
                   std::vector<PartTotals>* totals);
// Prints the totals and fails for every part with a false success. Returns how often the line
// readers slept for bytes still on the wire in these cases: the chip's bytes come at once here,
// so they sleep only when a fault left them short of a line, or of a block's echo, as expected.
long reportTotals(const char* title, const std::vector<PartTotals>& totals);

// Options of a chip that answers as documented, and of one that answers commands of one
// letter (the from-th and every later one) with code, without acting on them.
sim::Options answering();
sim::Options refusing(char letter, int code, int from = 1);

// The command line as the chip received it, answered with 0; or why not.
std::string answeredZero(const ChipLink& link, const std::string& command);

}  // namespace exchanges
