// The update's budget: what spends it, and what the policy does once it is spent.
#include <gtest/gtest.h>

#include <vector>

#include "isp/device_line.h"
#include "isp/line_policy.h"
#include "support/clock.h"

namespace {

class Budget : public ::testing::Test {
 protected:
  void TearDown() override { lineBudgetEnd(); }
  // n exchanges, every one of which the line spoilt once with the given outcome.
  void spoil(std::uint32_t n, int outcome) {
    for (std::uint32_t i = 0; i < n; ++i) {
      lineBudgetExchange();
      lineAction(kStepQuery, outcome);
    }
  }
};

// Outside an update nothing is counted and nothing is ever spent.
TEST_F(Budget, CountsOnlyWhileAnUpdateRuns) {
  lineBudgetEnd();
  spoil(2 * kBudgetJudgedAfter, kExchangeGarbled);
  EXPECT_FALSE(lineBudgetSpent());
  EXPECT_EQ(lineAction(kStepQuery, kExchangeGarbled), kActAskAgain);
}

// A share of repeats above the limit spends the budget, but only once enough exchanges have
// been made for the share to say something; then every repeat becomes giving up, while an
// exchange that came through is still done.
TEST_F(Budget, ASpentBudgetTurnsEveryRepeatIntoGivingUp) {
  lineBudgetStart();
  spoil(kBudgetJudgedAfter - 1, kExchangeGarbled);
  EXPECT_FALSE(lineBudgetSpent()) << "judged before enough exchanges";
  lineBudgetStart();
  const std::uint32_t allowed = kBudgetJudgedAfter * kBudgetRepeatedPercent / 100;
  spoil(allowed, kExchangeEchoDiffers);
  for (std::uint32_t i = allowed; i < kBudgetJudgedAfter; ++i) lineBudgetExchange();
  EXPECT_FALSE(lineBudgetSpent()) << lineBudget.repeated << " of " << lineBudget.exchanges;
  EXPECT_EQ(lineAction(kStepWriteData, kExchangeRefused), kActGiveUp);
  EXPECT_TRUE(lineBudgetSpent());
  EXPECT_EQ(lineAction(kStepQuery, kExchangeOk), kActDone);
  EXPECT_EQ(lineAction(kStepCopy, kExchangeEchoDiffers), kActReadAnswer) << "not a repeat";
  EXPECT_EQ(lineAction(kStepCopyOtherLine, kExchangeRefused), kActGiveUp);
  EXPECT_EQ(lineAction(kStepGo, kExchangeNoReply), kActRestartWatch) << "not a repeat";
  lineBudgetEnd();
  EXPECT_FALSE(lineBudgetSpent());
}

// Repeats after which nothing at all came back are a silent line, not a noisy one.
TEST_F(Budget, SilenceIsToldApartFromNoise) {
  lineBudgetStart();
  EXPECT_FALSE(lineBudgetNoisy()) << "nothing repeated yet";
  devLineSilent = false;
  spoil(1, kExchangeGarbled);
  EXPECT_TRUE(lineBudgetNoisy());
  devLineSilent = true;
  spoil(1, kExchangeEchoDiffers);
  EXPECT_FALSE(lineBudgetNoisy());
  devLineSilent = false;
  spoil(1, kExchangeNoReply);
  EXPECT_TRUE(lineBudgetNoisy());
}

// The budget counts the time of the exchanges that had to be repeated, never that of slow ones
// that came through: a link that holds every answer back is not a noisy one.
TEST_F(Budget, CountsTheTimeOfRepeatedExchangesOnly) {
  lineBudgetStart();
  for (const int outcome : {kExchangeOk, kExchangeGarbled, kExchangeOk}) {
    lineBudgetExchange();
    clockDelay(40);
    lineAction(kStepQuery, outcome);
  }
  lineBudgetExchange();
  EXPECT_GE(lineBudget.wastedMs, 40u);
  EXPECT_LT(lineBudget.wastedMs, 80u) << "the slow exchanges that came through were counted";
  EXPECT_FALSE(lineBudgetSpent());
}

// The same command refused alike twice in a row, its echo exact, is the bootloader's refusal,
// not noise; codes that differ, or a spoilt answer between, may be a "0" that a bit error
// made a code.
TEST_F(Budget, RefusalsAlikeAreTheBootloadersOwn) {
  const struct { std::vector<const char*> codes; bool refused; } cases[] = {
      {{"19", "19"}, true}, {{"19", "19", "19"}, true}, {{"19"}, false},
      {{"19", "7"}, false}, {{"19", nullptr, "19"}, false},
  };
  for (const auto& c : cases) {
    lineBudgetStart();
    devLineSilent = false;
    for (const char* code : c.codes) {
      lineBudgetExchange();
      if (code != nullptr) lineBudgetRefusal("P 0 14 0", code);
      lineAction(kStepQuery, code != nullptr ? kExchangeRefused : kExchangeGarbled);
    }
    EXPECT_EQ(lineBudgetRefused(), c.refused) << c.codes.size() << " answers";
    EXPECT_EQ(lineBudgetNoisy(), !c.refused) << c.codes.size() << " answers";
    EXPECT_STREQ(lineBudget.refusedBy.code, c.refused ? "19" : "");
  }
  lineBudgetStart();
  for (int i = 0; i < 2; ++i) {
    lineBudgetRefusal("P 0 14 0", "19");
    lineAction(kStepQuery, kExchangeRefused);
  }
  lineAction(kStepQuery, kExchangeOk);
  EXPECT_FALSE(lineBudgetRefused()) << "a command that went through ends the refusals";
}

// Outcomes and kinds the table does not have give up rather than read outside it.
TEST_F(Budget, UnknownStepsAndOutcomesGiveUp) {
  EXPECT_EQ(lineAction(kStepKinds, kExchangeOk), kActGiveUp);
  EXPECT_EQ(lineAction(-1, kExchangeOk), kActGiveUp);
  EXPECT_EQ(lineAction(kStepQuery, kExchangeOutcomes), kActGiveUp);
  EXPECT_EQ(lineAction(kStepQuery, -1), kActGiveUp);
}

}  // namespace

namespace {

// The block size follows how far apart the spoilt blocks come: one after another on a bad line
// down to a single data line; one now and then on a line with a bit error in 10^5 (a spoilt
// block of 900 bytes every 4,500 bytes or so) stays at the sizes that cost least there; a rare
// one on a good line leaves whole blocks.
TEST(BlockSize, FollowsTheSpacingOfSpoiltBlocks) {
  lineBudgetStart();
  EXPECT_EQ(lineBlockSize(), 900u) << "a new update starts whole";
  lineBlockCameThrough(900);
  for (const std::uint32_t next : {440u, 176u, 88u, 44u, 44u}) {
    lineBlockSpoilt();
    EXPECT_EQ(lineBlockSize(), next) << "one spoilt block after another";
  }
  for (int i = 0; i < 6; ++i) lineBlockCameThrough(44);
  EXPECT_EQ(lineBlockSize(), 88u) << "264 bytes in a row came through";

  // Spoilt blocks some 4,500 bytes apart: never whole blocks again, never single lines.
  lineBudgetStart();
  for (int spoilt = 0; spoilt < 20; ++spoilt) {
    for (std::uint32_t through = 0; through < 4500; through += lineBlockSize())
      lineBlockCameThrough(lineBlockSize());
    if (spoilt > 0) {
      EXPECT_NE(lineBlockSize(), 900u) << spoilt;
    }
    lineBlockSpoilt();
    EXPECT_TRUE(lineBlockSize() == 440u || lineBlockSize() == 176u) << spoilt << ": " << lineBlockSize();
  }

  // One spoilt block after 30,000 bytes, and another after as many again: whole blocks stay.
  lineBudgetStart();
  for (int spoilt = 0; spoilt < 2; ++spoilt) {
    for (int i = 0; i < 34; ++i) lineBlockCameThrough(900);
    lineBlockSpoilt();
    EXPECT_EQ(lineBlockSize(), 900u);
  }
  lineBudgetEnd();
  EXPECT_EQ(lineBlockSize(), 900u) << "the next update starts whole";
}

}  // namespace
