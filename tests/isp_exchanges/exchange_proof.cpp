#include "exchange_proof.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>

#include "isp/device_line.h"
#include "isp/line_policy.h"
#include "transport/serial.h"

namespace exchanges {

namespace {

// Inserted where not every value is (the host's lines, the echo): what a line gains or loses
// (XON, XOFF, CR, LF, NUL, ESC), a number's digits and space, a letter, DEL, the top bit's noise.
constexpr std::uint8_t kSomeBytes[] = {0x11, 0x13, '\r', '\n', 0x00, 0x1B, '0', '1', '2', '3', '4',
                                       '5', '6', '7', '8', '9', ' ', 'A', 0x7F, 0x80, 0xFF};
constexpr std::size_t kLongestRunLost = 16;  // an adapter's overrun drops a burst
constexpr int kFailuresShownPerPart = 4;

std::string byteName(std::uint8_t byte) {
  switch (byte) {
    case 0x11: return "XON";
    case 0x13: return "XOFF";
    case '\r': return "CR";
    case '\n': return "LF";
    case 0x00: return "NUL";
    case 0x1B: return "ESC";
    default: {
      char text[16];
      const bool shown = byte >= 0x20 && byte < 0x7F;
      std::snprintf(text, sizeof text, shown ? "0x%02X '%c'" : "0x%02X", byte, byte);
      return text;
    }
  }
}

std::string quoted(const std::string& bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char text[8];
      std::snprintf(text, sizeof text, "\\x%02X", byte);
      out += text;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The lines of one direction's bytes: a line ends after LF, or after a CR that no LF follows
// (the utility ends some lines with CR alone), or at the "$" of a console frame "^...$".
struct Lines {
  std::vector<std::string> text;
  std::vector<int> lineOf;   // for every byte, its line
  std::vector<int> startOf;  // for every line, its first byte
};

Lines splitLines(const std::vector<std::uint8_t>& bytes) {
  Lines lines;
  std::string current;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (current.empty()) {
      lines.startOf.push_back(static_cast<int>(i));
    }
    current.push_back(static_cast<char>(bytes[i]));
    lines.lineOf.push_back(static_cast<int>(lines.text.size()));
    const bool end = bytes[i] == '\n' || (bytes[i] == '$' && current[0] == '^') ||
                     (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n'));
    if (end) {
      lines.text.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) {
    lines.text.push_back(current);
  }
  return lines;
}

// The bytes of a clean run, and the part of the protocol each belongs to.
struct CleanRun {
  std::vector<std::uint8_t> toChip;
  std::vector<std::uint8_t> toHost;
  Lines chipLines;  // of toChip: the host's lines
  Lines hostLines;  // of toHost: the chip's lines
  std::vector<std::string> partToChip;
  std::vector<std::string> partToHost;
  std::vector<bool> replyToHost;  // for every byte to the host, whether it is of a reply line
};

CleanRun readCleanRun(const ChipLink& link, const Exchange& exchange) {
  CleanRun run;
  run.toChip = link.sentToChip();
  run.toHost = link.sentToHost();
  run.chipLines = splitLines(run.toChip);
  run.hostLines = splitLines(run.toHost);
  for (std::size_t i = 0; i < run.toChip.size(); ++i) {
    run.partToChip.push_back(exchange.part(run.chipLines.text[run.chipLines.lineOf[i]], -1));
  }
  // Every line of the chip answers the host line whose byte it followed; the n-th line that
  // answers one host line is its reply line n (its echo included).
  std::vector<int> causeOfLine;
  std::vector<int> nthOfLine;
  for (std::size_t line = 0; line < run.hostLines.text.size(); ++line) {
    const std::size_t cause = link.causeOfByteToHost()[run.hostLines.startOf[line]];
    const int hostLine = cause == 0 ? -1 : run.chipLines.lineOf[cause - 1];
    int nth = 0;
    for (std::size_t earlier = 0; earlier < line; ++earlier) {
      nth += causeOfLine[earlier] == hostLine ? 1 : 0;
    }
    causeOfLine.push_back(hostLine);
    nthOfLine.push_back(nth);
  }
  for (std::size_t i = 0; i < run.toHost.size(); ++i) {
    const int line = run.hostLines.lineOf[i];
    const int hostLine = causeOfLine[line];
    const std::string answered = hostLine < 0 ? std::string() : run.chipLines.text[hostLine];
    run.partToHost.push_back(exchange.part(answered, nthOfLine[line]));
    // Reply line 0 is the echo, if the chip has its echo on and it repeats the host's line.
    run.replyToHost.push_back(nthOfLine[line] > 0 || run.hostLines.text[line] != answered);
  }
  return run;
}

std::string describe(const WireFault& fault, const CleanRun& run) {
  const bool toChip = fault.way == Way::ToChip;
  const auto& bytes = toChip ? run.toChip : run.toHost;
  const Lines& lines = toChip ? run.chipLines : run.hostLines;
  const int line = lines.lineOf[fault.at];
  // A line that comes more than once (a command sent again, a probe) is named by its number.
  int same = 0;
  int earlier = 0;
  for (int other = 0; other < static_cast<int>(lines.text.size()); ++other) {
    same += lines.text[other] == lines.text[line] ? 1 : 0;
    earlier += other < line && lines.text[other] == lines.text[line] ? 1 : 0;
  }
  const std::string which = same == 1 ? std::string() : " (number " + std::to_string(earlier + 1) + ")";
  const std::string where = std::string(toChip ? "to the chip" : "to the host") + ", byte " +
                            std::to_string(fault.at - lines.startOf[line]) + " of " +
                            quoted(lines.text[line]) + which;
  const std::string way = where.substr(0, where.find(','));
  const std::string at = where.substr(where.find(',') + 1);
  char text[64];
  switch (fault.kind) {
    case WireFault::Kind::Flip:
      std::snprintf(text, sizeof text, " arrives with bit %d flipped (0x%02X as 0x%02X)", fault.bit,
                    bytes[fault.at], bytes[fault.at] ^ (1u << fault.bit));
      return where + text;
    case WireFault::Kind::Replace:
      return byteName(bytes[fault.at]) + " replaced by " + byteName(fault.byte) + " " + way + ":" + at;
    case WireFault::Kind::Insert:
      return byteName(fault.byte) + " inserted " + way + (fault.after ? " after" : " before") + at +
             (fault.after ? ", the last byte" : "");
    case WireFault::Kind::Lose:
      if (fault.count > 1) {
        return "run of " + std::to_string(fault.count) + " bytes " +
               quoted(std::string(bytes.begin() + fault.at, bytes.begin() + fault.at + fault.count)) +
               " lost " + way + ", from" + at;
      }
      return byteName(bytes[fault.at]) + " lost " + way + ":" + at;
    case WireFault::Kind::None:
      break;
  }
  return "no fault";
}

// Every single fault on the bytes of a clean run: each byte lost, alone or with up to 15 that
// follow it; in the chip's reply lines each byte replaced by every other value, and every
// value inserted before each byte and behind each line; elsewhere each bit flipped, and
// kSomeBytes inserted before each byte and behind the last byte to the host.
std::vector<WireFault> faultsFor(const CleanRun& run) {
  using Kind = WireFault::Kind;
  std::vector<WireFault> faults;
  for (Way way : {Way::ToChip, Way::ToHost}) {
    const auto& bytes = way == Way::ToChip ? run.toChip : run.toHost;
    const std::size_t size = bytes.size();
    auto reply = [&](std::size_t at) { return way == Way::ToHost && at < size && run.replyToHost[at]; };
    const std::size_t ends = way == Way::ToHost && size > 0 ? size + 1 : size;  // and behind the last
    for (std::size_t at = 0; at < ends; ++at) {
      const bool every = reply(at) || (at > 0 && reply(at - 1));
      for (int value = 0; value < 256; ++value) {
        const auto byte = static_cast<std::uint8_t>(value);
        if (every || std::find(std::begin(kSomeBytes), std::end(kSomeBytes), byte) != std::end(kSomeBytes)) {
          faults.push_back(WireFault{.kind = Kind::Insert, .way = way, .at = at < size ? at : size - 1,
                                     .byte = byte, .after = at == size});
        }
        if (reply(at) && byte != bytes[at]) {
          faults.push_back(WireFault{.kind = Kind::Replace, .way = way, .at = at, .byte = byte});
        }
      }
      for (int bit = 0; at < size && !reply(at) && bit < 8; ++bit) {
        faults.push_back(WireFault{.kind = Kind::Flip, .way = way, .at = at, .bit = bit});
      }
      for (std::size_t count = 1; count <= kLongestRunLost && at + count <= size; ++count) {
        faults.push_back(WireFault{.kind = Kind::Lose, .way = way, .at = at, .count = count});
      }
    }
  }
  return faults;
}

// Sleeps the host took for bytes still on the wire, since the last report.
long wireSleeps = 0;

struct Outcome {
  Verdict verdict;
  std::string untrue;
};

// The chip's memories as at power-on with an erased flash: one of each bank size, reused.
// The flash is erased only when asked: the chip changes it only by an erase or a copy, which
// it counts, so after a case whose chip did neither, it holds what ready and arrange store.
sim::Memory& blankMemory(bool bank256K, bool eraseFlash) {
  static sim::Memory banks512K(512 * 1024);
  static sim::Memory banks256K(256 * 1024);
  sim::Memory& memory = bank256K ? banks256K : banks512K;
  if (eraseFlash) {
    memory.eraseAll();
  }
  memory.clearRam();
  return memory;
}

// Whether the chip of the last case erased or copied.
bool flashWritten = true;

Outcome runCase(const Exchange& exchange, const Reply& reply, const WireFault& fault,
                CleanRun* clean) {
  // A reply's first case, its clean run, begins with an erased flash.
  ChipLink link(reply.options, blankMemory(reply.options.bank256K, flashWritten || clean != nullptr));
  setActiveLink(&link);
  exchange.ready(link);
  if (reply.arrange) {
    reply.arrange(link);
  }
  comOpen(&devicePort, 1, exchange.hostBaud);
  currentBaud = exchange.hostBaud;
  devFlushInput();  // as the driver does after opening a port: nothing of an earlier case is held
  lineBudgetEnd();  // no update runs, and no record of earlier cases' blocks counts
  link.begin(fault);
  Outcome outcome{exchange.run(link), std::string()};
  wireSleeps += link.microsecondSleeps();
  flashWritten = link.flashWritten();
  if (outcome.verdict.success || !outcome.verdict.believed.empty()) {
    outcome.untrue = exchange.untrue(link, outcome.verdict);
  }
  if (clean != nullptr) {
    *clean = readCleanRun(link, exchange);
  }
  comClose(&devicePort);
  currentBaud = 0;
  setActiveLink(nullptr);
  return outcome;
}

PartTotals& totalsOf(std::vector<PartTotals>* totals, const std::string& part) {
  for (PartTotals& t : *totals) {
    if (t.part == part) {
      return t;
    }
  }
  totals->push_back(PartTotals{part, 0, 0, {}});
  return totals->back();
}

// The ISP code tells the console about a read that timed out; thousands of cases would bury
// the report in those lines, so standard output is set aside while the cases run.
class ConsoleAside {
 public:
  ConsoleAside() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && null >= 0) {
      dup2(null, STDOUT_FILENO);
    }
    if (null >= 0) {
      close(null);
    }
  }
  ~ConsoleAside() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  ConsoleAside(const ConsoleAside&) = delete;
  ConsoleAside& operator=(const ConsoleAside&) = delete;

 private:
  int saved_;
};

}  // namespace

sim::Options answering() {
  sim::Options options;
  options.blank = true;
  return options;
}

sim::Options refusing(char letter, int code, int from) {
  sim::Options options = answering();
  options.faults.refuseLetter = letter;
  options.faults.refuseFrom = from;
  options.faults.refuseTimes = 1000;  // every one: a retry meets the same refusal
  options.faults.refuseCode = code;
  return options;
}

std::string answeredZero(const ChipLink& link, const std::string& command) {
  std::string answered;
  for (const Answer& a : link.answers()) {
    if (a.command == command && a.code == 0) {
      return std::string();
    }
    answered += (answered.empty() ? "" : ", ") + quoted(a.command) + " " + std::to_string(a.code);
  }
  return "the chip answered " + (answered.empty() ? std::string("no command") : answered) +
         ", never " + quoted(command) + " 0";
}

void proveExchange(const Exchange& exchange, const std::vector<Reply>& replies,
                   std::vector<PartTotals>* totals) {
  std::vector<std::string> shown;
  for (const Reply& reply : replies) {
    std::vector<std::string> failures;
    CleanRun clean;
    std::vector<WireFault> faults;
    {
      ConsoleAside aside;
      const Outcome outcome = runCase(exchange, reply, WireFault{}, &clean);
      if (outcome.verdict.success != reply.succeeds || !outcome.untrue.empty()) {
        failures.push_back("reply " + reply.name + ", clean line: " + outcome.verdict.text +
                           (outcome.untrue.empty() ? "" : ", but " + outcome.untrue));
      }
      faults = faultsFor(clean);
      for (const WireFault& fault : faults) {
        const std::string& part = fault.way == Way::ToChip ? clean.partToChip[fault.at]
                                                            : clean.partToHost[fault.at];
        if (part.empty()) {
          continue;  // proven by an exchange of its own
        }
        const Outcome o = runCase(exchange, reply, fault, nullptr);
        PartTotals& t = totalsOf(totals, part);
        ++t.cases;
        if (t.replies.empty() || t.replies.back() != reply.name) {
          t.replies.push_back(reply.name);
        }
        if (o.untrue.empty()) {
          continue;
        }
        ++t.falseSuccesses;
        if (t.falseSuccesses <= kFailuresShownPerPart) {
          failures.push_back(part + ", reply " + reply.name + ": " + describe(fault, clean) +
                             ": " + o.verdict.text + ", but " + o.untrue);
        }
      }
    }
    for (const std::string& f : failures) {
      ADD_FAILURE() << f;
    }
  }
}

long reportTotals(const char* title, const std::vector<PartTotals>& totals) {
  long cases = 0;
  long falseSuccesses = 0;
  for (const PartTotals& t : totals) {
    std::string replies;
    for (const std::string& r : t.replies) {
      replies += (replies.empty() ? "" : ", ") + r;
    }
    std::printf("  %-24s %6ld cases, %4ld false successes (replies: %s)\n", t.part.c_str(),
                t.cases, t.falseSuccesses, replies.c_str());
    EXPECT_EQ(t.falseSuccesses, 0) << t.part << ": false successes";
    cases += t.cases;
    falseSuccesses += t.falseSuccesses;
  }
  std::printf("%s: %ld cases, %ld false successes\n", title, cases, falseSuccesses);
  std::fflush(stdout);
  std::printf("  (the host slept for bytes still on the wire %ld times)\n", wireSleeps);
  const long slept = wireSleeps;
  wireSleeps = 0;
  return slept;
}

}  // namespace exchanges
