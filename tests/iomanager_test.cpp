// The simulated I/O manager's rules, against small drivers that keep or
// break them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform.h"
#include "sim/kernel.h"

namespace {

// What the test driver's device-control routine does with a request.
enum class Behaviour {
  CompleteOnce,
  CompleteTwice,
  PendWithoutMark,
  PendAndQueue,
  ReturnRaised,
  OverlongInfo
};
Behaviour g_behaviour;
NTSTATUS g_status;
PDEVICE_OBJECT g_device;

NTSTATUS NTAPI control(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Status = g_status;
  switch (g_behaviour) {
    case Behaviour::CompleteOnce:
      irp->IoStatus.Information = 2;
      std::memcpy(irp->AssociatedIrp.SystemBuffer, "ok", 2);
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return g_status;
    case Behaviour::CompleteTwice:
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return g_status;
    case Behaviour::PendWithoutMark: return STATUS_PENDING;
    case Behaviour::PendAndQueue:
      IoMarkIrpPending(irp);
      IoStartPacket(device, irp, nullptr, nullptr);
      return STATUS_PENDING;
    case Behaviour::ReturnRaised: {
      KfRaiseIrql(DISPATCH_LEVEL);
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return g_status;
    }
    case Behaviour::OverlongInfo:
      irp->IoStatus.Information = 64;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return g_status;
  }
  return g_status;
}

std::vector<PIRP> g_started;

VOID NTAPI startIo(PDEVICE_OBJECT, PIRP irp) { g_started.push_back(irp); }

// As a driver's start-I/O routine that serves each request at once:
// complete it, then start the next.
VOID NTAPI serveAndStartNext(PDEVICE_OBJECT device, PIRP irp) {
  g_started.push_back(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  IoStartNextPacket(device, FALSE);
}

NTSTATUS NTAPI entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Test0");
  NTSTATUS status = IoCreateDevice(driver, 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\Test");
  IoCreateSymbolicLink(&link, &name);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
  driver->DriverStartIo = startIo;
  return STATUS_SUCCESS;
}

class IoManagerTest : public ::testing::Test {
 protected:
  IoManagerTest() {
    g_started.clear();
    g_status = STATUS_SUCCESS;
    EXPECT_EQ(kernel.io.load("TEST", entry), STATUS_SUCCESS);
  }
  NTSTATUS send(Behaviour b, NTSTATUS status = STATUS_SUCCESS, uint32_t out = 8) {
    g_behaviour = b;
    g_status = status;
    return kernel.io.deviceControl(g_device, 0x222000, {1, 2, 3, 4}, 4, out, true,
                                   [this](const sim::Request& r) { done.push_back(r.output); });
  }
  std::vector<std::string> rules() const {
    std::vector<std::string> out;
    for (const auto& v : kernel.verifier.violations()) out.push_back(sim::ruleName(v.rule));
    return out;
  }
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
  std::vector<std::vector<uint8_t>> done;
};

TEST_F(IoManagerTest, BufferedOutputGoesBackOnlyWithoutAnErrorStatus) {
  EXPECT_EQ(send(Behaviour::CompleteOnce), STATUS_SUCCESS);
  EXPECT_EQ(send(Behaviour::CompleteOnce, 0x80000005), static_cast<NTSTATUS>(0x80000005));  // a warning
  EXPECT_EQ(send(Behaviour::CompleteOnce, STATUS_UNSUCCESSFUL), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(done.size(), 3u);
  EXPECT_EQ(done[0], (std::vector<uint8_t>{'o', 'k'}));
  EXPECT_EQ(done[1], (std::vector<uint8_t>{'o', 'k'}));
  EXPECT_TRUE(done[2].empty());
  EXPECT_TRUE(rules().empty());
}

TEST_F(IoManagerTest, BrokenRulesAreReported) {
  send(Behaviour::CompleteTwice);
  send(Behaviour::PendWithoutMark);
  send(Behaviour::ReturnRaised);
  KfLowerIrql(PASSIVE_LEVEL);
  send(Behaviour::OverlongInfo);
  EXPECT_EQ(rules(), (std::vector<std::string>{"MULTIPLE_IRP_COMPLETE_REQUESTS", "PENDING_WITHOUT_MARK",
                                               "IRQL_UNEXPECTED_VALUE", "BUFFER_OVERRUN"}));
}

TEST_F(IoManagerTest, DeviceQueueStartsAtOnceWhenIdleAndInOrderAfter) {
  send(Behaviour::PendAndQueue);
  send(Behaviour::PendAndQueue);
  send(Behaviour::PendAndQueue);
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(kernel.io.queued(g_device), 2u);
  PIRP first = g_started[0];
  KfRaiseIrql(DISPATCH_LEVEL);
  first->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(first, IO_NO_INCREMENT);
  IoStartNextPacket(g_device, FALSE);
  EXPECT_EQ(g_started.size(), 2u);
  KfLowerIrql(PASSIVE_LEVEL);
  EXPECT_EQ(done.size(), 1u);
  // Unloading with requests still queued: never completed.
  kernel.io.unload();
  std::vector<std::string> r = rules();
  EXPECT_EQ(std::count(r.begin(), r.end(), "IRP_NEVER_COMPLETED"), 2);
}

TEST_F(IoManagerTest, UnloadReportsWhatTheDriverLeftBehind) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -10000000;
  KeSetTimerEx(&timer, due, 0, nullptr);
  void* block = ExAllocatePoolWithTag(NonPagedPool, 10, 0x74736554);
  (void)block;
  kernel.io.unload();
  std::vector<std::string> r = rules();
  for (const char* rule : {"DEVICE_LEFT_BEHIND", "LINK_LEFT_BEHIND",
                           "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS", "POOL_NOT_FREED"}) {
    EXPECT_NE(std::find(r.begin(), r.end(), rule), r.end()) << rule;
  }
  EXPECT_EQ(kernel.io.deviceCount(), 0u);
}

// Five requests wait behind one served elsewhere. Deferred, each run of the
// start-I/O routine returns before the next begins; otherwise each starts
// inside the IoStartNextPacket of the one before, a frame deeper.
TEST_F(IoManagerTest, DeferredStartIoNeverNestsTheRoutine) {
  kernel.io.driver()->DriverStartIo = serveAndStartNext;
  IRP elsewhere = {};
  size_t served = 0;
  for (bool deferred : {true, false}) {
    IoSetStartIoAttributes(g_device, deferred ? TRUE : FALSE, FALSE);
    EXPECT_EQ(kernel.io.startIoDeferred(g_device), deferred);
    g_device->CurrentIrp = &elsewhere;
    for (int i = 0; i < 5; i++) send(Behaviour::PendAndQueue);
    EXPECT_EQ(kernel.io.queued(g_device), 5u);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    IoStartNextPacket(g_device, FALSE);
    KfLowerIrql(old);
    served += 5;
    EXPECT_EQ(done.size(), served);
    EXPECT_EQ(g_device->CurrentIrp, nullptr);
    EXPECT_EQ(kernel.io.deepestStartIo(), deferred ? 1 : 5);
  }
  EXPECT_TRUE(rules().empty());
}

}  // namespace
