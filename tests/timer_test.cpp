// The interval timer's three regimes on the simulated clock.
#include "Timer.h"

#include <gtest/gtest.h>

#include "sim/kernel.h"

namespace {

class TimerTest : public ::testing::Test {
 protected:
  int64_t nowUs() const { return kernel.clock.now() / sim::kTicksPerUs; }
  // Calls expired() until it returns true; the number of false answers.
  static int falsesUntilExpired(CTimer& timer, int limit = 1000000) {
    int falses = 0;
    while (!timer.expired() && falses < limit) falses++;
    return falses;
  }
  sim::Kernel kernel;
};

TEST_F(TimerTest, StartComputesEveryField) {
  LARGE_INTEGER before;
  KeQuerySystemTime(&before);
  CTimer timer(1000);
  EXPECT_EQ(timer.Timeout, 1000u);
  EXPECT_EQ(timer.ClockTick, 15625u);
  EXPECT_EQ(timer.ShortCount, 200u);
  EXPECT_EQ(timer.MediumCount, 50u);
  EXPECT_EQ(timer.Deadline, before.QuadPart + (1000 + 15625) * 10);
}

TEST_F(TimerTest, ShortRegimeCountsFiveMicrosecondStalls) {
  CTimer zero(0);
  EXPECT_TRUE(zero.expired());
  EXPECT_EQ(nowUs(), 0);

  CTimer four(4);
  EXPECT_TRUE(four.expired());
  EXPECT_EQ(nowUs(), 0);

  CTimer five(5);
  EXPECT_FALSE(five.expired());
  EXPECT_EQ(nowUs(), 5);
  EXPECT_TRUE(five.expired());
  EXPECT_TRUE(five.expired());
  EXPECT_EQ(nowUs(), 5);

  CTimer handshake(200);
  EXPECT_EQ(falsesUntilExpired(handshake), 40);
  EXPECT_EQ(nowUs(), 5 + 200);

  CTimer limit(500);
  EXPECT_EQ(falsesUntilExpired(limit), 100);
}

TEST_F(TimerTest, MediumRegimeEndsAfterItsStallsWhenTheClockIsSlow) {
  CTimer timer(501);
  EXPECT_EQ(timer.MediumCount, 25u);
  EXPECT_EQ(falsesUntilExpired(timer), 25);
  EXPECT_EQ(nowUs(), 500);

  CTimer reply(5000);
  EXPECT_EQ(falsesUntilExpired(reply), 250);
}

TEST_F(TimerTest, MediumRegimeEndsAtTheDeadlineWhenTimeRunsAhead) {
  CTimer timer(5000);
  int falses = 0;
  while (!timer.expired()) {
    falses++;
    kernel.clock.advance(1000 * sim::kTicksPerUs);  // other work on the processor
  }
  EXPECT_LT(falses, 250);
  EXPECT_EQ(timer.MediumCount, 0u);
  int64_t at = nowUs();
  EXPECT_TRUE(timer.expired());
  EXPECT_EQ(nowUs(), at);  // no stall once expired
}

TEST_F(TimerTest, TickDecidesBetweenMediumAndLong) {
  CTimer atTick(15625);
  EXPECT_EQ(falsesUntilExpired(atTick), 15625 / 20);  // medium: counted out

  CTimer aboveTick(15626);
  int64_t start = nowUs();
  int falses = falsesUntilExpired(aboveTick);
  EXPECT_GT(falses, 0);
  // Long: no stalls, only the system time, which moves in whole ticks.
  EXPECT_EQ(nowUs(), start);
}

TEST_F(TimerTest, LongRegimeFollowsTheSystemTime) {
  CTimer timer(1000000);
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  for (int i = 0; i < 1000 && !timer.expired(); i++) {
    kernel.clock.advance(100 * sim::kTicksPerUs);
  }
  EXPECT_FALSE(timer.expired());
  while (!timer.expired()) kernel.clock.advance(1000 * sim::kTicksPerUs);
  LARGE_INTEGER end;
  KeQuerySystemTime(&end);
  EXPECT_GE(end.QuadPart - start.QuadPart, 10156250);
  EXPECT_LT(end.QuadPart - start.QuadPart, 10156250 + 156250);
}

TEST_F(TimerTest, SmallTickLeavesNoMediumRegime) {
  kernel.clock.setIncrement(5000);  // 500 us
  CTimer timer(501);
  EXPECT_EQ(timer.ClockTick, 500u);
  int64_t start = nowUs();
  EXPECT_FALSE(timer.expired());
  EXPECT_EQ(nowUs(), start);  // long regime: no stall
}

TEST_F(TimerTest, RestartRestoresCountsAndDeadline) {
  CTimer timer(10);
  EXPECT_EQ(falsesUntilExpired(timer), 2);
  EXPECT_TRUE(timer.expired());
  timer.start(10);
  EXPECT_EQ(timer.ShortCount, 2u);
  EXPECT_EQ(falsesUntilExpired(timer), 2);

  CTimer medium(1000);
  EXPECT_EQ(falsesUntilExpired(medium), 50);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  medium.start(1000);
  EXPECT_EQ(medium.MediumCount, 50u);
  EXPECT_EQ(medium.Deadline, now.QuadPart + (1000 + 15625) * 10);
}

TEST_F(TimerTest, WaitPassesTheWholeDelay) {
  CTimer timer(0);
  timer.wait(1000);
  EXPECT_EQ(nowUs(), 1000);
  timer.wait(200);
  EXPECT_EQ(nowUs(), 1200);
}

TEST_F(TimerTest, TimeoutsBeyondTheLimitNeverWrapIntoThePast) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  CTimer huge(0xFFFFFFFFu);
  EXPECT_GT(huge.Deadline, now.QuadPart);
  EXPECT_FALSE(huge.expired());
  CTimer edge(CTimer::kDeadlineLimitUs);
  EXPECT_GT(edge.Deadline, now.QuadPart);
  EXPECT_FALSE(edge.expired());
}

}  // namespace
