// The simulated kernel on several processors: deferred calls, spin locks,
// the device queue, and the verifier rules that only several processors
// can break, each broken on purpose by a small driver.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "sim/kernel.h"

namespace {

struct Extension {
  KSPIN_LOCK lock;
  KTIMER timer;
  KDPC dpc;
};

PDEVICE_OBJECT g_device;
bool g_deferredStartIo;
bool g_flushInUnload;
int g_dpcRuns;
bool g_dpcStarted;
bool g_dpcHoldsLock;
sim::Ticks g_dpcStall;
std::vector<PIRP> g_held;

Extension* ext() { return static_cast<Extension*>(g_device->DeviceExtension); }

// Takes the device's lock, stalls, and lets it go.
VOID NTAPI deferred(PKDPC, PVOID context, PVOID, PVOID) {
  auto* e = static_cast<Extension*>(context);
  g_dpcStarted = true;
  if (g_dpcHoldsLock) KefAcquireSpinLockAtDpcLevel(&e->lock);
  for (sim::Ticks t = 0; t < g_dpcStall; t += 10) KeStallExecutionProcessor(10);
  if (g_dpcHoldsLock) KefReleaseSpinLockFromDpcLevel(&e->lock);
  g_dpcRuns++;
}

// The first request is held (the device stays busy); every later one
// completes at once and starts the next.
VOID NTAPI startIo(PDEVICE_OBJECT device, PIRP irp) {
  if (g_held.empty()) {
    g_held.push_back(irp);
    return;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  IoStartNextPacket(device, FALSE);
}

NTSTATUS NTAPI control(PDEVICE_OBJECT device, PIRP irp) {
  IoMarkIrpPending(irp);
  IoStartPacket(device, irp, nullptr, nullptr);
  return STATUS_PENDING;
}

VOID NTAPI unload(PDRIVER_OBJECT) {
  KeCancelTimer(&ext()->timer);
  KeRemoveQueueDpc(&ext()->dpc);
  if (g_flushInUnload) KeFlushQueuedDpcs();
  IoDeleteDevice(g_device);
}

NTSTATUS NTAPI entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Test0");
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
  if (!NT_SUCCESS(status)) return status;
  if (g_deferredStartIo) IoSetStartIoAttributes(g_device, TRUE, FALSE);
  KeInitializeSpinLock(&ext()->lock);
  KeInitializeTimer(&ext()->timer);
  KeInitializeDpc(&ext()->dpc, deferred, ext());
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
  driver->DriverStartIo = startIo;
  driver->DriverUnload = unload;
  return STATUS_SUCCESS;
}

class ConcurrencyTest : public ::testing::Test {
 protected:
  ConcurrencyTest() {
    g_deferredStartIo = false;
    g_flushInUnload = false;
    g_dpcRuns = 0;
    g_dpcStarted = false;
    g_dpcHoldsLock = false;
    g_dpcStall = 0;
    g_held.clear();
  }
  void load(int processors) {
    kernel.scheduler.setProcessors(processors);
    ASSERT_EQ(kernel.io.load("TEST", entry), STATUS_SUCCESS);
  }
  // Arms the timer to expire `ms` from now.
  void arm(int ms) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * sim::kTicksPerMs;
    KeSetTimerEx(&ext()->timer, due, 0, &ext()->dpc);
  }
  void send(int count) {
    for (int i = 0; i < count; i++) kernel.io.deviceControl(g_device, 0x222004, {}, 0, 0, false, nullptr);
  }
  std::vector<std::string> reported(sim::Rule rule) const {
    std::vector<std::string> found;
    for (const auto& v : kernel.verifier.violations()) {
      if (v.rule == rule) found.push_back(v.detail);
    }
    return found;
  }
  void stall(int us) {
    for (int t = 0; t < us; t += 10) KeStallExecutionProcessor(10);
  }

  sim::Kernel kernel;
  sim::Kernel::Scope active{kernel};
};

// A timer that expires while its processor runs at DISPATCH_LEVEL queues
// the call; on one processor it runs only once the level drops.
TEST_F(ConcurrencyTest, ADeferredCallWaitsForItsProcessorToDropBelowDispatch) {
  load(1);
  kernel.scheduler.spawn([] {});  // a second thread: the scheduler runs the calls
  arm(5);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  stall(20000);
  EXPECT_EQ(g_dpcRuns, 0);
  EXPECT_EQ(kernel.dispatcher.queuedDpcs().size(), 1u);
  // Queued once only: a second insertion of a queued call is refused.
  EXPECT_FALSE(KeInsertQueueDpc(&ext()->dpc, nullptr, nullptr));
  KfLowerIrql(old);
  for (int i = 0; i < 100000 && g_dpcRuns == 0; i++) KeStallExecutionProcessor(10);
  EXPECT_EQ(g_dpcRuns, 1);
}

// With two processors the other one takes the call at once, while this one
// stays at DISPATCH_LEVEL; a call that has started can no longer be removed.
TEST_F(ConcurrencyTest, AnotherProcessorTakesTheCallAndItCannotBeRemovedOnceRunning) {
  load(2);
  g_dpcStall = 5000;
  arm(1);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  while (!g_dpcStarted) KeStallExecutionProcessor(10);
  EXPECT_FALSE(KeRemoveQueueDpc(&ext()->dpc));
  KfLowerIrql(old);
  kernel.scheduler.waitUntil([] { return g_dpcRuns == 1; }, kernel.clock.now() + 100 * sim::kTicksPerMs);
  EXPECT_EQ(g_dpcRuns, 1);
  // Once it has run it can be queued again, and it runs again.
  EXPECT_TRUE(KeInsertQueueDpc(&ext()->dpc, nullptr, nullptr));
  kernel.scheduler.waitUntil([] { return g_dpcRuns == 2; }, kernel.clock.now() + 100 * sim::kTicksPerMs);
  EXPECT_EQ(g_dpcRuns, 2);
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

// A processor that wants a held lock spins until the holder lets go, and
// the time it spun is measured.
TEST_F(ConcurrencyTest, ALockHeldOnOneProcessorSpinsTheOther) {
  load(2);
  g_dpcHoldsLock = true;
  g_dpcStall = 100000;  // ten thousand points: longer than any stretch the scheduler gives one thread
  arm(1);
  // At DISPATCH_LEVEL this processor cannot take the call itself.
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  while (ext()->lock == 0 && g_dpcRuns == 0) KeStallExecutionProcessor(10);
  KefAcquireSpinLockAtDpcLevel(&ext()->lock);
  EXPECT_EQ(g_dpcRuns, 1);  // the call finished before the lock was had
  KefReleaseSpinLockFromDpcLevel(&ext()->lock);
  KfLowerIrql(old);
  EXPECT_GT(kernel.scheduler.longestSpin(), 0);
  EXPECT_LE(kernel.scheduler.longestSpin(), 100000 * sim::kTicksPerUs);
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

TEST_F(ConcurrencyTest, ALockTakenTwiceOnOneProcessorIsReported) {
  load(2);
  KIRQL old;
  KeAcquireSpinLock(&ext()->lock, &old);
  KefAcquireSpinLockAtDpcLevel(&ext()->lock);
  auto found = reported(sim::Rule::SpinLockAlreadyOwned);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].find("acquired again on processor 0"), std::string::npos) << found[0];
  KeReleaseSpinLock(&ext()->lock, old);
}

// The lock taken on processor 0 and released by the call on processor 1.
TEST_F(ConcurrencyTest, ALockReleasedOnAnotherProcessorIsReported) {
  load(2);
  KIRQL old;
  KeAcquireSpinLock(&ext()->lock, &old);
  struct Releaser {
    static VOID NTAPI run(PKDPC, PVOID context, PVOID, PVOID) {
      KefReleaseSpinLockFromDpcLevel(&static_cast<Extension*>(context)->lock);
      g_dpcRuns++;
    }
  };
  KeInitializeDpc(&ext()->dpc, Releaser::run, ext());
  arm(1);
  while (g_dpcRuns == 0) KeStallExecutionProcessor(10);
  KfLowerIrql(old);
  auto found = reported(sim::Rule::SpinLockNotOwned);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].find("released on processor 1, taken on processor 0"), std::string::npos) << found[0];
}

TEST_F(ConcurrencyTest, TheDpcLevelAcquireBelowDispatchIsReported) {
  load(1);
  KefAcquireSpinLockAtDpcLevel(&ext()->lock);
  auto found = reported(sim::Rule::IrqlNotGreaterOrEqual);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], "KeAcquireSpinLockAtDpcLevel at IRQL 0");
}

// Completing a request or starting the next one with a spin lock held.
TEST_F(ConcurrencyTest, IoCallsWithALockHeldAreReported) {
  load(1);
  send(1);  // held by the start-I/O routine
  ASSERT_EQ(g_held.size(), 1u);
  KIRQL old;
  KeAcquireSpinLock(&ext()->lock, &old);
  g_held[0]->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(g_held[0], IO_NO_INCREMENT);
  IoStartNextPacket(g_device, FALSE);
  KeReleaseSpinLock(&ext()->lock, old);
  auto found = reported(sim::Rule::IoCallWithSpinLockHeld);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].rfind("IofCompleteRequest called with spin lock", 0), 0u) << found[0];
  EXPECT_EQ(found[1].rfind("IoStartNextPacket called with spin lock", 0), 0u) << found[1];
}

// The start-I/O routine that completes and starts the next request nests
// once per queued request; deferred start-I/O keeps it at one level.
TEST_F(ConcurrencyTest, StartIoRecursionOverflowsTheKernelStack) {
  load(1);
  send(1 + 150);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  IofCompleteRequest(g_held[0], IO_NO_INCREMENT);
  IoStartNextPacket(g_device, FALSE);
  KfLowerIrql(old);
  auto found = reported(sim::Rule::KernelStackOverflow);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].find("DriverStartIo entered 103 driver routines deep"), std::string::npos) << found[0];
  EXPECT_EQ(kernel.io.queued(g_device), 0u);
}

TEST_F(ConcurrencyTest, DeferredStartIoKeepsTheStackFlat) {
  g_deferredStartIo = true;
  load(1);
  send(1 + 150);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  IofCompleteRequest(g_held[0], IO_NO_INCREMENT);
  IoStartNextPacket(g_device, FALSE);
  KfLowerIrql(old);
  EXPECT_TRUE(reported(sim::Rule::KernelStackOverflow).empty());
  EXPECT_EQ(kernel.io.queued(g_device), 0u);
  EXPECT_EQ(kernel.io.completions(), 151u);
}

// An unload that removes the queued call but does not wait for a running
// one: the call outlives the driver and touches the deleted extension.
TEST_F(ConcurrencyTest, ACallRunningThroughUnloadIsReported) {
  load(2);
  g_dpcHoldsLock = true;
  g_dpcStall = 200000;
  arm(1);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  while (!g_dpcStarted) KeStallExecutionProcessor(10);
  KfLowerIrql(old);
  kernel.io.unload();
  EXPECT_EQ(reported(sim::Rule::DriverUnloadedWithoutCancellingPendingOperations).size(), 1u);
  kernel.scheduler.waitUntil([] { return g_dpcRuns == 1; }, kernel.clock.now() + 1000 * sim::kTicksPerMs);
  auto found = reported(sim::Rule::PageFaultInFreedPool);
  ASSERT_FALSE(found.empty());
  EXPECT_NE(found[0].find("KeReleaseSpinLockFromDpcLevel"), std::string::npos) << found[0];
  EXPECT_NE(found[0].find("the extension of \\Device\\Test0, a deleted device"), std::string::npos)
      << found[0];
}

TEST_F(ConcurrencyTest, AnUnloadThatFlushesTheCallsIsClean) {
  g_flushInUnload = true;
  load(2);
  g_dpcHoldsLock = true;
  g_dpcStall = 200000;
  arm(1);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  while (!g_dpcStarted) KeStallExecutionProcessor(10);
  KfLowerIrql(old);
  kernel.io.unload();
  EXPECT_EQ(g_dpcRuns, 1);
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

TEST_F(ConcurrencyTest, ADeletedDeviceHandedToTheKernelIsReported) {
  load(2);
  PDEVICE_OBJECT device = g_device;
  Extension* e = ext();
  IoDeleteDevice(device);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KefAcquireSpinLockAtDpcLevel(&e->lock);
  IoStartNextPacket(device, FALSE);
  KfLowerIrql(old);
  auto found = reported(sim::Rule::PageFaultInFreedPool);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].rfind("KeAcquireSpinLockAtDpcLevel on", 0), 0u) << found[0];
  EXPECT_NE(found[1].find("\\Device\\Test0, a deleted device"), std::string::npos) << found[1];
  kernel.spinLockOwners.clear();
}

}  // namespace
