#include "bench/fault_campaign/cases.h"

#include <algorithm>
#include <set>

namespace campaign {

namespace {

constexpr int kTornSeeds = 5;          // seeds of each torn erase and copy
constexpr int kNoisySeeds = 30;        // whole updates per bit error rate and image
constexpr int kQuickNoisySeeds = 5;
constexpr int kHeavySeeds = 10;        // per rate and image where the budget is to end the run
constexpr int kQuickHeavySeeds = 1;
constexpr int kSpread = 60;            // positions of a dropped or late reply line per image
constexpr int kWriteLineSpread = 40;   // damaged Write-to-RAM lines per image
constexpr int kPairSpread = 40;        // compensating pairs per image
constexpr int kCommandSpread = 40;     // flipped command bits per image
constexpr int kDataEchoSpread = 20;    // data lines whose echo alone is spoilt, per image
constexpr const char* kRates[] = {"1e-6", "1e-5", "1e-4"};
// Rates at which most updates cannot finish: the budget must end them with its message.
constexpr const char* kHeavyRates[] = {"3e-4", "1e-3", "1e-2"};
// A line that comes and goes, as EVERY:FOR in ms: away for the last FOR ms of every EVERY.
constexpr const char* kDropouts[] = {"20000:2000", "10000:6000", "40000:30000"};
constexpr int kLatencies[] = {1, 4, 16, 32};
// The --ci subset: this many of each class's quick cases, spread over them, both images. Every
// class is touched on every landing, in a few minutes. The noisy class's are chosen in its
// table, one of each kind of line, and so are the identity class's.
constexpr int kCiCases[kClassCount] = {/* flash-ops */ 4, /* steps */ 6, /* double */ 2,
                                       /* noisy */ 0, /* adapters */ 1, /* reply-bits */ 4,
                                       /* compare-loss */ 2, /* identity */ 0};

const char* const kNames[kClassCount] = {"flash-ops", "steps", "double",     "noisy",
                                         "adapters",  "reply-bits", "compare-loss", "identity"};

std::vector<std::string> fault(const std::string& spec) { return {"--fault", spec}; }
std::vector<std::string> seeded(const std::string& spec, int seed) {
  return {"--fault", spec, "--seed", std::to_string(seed)};
}

// "torn-copy=3,seed=2" from {"--fault", "torn-copy=3", "--seed", "2"}.
std::string label(const std::vector<std::string>& args) {
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string part = args[i];
    if (part == "--fault" && i + 1 < args.size()) {
      part = args[++i];
    } else if (part.rfind("--", 0) == 0) {
      part = part.substr(2);
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) part += "=" + args[++i];
    }
    out += (out.empty() ? "" : ",") + part;
  }
  return out;
}

struct Table {
  std::vector<Case>* out;
  int image;

  Case& add(Klass klass, std::vector<std::string> args, bool quick) {
    Case c;
    c.klass = klass;
    c.image = image;
    c.name = std::string(className(klass)) + "/img" + std::to_string(image) + "/" + label(args);
    c.fault = std::move(args);
    c.quick = quick;
    out->push_back(std::move(c));
    return out->back();
  }
};

// count values spread evenly over 1..total (each at most once).
std::vector<long> spread(long total, int count) {
  std::set<long> values;
  if (total <= 0) return {};
  for (int i = 0; i < count; ++i) values.insert(1 + (total - 1) * i / std::max(count - 1, 1));
  return {values.begin(), values.end()};
}

void flashOps(Table t, const Profile& p) {
  // Quick: both erases, and the first, a middle, the table's and the head block's copies.
  const std::set<int> quickCopies{1, p.copies / 2, p.tableCopy, p.headCopy};
  for (int e = 1; e <= p.erases; ++e) {
    const std::string k = std::to_string(e);
    t.add(Klass::FlashOps, fault("power-loss-before-erase=" + k), true);
    for (int s = 1; s <= kTornSeeds; ++s) t.add(Klass::FlashOps, seeded("torn-erase=" + k, s), s == 1);
    t.add(Klass::FlashOps, fault("power-loss-after-erase=" + k), true);
  }
  for (int c = 1; c <= p.copies; ++c) {
    const std::string k = std::to_string(c);
    const bool quick = quickCopies.count(c) != 0;
    t.add(Klass::FlashOps, fault("power-loss-before-copy=" + k), quick);
    for (int s = 1; s <= kTornSeeds; ++s)
      t.add(Klass::FlashOps, seeded("torn-copy=" + k, s), quick && (s == 1 || (c == p.headCopy && s <= 3)));
    t.add(Klass::FlashOps, fault("power-loss-after-copy=" + k), quick);
  }
}

void steps(Table t, const Profile& p) {
  // Quick: the first point of each step, for a choice of steps.
  const std::set<std::string> quickSteps{"request", "sync", "echo off", "unlock", "erase 1", "after erase 1",
                                         "block 1", "block " + std::to_string(p.copies / 2), "erase 2",
                                         "after erase 2", "block " + std::to_string(p.tableCopy), "head block",
                                         "restart check", "go"};
  std::set<std::string> taken;
  std::set<long> seen;
  for (const BytePoint& point : p.points) {
    if (!seen.insert(point.byte).second) continue;
    const bool quick = quickSteps.count(point.step) != 0 && taken.insert(point.step).second;
    Case& c = t.add(Klass::Steps, fault("power-loss-after-bytes=" + std::to_string(point.byte)), quick);
    std::string step = point.step;
    for (char& ch : step)
      if (ch == ' ') ch = '-';
    c.name += "(" + step + ")";
  }
  const std::vector<long> replies = spread(p.replyLines, kSpread);
  for (std::size_t i = 0; i < replies.size(); ++i) {
    const bool quick = i == replies.size() / 3 || i == replies.size() * 2 / 3;
    t.add(Klass::Steps, fault("drop-reply-line=" + std::to_string(replies[i])), quick);
    t.add(Klass::Steps, fault("delay-reply-line=" + std::to_string(replies[i])), quick);
  }
  const std::vector<long> lines = spread(p.writeLines, kWriteLineSpread);
  for (std::size_t i = 0; i < lines.size(); ++i)
    t.add(Klass::Steps, fault("corrupt-write-line=" + std::to_string(lines[i])), i == lines.size() / 2);
  for (int c = 1; c <= p.copies; ++c)
    t.add(Klass::Steps, fault("weak-cell-copy=" + std::to_string(c)), c == p.copies / 2);
  for (int c = 1; c <= p.copies; c += 4)
    t.add(Klass::Steps, fault("vanish-after-copy=" + std::to_string(c)), c == 1 + (p.copies / 8) * 4);
  t.add(Klass::Steps, fault("vanish-after-copy=" + std::to_string(p.headCopy)), false);
  const bool first = t.image == 0;
  t.add(Klass::Steps, fault("power-loss-before-table-write"), first);
  t.add(Klass::Steps, fault("console-noise"), first);
  t.add(Klass::Steps, fault("garbled-first-answer"), first);
}

// A cut for the recovery run at an erase or a copy, varied by its number.
std::vector<std::string> secondCut(bool erase, int k) {
  const std::string n = std::to_string(k);
  if (erase) return k % 2 ? seeded("torn-erase=" + n, k) : fault("power-loss-after-erase=" + n);
  switch ((k / 4) % 3) {
    case 0: return fault("power-loss-after-copy=" + n);
    case 1: return seeded("torn-copy=" + n, k);
    default: return fault("power-loss-before-copy=" + n);
  }
}

void doubles(Table t, const Profile& p) {
  const std::vector<std::vector<std::string>> firsts{
      fault("power-loss-after-copy=" + std::to_string(p.copies / 2)),
      seeded("torn-erase=1", 1),
      fault("power-loss-after-erase=2"),
      seeded("torn-copy=" + std::to_string(p.headCopy), 2),
      fault("power-loss-before-copy=" + std::to_string(p.tableCopy)),
  };
  std::vector<std::pair<bool, int>> seconds;
  for (int e = 1; e <= p.erases; ++e) seconds.emplace_back(true, e);
  for (int c = 1; c <= p.copies; c += 4) seconds.emplace_back(false, c);
  if ((p.copies - 1) % 4 != 0) seconds.emplace_back(false, p.headCopy);
  for (std::size_t f = 0; f < firsts.size(); ++f) {
    for (const auto& [erase, k] : seconds) {
      const bool quick = f < 2 && ((erase && k <= 2) || k == 1 + (p.copies / 8) * 4 || k == p.headCopy);
      Case& c = t.add(Klass::Double, firsts[f], quick);
      c.second = secondCut(erase, k);
      c.name += "/then/" + label(c.second);
    }
  }
}

// Every case of the class runs at wire speed, so that its times are those a technician would see
// and the one hang bound holds them as it holds every other class.
void noisy(Table t, const Profile& p) {
  const auto wire = [](std::vector<std::string> args) {
    args.push_back("--wire-speed");
    return args;
  };
  // --ci: 1e-5 and 1e-4 (first seed, one image each), 1e-2 and 3e-4 (the budget's message,
  // fast and slow), the line gone 6 s of every 10, a data line's echo spoilt.
  const std::string ciRate = t.image == 0 ? "1e-5" : "1e-4";
  const std::string ciHeavy = t.image == 0 ? "1e-2" : "3e-4";
  for (const char* rate : kRates)
    for (int s = 1; s <= kNoisySeeds; ++s)
      t.add(Klass::Noisy, wire({"--ber", rate, "--seed", std::to_string(s + 1000 * t.image)}), s <= kQuickNoisySeeds)
          .ci = s == 1 && rate == ciRate;
  for (const char* rate : kHeavyRates)
    for (int s = 1; s <= kHeavySeeds; ++s)
      t.add(Klass::Noisy, wire({"--ber", rate, "--seed", std::to_string(s + 1000 * t.image)}),
            s <= kQuickHeavySeeds)
          .ci = s == 1 && rate == ciHeavy;
  for (const char* dropout : kDropouts)
    t.add(Klass::Noisy, wire(fault(std::string("dropout=") + dropout)), t.image == 0).ci =
        t.image == 0 && std::string(dropout) == "10000:6000";
  const std::vector<long> blocks = spread(p.writeBlocks, kPairSpread);
  for (std::size_t i = 0; i < blocks.size(); ++i)
    t.add(Klass::Noisy, wire(fault("sum-pair=" + std::to_string(blocks[i]))), i == blocks.size() / 2);
  // Flipped bits in the command lines, most in the digits of a Write's or Copy's address.
  std::vector<long> chosen;
  for (std::size_t k = 0; k < p.commandTexts.size(); ++k) {
    const std::string& text = p.commandTexts[k];
    if (text.rfind("W ", 0) == 0 || text.rfind("C ", 0) == 0 || text.rfind("E ", 0) == 0 ||
        text.rfind("G ", 0) == 0)
      chosen.push_back(static_cast<long>(k));
  }
  const std::vector<long> picks = spread(static_cast<long>(chosen.size()), kCommandSpread);
  for (std::size_t i = 0; i < picks.size(); ++i) {
    const long k = chosen[static_cast<std::size_t>(picks[i] - 1)];
    const std::string& text = p.commandTexts[static_cast<std::size_t>(k)];
    const std::size_t digits = std::min<std::size_t>(text.find(' ', 2) == std::string::npos ? text.size() - 2
                                                                                            : text.find(' ', 2) - 2,
                                                     9);
    const long byte = 2 + static_cast<long>(i % std::max<std::size_t>(digits, 1));
    const long bit = byte * 8 + static_cast<long>(i % 3);
    t.add(Klass::Noisy, wire(fault("corrupt-command=" + std::to_string(k + 1) + ":" + std::to_string(bit))),
          i == picks.size() / 3);
    // A Copy received as sent whose echo alone comes back otherwise.
    if (text.rfind("C ", 0) == 0)
      t.add(Klass::Noisy, wire(fault("corrupt-echo=" + std::to_string(k + 1) + ":" + std::to_string(bit))), false);
  }
  // A data line received as sent whose echo alone comes back otherwise: in a data character
  // (the word under it is read back) or, every fourth, in its length character (the block goes
  // again). A position beyond a short line does not fire.
  const std::vector<long> echoLines = spread(p.writeLines, kDataEchoSpread);
  for (std::size_t i = 0; i < echoLines.size(); ++i) {
    const long byte = i % 4 == 3 ? 0 : 1 + static_cast<long>((i * 7) % 40);
    const long bit = byte * 8 + static_cast<long>(i % 6);
    t.add(Klass::Noisy,
          wire(fault("corrupt-data-echo=" + std::to_string(echoLines[i]) + ":" + std::to_string(bit))),
          i == echoLines.size() / 2)
        .ci = t.image == 1 && i == echoLines.size() / 2;
  }
  t.add(Klass::Noisy, wire({"--echo-crlflf"}), true);
  for (int s = 1; s <= kQuickNoisySeeds; ++s)
    t.add(Klass::Noisy, wire({"--echo-crlflf", "--ber", "1e-5", "--seed", std::to_string(s + 500)}), false);
}

// The number of the command with this letter among those up to and including commandTexts[upTo].
long letterNumber(const Profile& p, std::size_t upTo, char letter) {
  long n = 0;
  for (std::size_t i = 0; i <= upTo && i < p.commandTexts.size(); ++i) n += p.commandTexts[i][0] == letter ? 1 : 0;
  return n;
}

// Every bit of every byte of a reply of `bytes` bytes flipped, each with the failing step.
void flippedReplies(Table t, const std::vector<std::string>& failing, char letter, long number, std::size_t bytes,
                    bool quick) {
  for (std::size_t bit = 0; bit < bytes * 8; ++bit) {
    std::vector<std::string> args = failing;
    args.insert(args.end(), {"--fault", std::string("flip-reply=") + letter + ":" + std::to_string(number) + ":" +
                                            std::to_string(bit)});
    // Quick: bit 5 of the first byte, which makes a '1' the bootloader's XON.
    t.add(Klass::ReplyBits, args, quick && bit == 5);
  }
}

// The K-th copy's commands, each numbered among those of its letter: the prepare before it,
// the copy itself and the compare after it, with the reply that compare gives over a weak cell
// under the copy ("10", the first word's offset; empty when the copy programs nothing). False
// when no compare follows the copy.
struct CopySteps {
  long prepare = 0;
  long copy = 0;
  long compare = 0;
  std::string weakReply;
};

bool stepsOfCopy(const Profile& p, int copy, CopySteps* s) {
  std::size_t c = 0;
  for (int seen = 0; c < p.commandTexts.size(); ++c)
    if (p.commandTexts[c].rfind("C ", 0) == 0 && ++seen == copy) break;
  std::size_t m = c;
  while (m < p.commandTexts.size() && p.commandTexts[m].rfind("M ", 0) != 0) ++m;
  if (m == p.commandTexts.size() || copy < 1 || copy > static_cast<int>(p.copyFirstWord.size())) return false;
  s->prepare = letterNumber(p, c, 'P');
  s->copy = letterNumber(p, c, 'C');
  s->compare = letterNumber(p, m, 'M');
  const long firstWord = p.copyFirstWord[static_cast<std::size_t>(copy - 1)];
  s->weakReply = firstWord < 0 ? "" : "10\r\n" + std::to_string(firstWord) + "\r\n";
  return true;
}

// A step that fails, and one bit of its reply flipped on the way back: a weak cell under the
// copy of a firmware block, the table's block and the head block (the compare answers "10" and
// the offset), a refused prepare, copy or compare of those blocks, and each erase refused.
void replyBits(Table t, const Profile& p) {
  const std::string kBusy = "11";          // BUSY: a refusal the next attempt may not meet
  const std::string kNotPrepared = "9";    // SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION
  const bool quick = t.image == 0;
  for (int e = 1; e <= p.erases; ++e)
    flippedReplies(t, fault("refuse-command=E:" + std::to_string(e) + ":" + kNotPrepared), 'E', e,
                   kNotPrepared.size() + 2, quick);
  for (const int copy : {p.copies / 2, p.tableCopy, p.headCopy}) {
    CopySteps s;
    if (!stepsOfCopy(p, copy, &s)) continue;
    if (!s.weakReply.empty())
      flippedReplies(t, fault("weak-cell-copy=" + std::to_string(copy)), 'M', s.compare, s.weakReply.size(), quick);
    flippedReplies(t, fault("refuse-command=P:" + std::to_string(s.prepare) + ":" + kBusy), 'P', s.prepare,
                   kBusy.size() + 2, quick);
    flippedReplies(t, fault("refuse-command=C:" + std::to_string(s.copy) + ":" + kNotPrepared), 'C', s.copy,
                   kNotPrepared.size() + 2, quick);
    flippedReplies(t, fault("refuse-command=M:" + std::to_string(s.compare) + ":" + kBusy), 'M', s.compare,
                   kBusy.size() + 2, quick);
  }
}

// A weak cell under a copy, and one byte of the compare's answer ("10", the offset) lost on the
// way back, for every byte of it: lost, its '1' leaves "0", a success over a block that is not
// what was sent. The first block, a middle one, the table's block and the head block.
void compareLoss(Table t, const Profile& p) {
  for (const int copy : std::set<int>{1, p.copies / 2, p.tableCopy, p.headCopy}) {
    CopySteps s;
    if (!stepsOfCopy(p, copy, &s) || s.weakReply.empty()) continue;
    for (std::size_t byte = 0; byte < s.weakReply.size(); ++byte) {
      // Quick: the '1' lost (the answer reads as success) on the first image, with the '0' too
      // on its first block.
      const bool quick = t.image == 0 ? byte == 0 || (byte == 1 && copy == 1) : byte == 0 && copy == 1;
      t.add(Klass::CompareLoss,
            {"--fault", "weak-cell-copy=" + std::to_string(copy), "--fault",
             "lose-reply=M:" + std::to_string(s.compare) + ":" + std::to_string(byte)},
            quick);
    }
  }
}

// A switch no image fits, and one bit of one of its identity frames flipped, or one byte lost,
// for every bit and byte of it, in each of the frames a run asks for (the scan's and the console
// loop's): it must never be written.
void identity(Table t, const SimLog& unfit) {
  if (unfit.identityFrames.empty()) return;
  const std::string& frame = unfit.identityFrames.front();
  const int answers = static_cast<int>(unfit.identityFrames.size());
  // Quick: in the first frame of the scan's identification and of the loop's, every bit of the PCB
  // revision (the last field before the hexadecimal one), the model's last digit's bit 0, and the
  // PCB revision and the commas beside it lost.
  const std::size_t lastComma = frame.rfind(',');
  const std::size_t pcbComma = lastComma == std::string::npos || lastComma == 0 ? lastComma : frame.rfind(',', lastComma - 1);
  const auto quickAnswer = [&](int k) { return k == 1 || k == answers / 2 + 1; };
  const auto add = [&](const std::string& spec, bool quick) -> Case& {
    std::vector<std::string> args = unfitSwitch();
    args.insert(args.end(), {"--fault", spec});
    Case& c = t.add(Klass::Identity, args, quick);
    c.name = std::string(className(Klass::Identity)) + "/img" + std::to_string(t.image) + "/" + spec;
    c.keepsFlash = true;
    return c;
  };
  // --ci: the PCB revision's bit 0 flipped ('4' read as '5': the image of another switch
  // fits) in the first frame of the scan's identification and of the loop's.
  for (int k = 1; k <= answers; ++k) {
    for (std::size_t bit = 0; bit < frame.size() * 8; ++bit) {
      const std::size_t byte = bit / 8;
      const bool pcb = pcbComma != std::string::npos && byte > pcbComma && byte < lastComma;
      add("flip-identity=" + std::to_string(k) + ":" + std::to_string(bit),
          quickAnswer(k) && (pcb || (byte + 1 == pcbComma && bit % 8 == 0)))
          .ci = quickAnswer(k) && pcb && byte == pcbComma + 1 && bit % 8 == 0;
    }
    for (std::size_t byte = 0; byte < frame.size(); ++byte)
      add("lose-identity=" + std::to_string(k) + ":" + std::to_string(byte),
          quickAnswer(k) && pcbComma != std::string::npos && byte >= pcbComma && byte <= lastComma);
  }
}

void adapters(Table t, bool withWine) {
  for (const bool wine : {false, true}) {
    if (wine && !withWine) continue;
    for (const int latency : kLatencies) {
      Case& c = t.add(Klass::Adapters, {"--adapter-latency", std::to_string(latency), "--wire-speed"}, t.image == 0);
      c.wholeRun = true;
      c.wine = wine;
      c.latencyMs = latency;
      if (wine) c.name += ",wine";
    }
  }
}

}  // namespace

const char* className(Klass klass) { return kNames[static_cast<int>(klass)]; }

std::vector<std::string> unfitSwitch() {
  return {"--set-name", "Sonarch36", "--set-model", "86", "--set-pcb", "4"};
}

bool classFromName(const std::string& name, Klass* klass) {
  for (int i = 0; i < kClassCount; ++i)
    if (name == kNames[i]) {
      *klass = static_cast<Klass>(i);
      return true;
    }
  return false;
}

std::vector<Case> buildCases(const std::vector<Profile>& profiles, const SimLog& unfit, bool withWine) {
  std::vector<Case> cases;
  using Builder = void (*)(Table, const Profile&);
  for (const Builder build : {&flashOps, &steps, &doubles, &noisy, &replyBits, &compareLoss}) {
    for (int image = 0; image < static_cast<int>(profiles.size()); ++image) build({&cases, image}, profiles[image]);
  }
  for (int image = 0; image < static_cast<int>(profiles.size()); ++image) adapters({&cases, image}, withWine);
  identity({&cases, 0}, unfit);
  for (int k = 0; k < kClassCount; ++k) {
    std::vector<Case*> quick;
    for (Case& c : cases)
      if (static_cast<int>(c.klass) == k && c.quick && !c.wine) quick.push_back(&c);
    for (const long pick : spread(static_cast<long>(quick.size()), kCiCases[k]))
      quick[static_cast<std::size_t>(pick - 1)]->ci = true;
  }
  return cases;
}

}  // namespace campaign
