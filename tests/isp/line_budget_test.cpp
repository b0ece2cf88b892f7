// The update's budget: what spends it, and what the policy does once it is spent.
#include <gtest/gtest.h>

#include "isp/device_line.h"
#include "isp/line_policy.h"

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
  EXPECT_EQ(lineAction(kStepCopy, kExchangeEchoDiffers), kActGiveUp);
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

// Outcomes and kinds the table does not have give up rather than read outside it.
TEST_F(Budget, UnknownStepsAndOutcomesGiveUp) {
  EXPECT_EQ(lineAction(kStepKinds, kExchangeOk), kActGiveUp);
  EXPECT_EQ(lineAction(-1, kExchangeOk), kActGiveUp);
  EXPECT_EQ(lineAction(kStepQuery, kExchangeOutcomes), kActGiveUp);
  EXPECT_EQ(lineAction(kStepQuery, -1), kActGiveUp);
}

}  // namespace
