// Timers, deferred calls and IRQL on the simulated uniprocessor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform.h"
#include "sim/kernel.h"

namespace {

std::vector<std::string> g_ran;

VOID NTAPI record(PKDPC, PVOID context, PVOID, PVOID) { g_ran.push_back(static_cast<const char*>(context)); }

VOID NTAPI lowersItself(PKDPC, PVOID, PVOID, PVOID) { KfLowerIrql(PASSIVE_LEVEL); }

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() { g_ran.clear(); }
  void arm(KTIMER* timer, KDPC* dpc, const char* name, LONGLONG dueMs, LONG periodMs) {
    KeInitializeTimer(timer);
    KeInitializeDpc(dpc, record, const_cast<char*>(name));
    LARGE_INTEGER due;
    due.QuadPart = -dueMs * sim::kTicksPerMs;
    KeSetTimerEx(timer, due, periodMs, dpc);
  }
  void idleMs(int64_t ms) {
    kernel.scheduler.waitUntil([] { return false; }, kernel.clock.now() + ms * sim::kTicksPerMs);
  }
  std::vector<std::string> rules() const {
    std::vector<std::string> out;
    for (const auto& v : kernel.verifier.violations()) out.push_back(sim::ruleName(v.rule));
    return out;
  }
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
};

TEST_F(DispatcherTest, ExpiryWhileBusyAtDispatchLevelWaitsForTheLevelToDrop) {
  KTIMER timer;
  KDPC dpc;
  arm(&timer, &dpc, "poll", 1, 0);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KeStallExecutionProcessor(50000);  // 50 ms of busy waiting
  EXPECT_TRUE(g_ran.empty());
  EXPECT_EQ(kernel.dispatcher.queuedDpcs().size(), 1u);
  KfLowerIrql(old);
  EXPECT_EQ(g_ran, (std::vector<std::string>{"poll"}));
  EXPECT_FALSE(kernel.dispatcher.isArmed(&timer));
}

VOID NTAPI overrunsItsPeriod(PKDPC, PVOID context, PVOID, PVOID) {
  (*static_cast<int*>(context))++;
  KeStallExecutionProcessor(25000);  // 25 ms against a period of 10 ms
}

// The kernel re-inserts a periodic timer one period after it processed the
// expiry: a deferred call longer than the period runs again as soon as it
// can, but owes nothing for the expiries it overran.
TEST_F(DispatcherTest, PeriodicTimerOverrunByItsCallBuildsNoBacklog) {
  KTIMER timer;
  KDPC dpc;
  int runs = 0;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, overrunsItsPeriod, &runs);
  LARGE_INTEGER due;
  due.QuadPart = -10 * sim::kTicksPerMs;
  KeSetTimerEx(&timer, due, 10, &dpc);
  kernel.clock.setIncrement(10000);  // 1 ms ticks
  idleMs(1000);
  // At most one run per 25 ms of busy time, and no run after the span.
  EXPECT_GE(runs, 30);
  EXPECT_LE(runs, 40);
  int64_t end = kernel.clock.now();
  EXPECT_LT(end, 1100 * sim::kTicksPerMs);
  // Still overrunning: the next run is due and would run at the next point,
  // and so on for ever, as on a real processor.
  EXPECT_EQ(kernel.dispatcher.queuedDpcs().size(), 1u);
  kernel.dispatcher.cancelTimer(&timer);
  kernel.dispatcher.removeDpc(&dpc);
}

TEST_F(DispatcherTest, IdleTimeRunsExpiriesInDeadlineOrder) {
  KTIMER a, b, c;
  KDPC da, db, dc;
  arm(&a, &da, "a", 300, 0);
  arm(&b, &db, "b", 100, 0);
  arm(&c, &dc, "c", 200, 0);
  idleMs(1000);
  EXPECT_EQ(g_ran, (std::vector<std::string>{"b", "c", "a"}));
}

TEST_F(DispatcherTest, PeriodicTimerAndReplacedSchedule) {
  KTIMER timer;
  KDPC dpc;
  arm(&timer, &dpc, "tick", 500, 1000);
  idleMs(3600);  // 0.5, 1.5, 2.5, 3.5 s
  EXPECT_EQ(g_ran.size(), 4u);
  // Setting an armed timer replaces its schedule and says it was armed.
  LARGE_INTEGER due;
  due.QuadPart = -5000000;
  EXPECT_TRUE(KeSetTimerEx(&timer, due, 30000, &dpc));
  g_ran.clear();
  idleMs(29000);
  EXPECT_EQ(g_ran.size(), 1u);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  idleMs(60000);
  EXPECT_EQ(g_ran.size(), 1u);
}

TEST_F(DispatcherTest, ExpiryComesAtTheClockInterruptAfterTheDueTime) {
  KTIMER timer;
  KDPC dpc;
  kernel.clock.advance(1000 * sim::kTicksPerUs);  // off the tick grid
  arm(&timer, &dpc, "t", 500, 0);                 // due at 501 ms
  idleMs(513);
  EXPECT_TRUE(g_ran.empty());
  idleMs(2);  // past the tick at 515.625 ms
  EXPECT_EQ(g_ran.size(), 1u);
}

TEST_F(DispatcherTest, IrqlRulesAreReported) {
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, lowersItself, nullptr);
  LARGE_INTEGER due;
  due.QuadPart = -1;
  KeSetTimerEx(&timer, due, 0, &dpc);
  idleMs(20);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KfRaiseIrql(APC_LEVEL);       // raising downwards
  KfLowerIrql(DISPATCH_LEVEL);  // lowering upwards
  KfLowerIrql(old);
  EXPECT_EQ(rules(), (std::vector<std::string>{"IRQL_UNEXPECTED_VALUE", "IRQL_NOT_GREATER_OR_EQUAL",
                                               "IRQL_NOT_LESS_OR_EQUAL"}));
}

TEST_F(DispatcherTest, SpinLockRulesOnOneProcessor) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(&lock);  // held already: a deadlock
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeReleaseSpinLockFromDpcLevel(&lock);  // not held, and below DISPATCH_LEVEL
  EXPECT_EQ(rules(), (std::vector<std::string>{"SPIN_LOCK_ALREADY_OWNED", "IRQL_NOT_GREATER_OR_EQUAL",
                                               "SPIN_LOCK_NOT_OWNED"}));
}

// KeFlushQueuedDpcs returns once the calls queued before it have run; on one
// processor, at PASSIVE_LEVEL, none can be running, so they run in it.
TEST_F(DispatcherTest, FlushRunsTheQueuedCallsAndOnlyAtPassiveLevel) {
  KDPC first, second;
  KeInitializeDpc(&first, record, const_cast<char*>("first"));
  KeInitializeDpc(&second, record, const_cast<char*>("second"));
  kernel.dispatcher.queueDpc(&first);
  kernel.dispatcher.queueDpc(&second);
  KeFlushQueuedDpcs();
  EXPECT_EQ(g_ran, (std::vector<std::string>{"first", "second"}));
  EXPECT_TRUE(kernel.dispatcher.queuedDpcs().empty());
  int64_t now = kernel.clock.now();
  KeFlushQueuedDpcs();  // nothing queued: back at once
  EXPECT_EQ(kernel.clock.now(), now);
  EXPECT_TRUE(rules().empty());
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KeFlushQueuedDpcs();
  KfLowerIrql(old);
  EXPECT_EQ(rules(), (std::vector<std::string>{"IRQL_NOT_LESS_OR_EQUAL"}));
}

}  // namespace
