#include "sim/faults.h"

#include <cstdio>

namespace sim {

namespace {
bool strikes(int fault, std::uint32_t number) {
  return fault > 0 && number == static_cast<std::uint32_t>(fault);
}
}  // namespace

std::string strikeByte(std::string* bytes, std::size_t at, int bit) {
  const auto was = static_cast<unsigned char>((*bytes)[at]);
  char words[48];
  if (bit < 0) {
    bytes->erase(at, 1);
    std::snprintf(words, sizeof words, "byte %zu (0x%02X) is lost", at, was);
  } else {
    (*bytes)[at] = static_cast<char>(was ^ (1u << bit));
    std::snprintf(words, sizeof words, "byte %zu (0x%02X) leaves as 0x%02X", at, was,
                  static_cast<unsigned char>((*bytes)[at]));
  }
  return words;
}

std::uint64_t SeededChoice::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint32_t SeededChoice::between(std::uint32_t lo, std::uint32_t hi) {
  std::uint64_t span = static_cast<std::uint64_t>(hi) - lo + 1;
  return lo + static_cast<std::uint32_t>(next() % span);
}

bool FaultPlan::powerFailsWithByte() {
  ++bytes_;
  return f_.powerLossAfterBytes >= 0 && bytes_ == f_.powerLossAfterBytes;
}

FlashCut FaultPlan::aroundErase(std::uint32_t eraseNumber) const {
  if (strikes(f_.powerLossBeforeErase, eraseNumber)) return FlashCut::Before;
  if (strikes(f_.tornErase, eraseNumber)) return FlashCut::Torn;
  if (strikes(f_.powerLossAfterErase, eraseNumber)) return FlashCut::After;
  return FlashCut::None;
}

FlashCut FaultPlan::beforeCopy(std::uint32_t copyNumber) const {
  if (strikes(f_.powerLossBeforeCopy, copyNumber)) return FlashCut::Before;
  if (strikes(f_.tornCopy, copyNumber)) return FlashCut::Torn;
  return FlashCut::None;
}

SeededChoice FaultPlan::tornChoices(char operation, std::uint32_t number) const {
  // Each operation draws from a stream of its own, so one fault's choices do not depend on
  // which other faults were asked for.
  std::uint64_t kind = static_cast<std::uint64_t>(static_cast<unsigned char>(operation)) << 56;
  SeededChoice mix(seed_ ^ kind ^ (static_cast<std::uint64_t>(number) << 24));
  return SeededChoice(mix.next());
}

bool FaultPlan::garblesSyncAnswer() {
  if (!f_.garbledFirstAnswer || syncAnswerGarbled_) return false;
  syncAnswerGarbled_ = true;
  return true;
}

int FaultPlan::refusal(char letter) {
  if (f_.refuseLetter == 0 || letter != f_.refuseLetter) return -1;
  ++refusableCommands_;
  if (f_.refuseFrom <= 0 || refusableCommands_ < f_.refuseFrom ||
      refusableCommands_ - f_.refuseFrom >= f_.refuseTimes)
    return -1;
  return f_.refuseCode;
}

AfterCopy FaultPlan::afterCopy(std::uint32_t copyNumber) const {
  if (f_.powerLossAfterCopy > 0 && copyNumber == static_cast<std::uint32_t>(f_.powerLossAfterCopy))
    return AfterCopy::PowerLoss;
  if (f_.vanishAfterCopy > 0 && copyNumber == static_cast<std::uint32_t>(f_.vanishAfterCopy))
    return AfterCopy::Vanish;
  return AfterCopy::Nothing;
}

bool FaultPlan::weakCellIn(std::uint32_t copyNumber) const {
  return f_.weakCellCopy > 0 && copyNumber == static_cast<std::uint32_t>(f_.weakCellCopy);
}

bool FaultPlan::corruptNextWriteLine() {
  ++writeLines_;
  return f_.corruptWriteLine > 0 && writeLines_ == f_.corruptWriteLine;
}

LineFate FaultPlan::nextReplyLine() {
  ++replyLines_;
  if (f_.dropReplyLine > 0 && replyLines_ == f_.dropReplyLine) return LineFate::Drop;
  if (f_.delayReplyLine > 0 && replyLines_ == f_.delayReplyLine) return LineFate::Delay;
  return LineFate::Send;
}

bool FaultPlan::powerFailsAfterTableErase() {
  if (!f_.powerLossBeforeTableWrite || tableEraseFired_) return false;
  tableEraseFired_ = true;
  return true;
}

}  // namespace sim
