// The interval timer's three regimes on the simulated clock.
#include "Timer.h"

#include <gtest/gtest.h>

#include "sim/kernel.h"

namespace {

class TimerTest : public ::testing::Test {
 protected:
  int64_t nowUs() const { return kernel.clock.now() / sim::kTicksPerUs; }
  // Virtual time in 100 ns units; each look at the clock costs one.
  int64_t nowTicks() const { return kernel.clock.now(); }
  // Calls expired() until it returns true; the number of false answers.
  static int falsesUntilExpired(CTimer& timer, int limit = 1000000) {
    int falses = 0;
    while (!timer.expired() && falses < limit) falses++;
    return falses;
  }
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
};

TEST_F(TimerTest, StartComputesEveryFieldOnTheInterruptTime) {
  kernel.clock.advance(3 * 156250 + 77);  // three ticks and a bit after boot
  CTimer timer(1000);
  EXPECT_EQ(timer.Timeout, 1000u);
  EXPECT_EQ(timer.ClockTick, 15625u);
  EXPECT_EQ(timer.ShortCount, 200u);
  EXPECT_EQ(timer.MediumCount, 50u);
  EXPECT_EQ(timer.Deadline, 3 * 156250 + (1000 + 15625) * 10);
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
  // 25 stalls, and a look at the clock at the start and before each stall.
  EXPECT_EQ(nowTicks(), 500 * sim::kTicksPerUs + 26 * sim::Clock::kReadCost);

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

  // Long: no stalls, only the clock, and each look at it takes time, so a
  // loop that does nothing else still ends at the deadline's tick.
  CTimer aboveTick(15626);
  int64_t deadline = aboveTick.Deadline;
  int falses = falsesUntilExpired(aboveTick, 100000000);
  EXPECT_GT(falses, 0);
  EXPECT_GE(kernel.clock.interruptTime(), deadline);
  EXPECT_LT(kernel.clock.interruptTime(), deadline + 156250);
}

TEST_F(TimerTest, EveryWaitOnTheClockAloneEndsWithAHugeTick) {
  kernel.clock.setIncrement(99990000);  // a tick of about 10 s
  CTimer timer(0);
  timer.wait(15626);  // medium: counted out in stalls
  EXPECT_EQ(nowUs(), 15620 + 782 / 10);
  kernel.clock.setIncrement(1000);  // a tick of 100 us
  timer.wait(1000000);              // long: only the clock
  EXPECT_GE(nowUs(), 1000000);
  EXPECT_LT(nowUs(), 1000000 + 16000 + 300);
}

TEST_F(TimerTest, LongRegimeFollowsTheInterruptTime) {
  int64_t start = static_cast<int64_t>(KeQueryInterruptTime());
  CTimer timer(1000000);
  for (int i = 0; i < 1000 && !timer.expired(); i++) {
    kernel.clock.advance(100 * sim::kTicksPerUs);
  }
  EXPECT_FALSE(timer.expired());
  while (!timer.expired()) kernel.clock.advance(1000 * sim::kTicksPerUs);
  int64_t end = static_cast<int64_t>(KeQueryInterruptTime());
  EXPECT_GE(end - start, 10156250);
  EXPECT_LT(end - start, 10156250 + 156250);
}

// Setting the clock moves the system time only: a wait neither lasts the
// hour the clock went back nor ends early when it jumps ahead.
TEST_F(TimerTest, SettingTheClockNeitherStretchesNorShortensAWait) {
  constexpr int64_t kHour = 3600LL * 1000 * sim::kTicksPerMs;
  kernel.clock.step(-kHour, 500 * sim::kTicksPerMs);
  LARGE_INTEGER before;
  KeQuerySystemTime(&before);
  CTimer back(0);
  back.wait(1000000);
  LARGE_INTEGER after;
  KeQuerySystemTime(&after);
  EXPECT_LT(after.QuadPart, before.QuadPart);  // the clock did go back
  EXPECT_LT(nowUs(), 1000000 + 2 * 15625 + 100);

  kernel.clock.step(kHour, kernel.clock.now() + 300 * sim::kTicksPerMs);
  int64_t start = nowUs();
  CTimer ahead(0);
  ahead.wait(1000000);
  EXPECT_GE(nowUs() - start, 1000000);
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
  int64_t now = kernel.clock.interruptTime();
  medium.start(1000);
  EXPECT_EQ(medium.MediumCount, 50u);
  EXPECT_EQ(medium.Deadline, now + (1000 + 15625) * 10);
}

TEST_F(TimerTest, WaitPassesTheWholeDelay) {
  CTimer timer(0);   // one look at the clock
  timer.wait(1000);  // one more at the start, then one before each stall
  EXPECT_EQ(nowTicks(), 1000 * sim::kTicksPerUs + 52 * sim::Clock::kReadCost);
  int64_t start = nowTicks();
  timer.wait(200);
  EXPECT_EQ(nowTicks() - start, 200 * sim::kTicksPerUs + sim::Clock::kReadCost);
}

TEST_F(TimerTest, TimeoutsBeyondTheLimitNeverWrapIntoThePast) {
  int64_t now = kernel.clock.interruptTime();
  CTimer huge(0xFFFFFFFFu);
  EXPECT_GT(huge.Deadline, now);
  EXPECT_FALSE(huge.expired());
  CTimer edge(CTimer::kDeadlineLimitUs);
  EXPECT_GT(edge.Deadline, now);
  EXPECT_FALSE(edge.expired());
}

// The interrupt time stands still for a whole tick; a deadline that falls
// on a tick is reached when the clock reads it, not a tick later. One tick
// (medium regime) and two ticks (long regime) put the deadline on a tick.
TEST_F(TimerTest, AClockStoppedOnTheDeadlineTickHasExpired) {
  const sim::Ticks tick = kernel.clock.increment();
  for (ULONG us : {15625u, 31250u}) {
    kernel.clock.advance(tick - kernel.clock.now() % tick);  // on a tick
    CTimer timer(us);
    ASSERT_EQ(timer.Deadline % tick, 0) << us;
    // Read just before the deadline tick, the clock still shows the tick
    // before (the medium regime then stalls into the deadline tick).
    kernel.clock.advance(timer.Deadline - kernel.clock.now() - sim::Clock::kReadCost - 1);
    EXPECT_FALSE(timer.expired()) << us;
    ASSERT_LT(kernel.clock.now(), timer.Deadline + tick) << us;
    // Stopped on the deadline tick: every read shows it, and the first one
    // ends the wait without another stall.
    kernel.clock.advance(timer.Deadline - kernel.clock.now());
    const sim::Ticks at = kernel.clock.now();
    EXPECT_TRUE(timer.expired()) << us;
    EXPECT_EQ(kernel.clock.interruptTime(), timer.Deadline);
    EXPECT_EQ(kernel.clock.now(), at + sim::Clock::kReadCost) << us;
    EXPECT_TRUE(timer.expired()) << us;
  }
}

}  // namespace

namespace {

// A wait that never sees its line, each look one bus access of a
// microsecond, as the driver's line waits are.
int64_t waitForNothingTicks(sim::Kernel& kernel, ULONG us) {
  const sim::Ticks start = kernel.clock.now();
  CTimer timer(us);
  while (true) {
    kernel.stall(sim::kTicksPerUs);  // the look at the line
    if (timer.expired()) break;
  }
  return kernel.clock.now() - start;
}

}  // namespace

// The bound on a wait covers every look, stall and clock read of its
// regime, and the clock's own coarseness beyond one tick; it is tight
// enough that a forgotten term shows. Its only slack: a clock read counts
// a whole microsecond (the simulated one takes a tenth), and beyond one
// tick the start may fall anywhere in a tick.
TEST_F(TimerTest, BoundCoversEveryRegimeAndIsTight) {
  for (uint32_t increment : {156250u, 100000u, 10000u}) {
    kernel.clock.setIncrement(increment);
    for (ULONG us : {0u, 4u, 5u, 200u, 500u, 501u, 5000u, 10000u, 15625u, 15626u, 100000u, 1000000u}) {
      // Start anywhere in a tick: the worst case starts just after one.
      for (sim::Ticks offset : {sim::Ticks{1}, static_cast<sim::Ticks>(increment) - 1}) {
        kernel.clock.advance(increment - kernel.clock.now() % increment + offset);
        const int64_t measured = waitForNothingTicks(kernel, us);
        const int64_t bound = static_cast<int64_t>(CTimer::boundUs(us, increment, 1)) * sim::kTicksPerUs;
        EXPECT_LE(measured, bound) << us << " us, increment " << increment << ", offset " << offset;
        const bool longWait = us > increment / 10;
        const bool mediumWait = !longWait && us > CTimer::kShortLimitUs;
        const int64_t slack = longWait     ? increment + 4 * sim::kTicksPerUs
                              : mediumWait ? static_cast<int64_t>(us / CTimer::kMediumStallUs) * 9 + 20
                                           : 2 * sim::kTicksPerUs;
        EXPECT_LE(bound - measured, slack) << us << " us, increment " << increment << ", offset " << offset;
      }
    }
  }
  EXPECT_EQ(CTimer::boundUs(0xFFFFFFFFu, 156250, 1), 214748364u + 15625u + 3u);  // saturated span
}
