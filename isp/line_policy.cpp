#include "isp/line_policy.h"

#include <cstring>

#include "isp/device_line.h"
#include "support/clock.h"

t_LineBudget lineBudget{};
std::uint32_t lineHeldMs = 0;

std::uint32_t lineTimeoutMs() { return kLineTimeoutMs + lineHeldMs; }
std::uint32_t lineBlockAnswerMs() { return kBlockAnswerMs + lineHeldMs; }
std::uint32_t lineDrainQuietMs() { return kDrainQuietMs + lineHeldMs; }
std::uint32_t lineDrainLimitMs() { return kDrainLimitMs + lineHeldMs; }

void lineHeldMeasured(std::uint32_t ms) { lineHeldMs = ms < kLineHeldMostMs ? ms : kLineHeldMostMs; }

namespace {

constexpr int kDone = kActDone;
constexpr int kAgain = kActAskAgain;

// Rows: step kinds; columns: ok, refused, no reply, garbled, echo differs.
constexpr int kPolicy[kStepKinds][kExchangeOutcomes] = {
    // A refusal is asked again too: one flipped bit makes "0" read as "1", "2", "4" or "8".
    /* query */ {kDone, kAgain, kAgain, kAgain, kAgain},
    // The echo as sent means the bootloader copied the right block or nothing; only a copy
    // received otherwise may have gone to other pages, and its answer tells.
    /* copy */ {kDone, kActCompare, kActCompare, kActCompare, kActReadAnswer},
    /* erase */ {kDone, kAgain, kAgain, kAgain, kAgain},
    // Silence after a Go is the jump; a refusal or a spoilt answer shows the bootloader there.
    /* go */ {kDone, kAgain, kActRestartWatch, kAgain, kActReadAnswer},
    // "0" to another line: the bootloader has jumped from wherever that line said.
    /* go, other line */ {kActRestartWatch, kAgain, kActRestartWatch, kAgain, kActRestartWatch},
    // A refused "W" is asked again: it may be a "0" that lost a bit, the bootloader waiting for
    // data. One that arrived elsewhere rewinds when it reaches back over blocks in place.
    /* write command */ {kDone, kAgain, kAgain, kAgain, kActRewind},
    // RESEND after an echo that showed every line as sent: the bootloader waits for the block.
    /* write data */ {kDone, kActResend, kAgain, kAgain, kActReadAnswer},
    // A read block whose sum differs is asked for with RESEND; a damaged line, afresh.
    /* read data */ {kDone, kActResend, kAgain, kAgain, kAgain},
    // A block whose echo differed: RESEND means the bootloader found its sum wrong and waits
    // for the block again; "OK" means it took the block, which may still not be the one sent.
    // With its sum right, one character otherwise in the echo was most likely spoilt on its
    // way back, and the few bytes under it, read back, tell for certain.
    /* write data, echo differed */ {kActReadBack, kActResend, kAgain, kAgain, kAgain},
    // A Copy received with one bit otherwise names an address not on a page boundary or
    // outside the prepared sectors, or a count or command the bootloader does not take: it is
    // refused and programs nothing, so it is simply sent again. Anything else may have
    // programmed other pages.
    /* copy, other line */ {kActRewrite, kAgain, kActRewrite, kActRewrite, kActRewrite},
};

bool repeatsWork(int action) {
  return action == kActAskAgain || action == kActResend || action == kActRewrite ||
         action == kActRewind || action == kActCompare || action == kActNewCommand ||
         action == kActReadBack;
}

}  // namespace

int linePolicy(int stepKind, int outcome) {
  if (stepKind < 0 || stepKind >= kStepKinds || outcome < 0 || outcome >= kExchangeOutcomes) {
    return kActGiveUp;
  }
  const int action = kPolicy[stepKind][outcome];
  return repeatsWork(action) && lineBudgetSpent() ? kActGiveUp : action;
}

int lineAction(int stepKind, int outcome) {
  const int action = linePolicy(stepKind, outcome);
  const bool refusal = outcome == kExchangeRefused && lineBudget.refusal.fresh;
  lineBudget.refusal.fresh = false;
  if (action == kActGiveUp || !repeatsWork(action)) {
    if (action == kActDone) {
      lineBudget.refusedRun = 0;
      lineBudget.refusedAlike = false;
    }
    return action;
  }
  const bool silent =
      devLineSilent && (outcome == kExchangeNoReply || outcome == kExchangeEchoDiffers);
  // Refusals are told by what was refused, whether or not an update runs.
  lineBudget.refusedRun = refusal ? lineBudget.refusedRun + 1 : 0;
  if (lineBudget.refusedRun >= kRefusalsAlike) {
    lineBudget.refusedAlike = true;
    lineBudget.refusedBy = lineBudget.refusal;
  } else if (!refusal && !silent) {
    lineBudget.refusedAlike = false;
  }
  if (lineBudget.running) {
    ++lineBudget.repeated;
    lineBudget.silentRun = silent ? lineBudget.silentRun + 1 : 0;
    // A refusal not yet seen alike may be a "0" that a bit error made a code.
    lineBudget.spoilt += silent ? 0 : 1;
    lineBudget.exchangeWasted = true;
  }
  return lineBudgetSpent() ? kActGiveUp : action;
}

namespace {

int blockSizeIndex = 0;
std::uint32_t bytesThrough = 0;  // since the last spoilt block, or since the update started

}  // namespace

std::uint32_t lineBlockSize() { return kBlockSizes[blockSizeIndex]; }

void lineBlockCameThrough(std::uint32_t bytes) {
  bytesThrough = bytesThrough + bytes < bytesThrough ? UINT32_MAX : bytesThrough + bytes;
  while (blockSizeIndex > 0 && bytesThrough >= kBlockBreakEven[blockSizeIndex - 1]) {
    --blockSizeIndex;
  }
}

void lineBlockSpoilt() {
  if (blockSizeIndex < kBlockSizeCount - 1 && bytesThrough < kBlockBreakEven[blockSizeIndex]) {
    ++blockSizeIndex;
  }
  bytesThrough = 0;
}

void lineBudgetStart() {
  lineBudget = t_LineBudget{};
  lineBudget.running = true;
  lineBudget.exchangeStartMs = clockNow();
  blockSizeIndex = 0;
  bytesThrough = 0;
}

void lineBudgetEnd() {
  lineBudget.running = false;
  blockSizeIndex = 0;
  bytesThrough = 0;
}

namespace {

// The time wasted so far: the exchanges repeated before, and the one under way if it is one.
std::uint64_t wastedMs() {
  const std::uint32_t now = clockNow();
  return std::uint64_t{lineBudget.wastedMs} +
         (lineBudget.exchangeWasted ? std::uint32_t(now - lineBudget.exchangeStartMs) : 0u);
}

}  // namespace

void lineBudgetExchange() {
  lineBudget.refusal.fresh = false;
  if (lineBudget.running) {
    ++lineBudget.exchanges;
    const std::uint64_t wasted = wastedMs();
    lineBudget.wastedMs = wasted < UINT32_MAX ? static_cast<std::uint32_t>(wasted) : UINT32_MAX;
    lineBudget.exchangeStartMs = clockNow();
    lineBudget.exchangeWasted = false;
  }
}

bool lineBudgetSpent() {
  if (!lineBudget.running) {
    return false;
  }
  if (wastedMs() > kBudgetWastedMs) {
    return true;
  }
  return lineBudget.exchanges >= kBudgetJudgedAfter &&
         static_cast<std::uint64_t>(lineBudget.repeated) * 100u >
             static_cast<std::uint64_t>(lineBudget.exchanges) * kBudgetRepeatedPercent;
}

bool lineBudgetNoisy() {
  return lineBudget.running && lineBudget.spoilt > 0 && lineBudget.silentRun == 0 && !lineBudgetRefused();
}

void lineBudgetRefusal(const char* line, const char* code) {
  t_LineRefusal& refusal = lineBudget.refusal;
  // Another command or another code starts a new run of refusals.
  if (std::strncmp(refusal.line, line, sizeof refusal.line - 1) != 0 ||
      std::strncmp(refusal.code, code, sizeof refusal.code - 1) != 0) {
    lineBudget.refusedRun = 0;
  }
  std::strncpy(refusal.line, line, sizeof refusal.line - 1);
  refusal.line[sizeof refusal.line - 1] = '\0';
  std::strncpy(refusal.code, code, sizeof refusal.code - 1);
  refusal.code[sizeof refusal.code - 1] = '\0';
  refusal.fresh = true;
}

bool lineBudgetRefused() { return lineBudget.refusedAlike; }
