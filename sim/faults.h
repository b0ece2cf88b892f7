#pragma once
// The injected faults and their counters. Every fault is deterministic: it strikes at a
// numbered event (the N-th received byte, the k-th erase or copy, the k-th data line or reply
// line), counted from the simulator's start, and only once; where a fault needs a random
// choice (how a torn operation leaves the flash) it is drawn from the run's seed.
#include <cstdint>
#include <string>

#include "sim/switch_sim.h"

namespace sim {

enum class LineFate { Send, Drop, Delay };
enum class AfterCopy { Nothing, PowerLoss, Vanish };
enum class FlashCut { None, Before, Torn, After };  // where the power fails around an operation

// One byte of bytes as a line fault leaves it: bit BIT (0..7) of byte at flipped, or with BIT
// -1 the byte lost, never received. The transcript's words for it: "byte 3 (0x34) leaves as
// 0x35" or "byte 3 (0x34) is lost".
std::string strikeByte(std::string* bytes, std::size_t at, int bit);

// A small seeded generator (splitmix64): the same seed gives the same choices on every host.
class SeededChoice {
 public:
  explicit SeededChoice(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // A number in [lo, hi].
  std::uint32_t between(std::uint32_t lo, std::uint32_t hi);

 private:
  std::uint64_t state_;
};

class FaultPlan {
 public:
  FaultPlan(const Faults& faults, std::uint64_t seed) : f_(faults), seed_(seed) {}

  const Faults& faults() const { return f_; }

  // One more byte has arrived: true when the power fails with it (before it is acted on).
  bool powerFailsWithByte();
  // The erase with this number (1-based) is about to be done: whether the power fails
  // before, in the middle of, or right after it.
  FlashCut aroundErase(std::uint32_t eraseNumber) const;
  // The copy with this number is about to be done: None, Before or Torn.
  FlashCut beforeCopy(std::uint32_t copyNumber) const;
  // The copy with this number (1-based) has been done: what happens next.
  AfterCopy afterCopy(std::uint32_t copyNumber) const;
  // The choices of a torn operation: the same seed and operation give the same ones.
  SeededChoice tornChoices(char operation, std::uint32_t number) const;
  // True when the copy with this number leaves a weak cell.
  bool weakCellIn(std::uint32_t copyNumber) const;
  // One more Write-to-RAM data line: true when it is to be damaged.
  bool corruptNextWriteLine();
  // One more reply line of the bootloader: what becomes of it.
  LineFate nextReplyLine();
  // True (once) when an erase of the table's sector is to be the last thing the chip does.
  bool powerFailsAfterTableErase();
  // True (once) when the bootloader's answer to this '?' is to be garbled.
  bool garblesSyncAnswer();
  // One more command with this letter: the code it is to be refused with, or -1.
  int refusal(char letter);

  bool consoleNoise() const { return f_.consoleNoise; }

  std::int64_t bytesReceived() const { return bytes_; }

 private:
  Faults f_;
  std::uint64_t seed_;
  std::int64_t bytes_ = 0;
  int writeLines_ = 0;
  int replyLines_ = 0;
  int refusableCommands_ = 0;  // commands with the letter refuseLetter so far
  bool tableEraseFired_ = false;
  bool syncAnswerGarbled_ = false;
};

}  // namespace sim
