// Every exchange the utility has with the ISP bootloader, proven against the simulated chip
// case by case: each answer the chip can give, each single fault on the line both ways. The
// routine's success must mean that the chip did exactly what was asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "exchange_proof.h"
#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "isp/isp_transfer.h"
#include "sim/flash_model.h"
#include "sim/isp_bootloader.h"
#include "update/flash_parts.h"
#include "update/flash_update.h"

namespace exchanges {
namespace {

constexpr int kBootloaderBaud = 115200;
constexpr int kConsoleBaud = 19200;
constexpr std::uint32_t kRam = sim::kRamLocal;                         // the staging RAM
constexpr std::uint32_t kSector4 = sim::kBankA + 4 * sim::kSmallSector;  // an 8 KB sector of bank A
constexpr std::uint32_t kPage = sim::kPageSize;
constexpr std::uint32_t kEntry = sim::kBankA + 0x1C0;  // where a Go may jump to

std::vector<std::uint8_t> pattern(std::size_t count, unsigned seed) {
  // The bytes a line treats apart are among them: NUL (a backtick in UU), XON, XOFF, CR, LF,
  // ESC, the space and 0xFF.
  static constexpr std::uint8_t kSpecial[] = {0x00, 0x11, 0x13, 0x0D, 0x0A, 0x1B, 0x20, 0xFF};
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = i % 5 == 0 ? kSpecial[(i / 5) % sizeof kSpecial]
                          : static_cast<std::uint8_t>(i * 37u + seed * 101u + 11u);
  }
  return bytes;
}

// A chip whose bootloader has measured 115200 baud from '?' and has its echo on.
void synchronised(ChipLink& link) {
  link.prepare("?");
  link.prepare("Synchronized\r\n");
  link.prepare("12000\r\n");
}

void synchronisedUnlocked(ChipLink& link) {
  synchronised(link);
  link.prepare("U 23130\r\n");
}

// Every byte of a single command's exchange belongs to it.
auto onePart(const char* name) {
  return [name](const std::string&, int) { return std::string(name); };
}

Verdict commandVerdict(const char* routine, int result) {
  const char* meaning = result == kExchangeOk        ? "ok"
                        : result == kExchangeRefused ? "refused"
                        : result == kExchangeNoReply ? "no reply"
                        : result == kExchangeGarbled ? "garbled"
                                                     : "echo differs";
  return Verdict{result == kExchangeOk,
                 routine + std::string(" = ") + std::to_string(result) + " (" + meaning + ")", {}};
}

// Whether the flash is erased but for block at address.
std::string flashDiffers(sim::Memory& memory, const std::vector<std::uint8_t>& block,
                         std::uint32_t address) {
  std::vector<std::uint8_t> expected(memory.bankSize() * 2, 0xFF);
  std::copy(block.begin(), block.end(), expected.begin() + (address - sim::kBankA));
  const std::vector<std::uint8_t> flash = memory.flashSnapshot();
  // Whole as a rule: only a flash that differs is looked at byte by byte.
  if (flash == expected) {
    return std::string();
  }
  const std::size_t i = static_cast<std::size_t>(
      std::mismatch(flash.begin(), flash.end(), expected.begin()).first - flash.begin());
  char text[96];
  std::snprintf(text, sizeof text, "the flash at 0x%08X holds 0x%02X, not 0x%02X",
                static_cast<unsigned>(i < memory.bankSize() ? sim::kBankA + i
                                                            : sim::kBankB + i - memory.bankSize()),
                flash[i], expected[i]);
  return text;
}

std::vector<std::uint8_t> wordBytes(std::uint32_t word0, std::uint32_t word1) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t word : {word0, word1}) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(word >> shift));
    }
  }
  return bytes;
}

std::string firstOf(const std::string& a, const std::string& b) { return a.empty() ? b : a; }

Reply answered(const std::string& name) { return Reply{name, answering(), true, {}}; }
Reply refused(char letter, int code, int from = 1) {
  return Reply{std::to_string(code), refusing(letter, code, from), false, {}};
}
Reply named(Reply reply, const std::string& name) {
  reply.name = name;
  return reply;
}
// "0", then each code as a refusal of every command with the letter.
std::vector<Reply> zeroOrRefused(char letter, std::initializer_list<int> codes) {
  std::vector<Reply> replies{answered("0")};
  for (int code : codes) {
    replies.push_back(refused(letter, code));
  }
  return replies;
}

// A command whose every byte belongs to its own exchange, from a chip the host talks to at
// 115200 baud.
void proveCommand(const char* name, const std::function<void(ChipLink&)>& ready,
                  const std::function<Verdict(ChipLink&)>& run,
                  const std::function<std::string(ChipLink&, const Verdict&)>& untrue,
                  const std::vector<Reply>& replies) {
  std::vector<PartTotals> totals;
  proveExchange(Exchange{ready, kBootloaderBaud, run, untrue, onePart(name)}, replies, &totals);
  reportTotals(name, totals);
}

TEST(Exchange, SynchronisationCrystalLineAndEchoOn) {
  // Lines the host sends name their part; the chip's lines belong to the line they answer.
  auto part = [](const std::string& hostLine, int) {
    if (hostLine == "O\r") {
      return std::string("crystal line");
    }
    if (hostLine == "A 1\r") {
      return std::string("echo on");
    }
    return std::string("synchronisation");
  };
  auto run = [](ChipLink&) {
    const int result = nxpSync();
    return Verdict{result == kSyncBootloader, "nxpSync = " + std::to_string(result), {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) {
    return link.answersWithEcho()
               ? std::string()
               : "the chip is not synchronised at " + std::to_string(currentBaud) + " baud with its echo on";
  };

  std::vector<PartTotals> totals;
  // From a chip waiting for '?': the first attempt at 115200 finds it.
  Reply garbled = answered("\"Synchronized\" at a rate 6 % off");
  garbled.options.faults.garbledFirstAnswer = true;
  proveExchange(Exchange{[](ChipLink&) {}, kConsoleBaud, run, untrue, part},
                {answered("Synchronized, OK, OK, 0"), garbled, named(refused('A', 12), "A 1 refused 12")},
                &totals);
  // From a synchronised chip whose echo is off: it answers the probe line "1".
  auto echoOff = [](ChipLink& link) {
    synchronised(link);
    link.prepare("A 0\r\n");
  };
  proveExchange(Exchange{echoOff, kConsoleBaud, run, untrue, part},
                {answered("echo off: 1 to the probe, then 0"),
                 named(refused('A', 12, 2), "echo off: 1 to the probe, A 1 refused 12")},
                &totals);
  const long slept = reportTotals("synchronisation, crystal line, echo on", totals);
  EXPECT_GT(slept, 0) << "the readers never slept for bytes on the wire";
}

TEST(Exchange, Unlock) {
  auto run = [](ChipLink&) { return commandVerdict("nxpUnlock", nxpUnlock()); };
  auto untrue = [](ChipLink& link, const Verdict&) { return answeredZero(link, "U 23130"); };
  proveCommand("unlock", synchronised, run, untrue, zeroOrRefused('U', {16, 12}));
}

TEST(Exchange, PartIdentification) {
  auto run = [](ChipLink&) {
    std::uint32_t words[2] = {0xDEADu, 0xBEEFu};
    const int result = nxpReadPartId(words);
    char text[80];
    std::snprintf(text, sizeof text, "nxpReadPartId = %d, words 0x%X 0x%X", result,
                  static_cast<unsigned>(words[0]), static_cast<unsigned>(words[1]));
    // Words the routine says it could not read are not taken for the chip's.
    return Verdict{result == kPartIdRead, text,
                   result == kPartIdRead ? wordBytes(words[0], words[1]) : std::vector<std::uint8_t>()};
  };
  auto untrue = [](std::uint32_t word1) {
    return [word1](ChipLink& link, const Verdict& verdict) {
      const bool same = verdict.believed == wordBytes(sim::kPartIdWord0 & 0xFFFFu, word1);
      char words[64];
      std::snprintf(words, sizeof words, "the chip's words are 0x%X 0x%X",
                    sim::kPartIdWord0 & 0xFFFFu, static_cast<unsigned>(word1));
      return firstOf(answeredZero(link, "J"), same ? std::string() : words);
    };
  };
  std::vector<PartTotals> totals;
  Reply bank256 = answered("0 and the words of a 256 KB part");
  bank256.options.bank256K = true;
  proveExchange(Exchange{synchronised, kBootloaderBaud, run, untrue(0x00), onePart("part identification")},
                {answered("0 and the words of a 512 KB part"), refused('J', 12)}, &totals);
  proveExchange(Exchange{synchronised, kBootloaderBaud, run, untrue(0x44), onePart("part identification")},
                {bank256}, &totals);
  reportTotals("part identification", totals);
}

// A Prepare's or a Copy's "0" is one replaced byte from a refusal ("7", "9"), and the chip
// cannot be asked what they did: they are proven within the steps whose own check decides. A
// line's part is its command letter and a space (a data line's length character never has one
// behind it); the block's write to RAM is proven on its own above.
std::string stepPart(const std::string& hostLine, int) {
  switch (hostLine.size() < 2 || hostLine[1] != ' ' ? ' ' : hostLine[0]) {
    case 'P': return "prepare";
    case 'E': return "erase";
    case 'I': return "blank check";
    case 'C': return "copy";
    case 'M': return "compare";
    default: return "";
  }
}


TEST(Exchange, PrepareAndEraseStep) {
  // Sectors 4 and 5 hold data; the rest of the flash is erased.
  auto ready = [](ChipLink& link) {
    synchronisedUnlocked(link);
    const std::vector<std::uint8_t> data = pattern(2 * sim::kSmallSector, 1);
    link.memory().store(kSector4, data.data(), static_cast<std::uint32_t>(data.size()));
  };
  auto run = [](ChipLink&) {
    const unsigned status = eraseRegion(kSector4, 2 * sim::kSmallSector);
    return Verdict{status == kStatusOk, "eraseRegion = " + std::to_string(status), {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) { return flashDiffers(link.memory(), {}, sim::kBankA); };
  // A refusal of one digit (one replaced byte from "0") and one whose leading digit a lost
  // byte takes, of each command; the other codes take the same shapes.
  std::vector<Reply> replies = zeroOrRefused('P', {7, 20});
  for (int code : {9, 20}) {
    replies.push_back(named(refused('E', code), "E " + std::to_string(code)));
  }
  std::vector<PartTotals> totals;
  proveExchange(Exchange{ready, kBootloaderBaud, run, untrue, stepPart}, replies, &totals);
  reportTotals("prepare and erase", totals);
}

TEST(Exchange, PrepareCopyAndCompareOfABlock) {
  // An erased flash; the block goes to sector 4.
  auto run = [](ChipLink&) {
    const std::vector<std::uint8_t> block = pattern(kPage, 2);
    const unsigned status = programBlock(kSector4, block.data(), kPage);
    return Verdict{status == kStatusOk, "programBlock = " + std::to_string(status), {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) {
    return flashDiffers(link.memory(), pattern(kPage, 2), kSector4);
  };
  Reply weak{"a weak cell: 10 and its offset", answering(), false, {}};
  weak.options.faults.weakCellCopy = 1;
  std::vector<Reply> replies = zeroOrRefused('P', {20});
  replies.push_back(named(refused('C', 9), "C 9"));
  replies.push_back(weak);
  std::vector<PartTotals> totals;
  proveExchange(Exchange{synchronisedUnlocked, kBootloaderBaud, run, untrue, stepPart}, replies, &totals);
  reportTotals("prepare, copy and compare", totals);
}

TEST(Exchange, Compare) {
  // The same block in flash and in RAM.
  auto ready = [](ChipLink& link) {
    synchronised(link);
    const std::vector<std::uint8_t> block = pattern(kPage, 3);
    link.memory().store(kSector4, block.data(), kPage);
    link.memory().writeRam(kRam, block.data(), kPage);
  };
  auto run = [](ChipLink&) {
    const int result = nxpCompare(kSector4, kRam, kPage);
    return Verdict{result == kCompareEqual, "nxpCompare = " + std::to_string(result), {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) {
    return answeredZero(link, "M " + std::to_string(kSector4) + " " + std::to_string(kRam) + " 512");
  };
  Reply different{"10 and offset 260", answering(), false, [](ChipLink& link) {
                    const std::uint8_t changed = 0x5A;
                    link.memory().writeRam(kRam + 261, &changed, 1);
                  }};
  std::vector<Reply> replies = zeroOrRefused('M', {6, 12, 13, 14});
  replies.insert(replies.begin() + 1, different);
  proveCommand("compare", ready, run, untrue, replies);
}

TEST(Exchange, WriteCommandDataLinesAndChecksum) {
  // 48 bytes: a data line of 45 and one of 3, then the block's checksum, into RAM that holds
  // other bytes.
  constexpr std::uint32_t kCount = 48;
  auto ready = [](ChipLink& link) {
    synchronised(link);
    const std::vector<std::uint8_t> before(kCount, 0xA5);
    link.memory().writeRam(kRam, before.data(), kCount);
  };
  auto run = [](ChipLink&) {
    const std::vector<std::uint8_t> data = pattern(kCount, 4);
    const int result = nxpWriteRam(kRam, data.data(), kCount);
    return Verdict{result == kWriteRamOk, "nxpWriteRam = " + std::to_string(result), {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) {
    const std::vector<std::uint8_t> data = pattern(kCount, 4);
    std::vector<std::uint8_t> ram(kCount);
    link.memory().read(kRam, ram.data(), kCount);
    for (std::uint32_t i = 0; i < kCount; ++i) {
      if (ram[i] != data[i]) {
        return "RAM byte " + std::to_string(i) + " holds " + std::to_string(ram[i]) + ", not " +
               std::to_string(data[i]);
      }
    }
    return std::string();
  };
  auto part = [](const std::string& hostLine, int) {
    if (hostLine.rfind("W ", 0) == 0) {
      return std::string("write command");
    }
    const std::string text = hostLine.substr(0, hostLine.find('\r'));
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    return std::string(digits ? "checksum" : "data lines");
  };
  Reply resend{"RESEND, then OK", answering(), true, {}};
  resend.options.faults.corruptWriteLine = 1;  // the chip's sum no longer matches the host's
  std::vector<PartTotals> totals;
  proveExchange(Exchange{ready, kBootloaderBaud, run, untrue, part},
                {answered("0, OK"), resend, refused('W', 6), refused('W', 12), refused('W', 13),
                 refused('W', 14)},
                &totals);
  // No fault leaves a write's readers short of bytes here (an echo whose CR was spoilt ends at
  // its LF), so they need never sleep; the sleeps are proven by the other exchanges.
  reportTotals("write to RAM", totals);
}

// 948 bytes in one "W": a whole block of 900 and one of 48, each with its checksum and answer,
// the second sent only once the first was answered OK. The first block's first 19 data lines
// take no fault (the 48 bytes above prove a data line); its last line, its checksum and answer,
// the second block and the "W" take every one.
TEST(Exchange, WriteOfTwoBlocksInOneCommand) {
  constexpr std::uint32_t kCount = 948;
  const std::vector<std::uint8_t> data = pattern(kCount, 6);
  std::vector<std::string> unfaulted;
  for (std::uint32_t at = 0; at < 19 * 45; at += 45) {
    char line[64];
    uuEncodeLine(line, data.data() + at, 45);
    unfaulted.emplace_back(line);
  }
  auto ready = [](ChipLink& link) {
    synchronised(link);
    const std::vector<std::uint8_t> before(kCount, 0xA5);
    link.memory().writeRam(kRam, before.data(), kCount);
  };
  auto run = [&data](ChipLink&) {
    const int result = nxpWriteRam(kRam, data.data(), kCount);
    return Verdict{result == kWriteRamOk, "nxpWriteRam = " + std::to_string(result), {}};
  };
  auto untrue = [&data](ChipLink& link, const Verdict&) {
    std::vector<std::uint8_t> ram(kCount);
    link.memory().read(kRam, ram.data(), kCount);
    const auto differs = std::mismatch(ram.begin(), ram.end(), data.begin());
    return differs.first == ram.end() ? std::string()
                                      : "RAM byte " + std::to_string(differs.first - ram.begin()) + " is not as sent";
  };
  auto part = [&unfaulted](const std::string& hostLine, int) {
    const std::string text = hostLine.substr(0, hostLine.find('\r'));
    if (std::find(unfaulted.begin(), unfaulted.end(), text) != unfaulted.end()) {
      return std::string();
    }
    return std::string(text.rfind("W ", 0) == 0 ? "write command" : "blocks");
  };
  std::vector<PartTotals> totals;
  proveExchange(Exchange{ready, kBootloaderBaud, run, untrue, part}, {answered("0, OK, OK")}, &totals);
  reportTotals("write of two blocks", totals);
}

// A read of count bytes of flash from the start of bank A, which holds them. Without
// dataFaults the data lines of its first block take no fault: a shorter read proves them.
Exchange readExchange(std::uint32_t count, bool dataFaults = true) {
  auto ready = [count](ChipLink& link) {
    synchronised(link);
    const std::vector<std::uint8_t> data = pattern(count, 5);
    link.memory().store(sim::kBankA, data.data(), count);
  };
  auto run = [count](ChipLink&) {
    std::vector<std::uint8_t> dest(count, 0xA5);
    const int result = nxpReadMemory(dest.data(), sim::kBankA, count);
    // All of it on success; on a failure, the blocks counted as received.
    const std::uint32_t received = static_cast<std::uint32_t>(result < 0 ? -result : result);
    dest.resize(received < count ? received : count);
    return Verdict{result == static_cast<int>(count), "nxpReadMemory = " + std::to_string(result), dest};
  };
  auto untrue = [count](ChipLink& link, const Verdict& verdict) {
    std::vector<std::uint8_t> flash(count);
    link.memory().read(sim::kBankA, flash.data(), count);
    for (std::size_t i = 0; i < verdict.believed.size(); ++i) {
      if (verdict.believed[i] != flash[i]) {
        return "byte " + std::to_string(i) + " read as " + std::to_string(verdict.believed[i]) +
               " is " + std::to_string(flash[i]);
      }
    }
    return std::string();
  };
  auto part = [dataFaults](const std::string& hostLine, int replyLine) {
    // The "R" line's echo and return code; then the data lines and the checksum, and the
    // host's answer to them.
    const bool read = hostLine.rfind("R ", 0) == 0;
    if (!dataFaults && read && replyLine >= 2 && replyLine < 2 + 20) {
      return std::string();
    }
    return std::string(read && replyLine < 2 ? "read command" : "read data and checksum");
  };
  return Exchange{ready, kBootloaderBaud, run, untrue, part};
}

TEST(Exchange, ReadCommandDataAndChecksum) {
  std::vector<PartTotals> totals;
  // 92 bytes: data lines of 45, 45 and 2 bytes, then the block's checksum.
  proveExchange(readExchange(92),
                {answered("0, data, checksum"), refused('R', 6), refused('R', 12), refused('R', 13),
                 refused('R', 14), refused('R', 19)},
                &totals);
  // 904 bytes, a block of 900 and one of 4 whose "R" is refused: the host keeps the first
  // block, which must be the flash's.
  Reply secondRefused = named(refused('R', 14, 2), "0, a block of 900, then 14 to the second R");
  proveExchange(readExchange(904, false), {secondRefused}, &totals);
  const long slept = reportTotals("read memory", totals);
  EXPECT_GT(slept, 0) << "the readers never slept for bytes on the wire";
}

TEST(Exchange, Go) {
  auto run = [](ChipLink&) {
    const int result = nxpGo(kEntry);
    const char* meaning = result == kGoStarted            ? "started"
                          : result == kGoNoAnswer         ? "no answer"
                          : result == kGoStartedOtherLine ? "started by a line that arrived otherwise"
                          : result == kGoRefused          ? "refused"
                                                          : "answer spoilt";
    return Verdict{result == kGoStarted, "nxpGo = " + std::to_string(result) + " (" + meaning + ")", {}};
  };
  auto untrue = [](ChipLink& link, const Verdict&) {
    if (!link.jumped()) {
      return std::string("the chip did not jump");
    }
    return link.jumpAddress() == kEntry ? std::string()
                                        : "the chip jumped to " + std::to_string(link.jumpAddress());
  };
  std::vector<Reply> replies = zeroOrRefused('G', {12, 13, 14, 15});
  replies.front().name = "0 and the jump";
  proveCommand("go", synchronisedUnlocked, run, untrue, replies);
}

}  // namespace
}  // namespace exchanges
