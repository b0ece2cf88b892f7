#include "isp/line_policy.h"

#include "isp/device_line.h"
#include "support/clock.h"

t_LineBudget lineBudget{};

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

int lineAction(int stepKind, int outcome) {
  if (stepKind < 0 || stepKind >= kStepKinds || outcome < 0 || outcome >= kExchangeOutcomes) {
    return kActGiveUp;
  }
  const int action = kPolicy[stepKind][outcome];
  if (!repeatsWork(action)) {
    return action;
  }
  if (lineBudget.running) {
    ++lineBudget.repeated;
    const bool silent =
        devLineSilent && (outcome == kExchangeNoReply || outcome == kExchangeEchoDiffers);
    lineBudget.silentRun = silent ? lineBudget.silentRun + 1 : 0;
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
  lineBudget = t_LineBudget{true, clockNow(), 0, 0, 0};
  blockSizeIndex = 0;
  bytesThrough = 0;
}

void lineBudgetEnd() {
  lineBudget.running = false;
  blockSizeIndex = 0;
  bytesThrough = 0;
}

void lineBudgetExchange() {
  if (lineBudget.running) {
    ++lineBudget.exchanges;
  }
}

bool lineBudgetSpent() {
  if (!lineBudget.running) {
    return false;
  }
  if (clockExpired(lineBudget.startMs, kBudgetMs)) {
    return true;
  }
  return lineBudget.exchanges >= kBudgetJudgedAfter &&
         static_cast<std::uint64_t>(lineBudget.repeated) * 100u >
             static_cast<std::uint64_t>(lineBudget.exchanges) * kBudgetRepeatedPercent;
}

bool lineBudgetNoisy() {
  return lineBudget.running && lineBudget.repeated > 0 && lineBudget.silentRun == 0;
}
