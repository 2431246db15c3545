// Tests of the schedule of later passes against a clock the test moves.
#include "rotate/cycle.h"

#include <gtest/gtest.h>

namespace {

TEST(ReplacementSchedule, TimeSpentReplacingDoesNotAddUp) {
  ReplacementSchedule schedule;
  // The first pass ends at 1000; every replacement then takes 7 ms.
  uint64_t now = 1000;
  for (int k = 1; k <= 50; ++k) {
    uint32_t wait = schedule.WaitBeforeNext(2000, now);
    now += wait;
    EXPECT_EQ(now, 1000u + 2000u * static_cast<uint64_t>(k)) << "replacement " << k;
    now += 7;
  }
}

TEST(ReplacementSchedule, LateReplacementIsNotCaughtUpInABurst) {
  ReplacementSchedule schedule;
  EXPECT_EQ(schedule.WaitBeforeNext(1000, 0), 1000u);
  // The replacement due at 1000 takes until 3500: the next is due at once,
  // and the one after a whole step later.
  EXPECT_EQ(schedule.WaitBeforeNext(1000, 3500), 0u);
  EXPECT_EQ(schedule.WaitBeforeNext(1000, 3600), 900u);
  // Exactly on time is no wait.
  EXPECT_EQ(schedule.WaitBeforeNext(1000, 5500), 0u);
}

TEST(ReplacementSchedule, ZeroStepNeverWaits) {
  ReplacementSchedule schedule;
  EXPECT_EQ(schedule.WaitBeforeNext(0, 10), 0u);
  EXPECT_EQ(schedule.WaitBeforeNext(0, 11), 0u);
}

}  // namespace
