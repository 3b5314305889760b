// Every verifier rule about requests, IRQL, the start-I/O routine, error-log
// entries and kernel handles, each broken on purpose by a small wrong
// routine calling the simulated kernel directly, and seen in the report.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "sim/kernel.h"

namespace {

constexpr uint8_t kAboveDispatch = 3;  // a device IRQL
constexpr ULONG kTag = 0x74736554;     // 'Test'

// What the test driver's routines do; each case sets the ones it needs.
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_dispatch;
std::function<void(PDEVICE_OBJECT, PIRP)> g_startIo;
PDEVICE_OBJECT g_device;

NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) { return g_dispatch(device, irp); }
VOID NTAPI startIo(PDEVICE_OBJECT device, PIRP irp) { g_startIo(device, irp); }

NTSTATUS NTAPI entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Rules0");
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
  driver->DriverStartIo = startIo;
  return IoCreateDevice(driver, 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The well-behaved start-I/O routine: complete, then start the next.
void completeThenNext(PDEVICE_OBJECT device, PIRP irp) {
  complete(irp, STATUS_SUCCESS);
  IoStartNextPacket(device, FALSE);
}

NTSTATUS markAndQueue(PDEVICE_OBJECT device, PIRP irp) {
  IoMarkIrpPending(irp);
  IoStartPacket(device, irp, nullptr, nullptr);
  return STATUS_PENDING;
}

class Rules : public ::testing::Test {
 protected:
  Rules() {
    g_dispatch = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); };
    g_startIo = completeThenNext;
    EXPECT_EQ(kernel.io.load("RULES", entry), STATUS_SUCCESS);
  }
  void send() { kernel.io.deviceControl(g_device, 0x222000, {}, 0, 0, false, nullptr); }
  void at(uint8_t level, const std::function<void()>& call) {
    uint8_t old = kernel.irql.level();
    kernel.irql.set(level);
    call();
    kernel.irql.set(old);
  }
  // The device goes first so that only the leftovers a case made are
  // reported.
  void unload() {
    IoDeleteDevice(g_device);
    kernel.io.unload();
  }
  // Every report so far, all of `rule`, and at least one.
  void expectOnly(const char* rule) {
    const auto& v = kernel.verifier.violations();
    EXPECT_FALSE(v.empty()) << "no report of " << rule;
    for (const auto& violation : v) EXPECT_STREQ(sim::ruleName(violation.rule), rule) << violation.detail;
  }
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
};

// Requests --------------------------------------------------------------------

TEST_F(Rules, ARequestCompletedTwice) {
  g_dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    complete(irp, STATUS_SUCCESS);
    return complete(irp, STATUS_SUCCESS);
  };
  send();
  expectOnly("MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(Rules, ARequestCompletedWithStatusPending) {
  g_dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    complete(irp, STATUS_PENDING);
    return STATUS_PENDING;
  };
  send();
  expectOnly("IRP_COMPLETED_PENDING");
}

TEST_F(Rules, ADispatchRoutineThatNeitherCompletesNorPends) {
  g_dispatch = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  send();
  expectOnly("IRP_NOT_COMPLETED");
}

TEST_F(Rules, APendingRequestNeverCompleted) {
  g_dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
  send();
  EXPECT_TRUE(kernel.verifier.violations().empty());
  unload();
  expectOnly("IRP_NEVER_COMPLETED");
}

TEST_F(Rules, StatusPendingWithoutTheMark) {
  g_dispatch = [](PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; };
  send();
  expectOnly("PENDING_WITHOUT_MARK");
}

// The mirror image: marked pending, completed at once and answered with the
// completion status.
TEST_F(Rules, TheMarkWithoutStatusPending) {
  g_dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return complete(irp, STATUS_SUCCESS);
  };
  send();
  expectOnly("PENDING_MARKED_NOT_RETURNED");
}

TEST_F(Rules, MarkedQueuedAndCompletedInsideStartPacketIsRight) {
  g_dispatch = markAndQueue;
  send();
  send();
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

// The start-I/O routine -------------------------------------------------------

TEST_F(Rules, StartIoGivenTheNextRequestBeforeTheCurrentOneIsComplete) {
  g_dispatch = markAndQueue;
  std::vector<PIRP> held;
  g_startIo = [&held](PDEVICE_OBJECT, PIRP irp) { held.push_back(irp); };
  send();  // starts at once and is held
  send();  // queued behind it
  at(DISPATCH_LEVEL, [] { IoStartNextPacket(g_device, FALSE); });
  expectOnly("START_IO_REENTERED");
  at(DISPATCH_LEVEL, [&held] {
    for (PIRP irp : held) complete(irp, STATUS_SUCCESS);
  });
}

TEST_F(Rules, StartIoThatCompletesBeforeStartingTheNextIsRight) {
  g_dispatch = markAndQueue;
  std::vector<PIRP> held;
  g_startIo = [&held](PDEVICE_OBJECT, PIRP irp) { held.push_back(irp); };
  send();
  send();
  at(DISPATCH_LEVEL, [&held] {
    complete(held[0], STATUS_SUCCESS);
    IoStartNextPacket(g_device, FALSE);
    complete(held[1], STATUS_SUCCESS);
    IoStartNextPacket(g_device, FALSE);
  });
  EXPECT_EQ(held.size(), 2u);
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

// IRQL --------------------------------------------------------------------------

// Each kernel operation at the highest level its row in the kernel's table
// allows is quiet; one level above, it is reported. Paged pool has a rule
// of its own below the routine's.
struct LevelCase {
  sim::Routine routine;
  const char* variant;
  uint8_t highest;  // the row's, unless the variant has a lower one
  std::function<void()> call;
};

constexpr uint8_t kRowsLevel = 0xFF;

std::vector<LevelCase> levelCases(KTIMER* timer, PHYSICAL_ADDRESS physical) {
  using sim::Routine;
  return {
      {Routine::RtlQueryRegistryValues, "", kRowsLevel,
       [] {
         RTL_QUERY_REGISTRY_TABLE table[1] = {};
         RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\System", table, nullptr,
                                nullptr);
       }},
      {Routine::ExAllocatePoolWithTag, "paged", APC_LEVEL,
       [] {
         void* p = ExAllocatePoolWithTag(PagedPool, 8, kTag);
         if (p != nullptr) sim::Kernel::current().pool.free(p, kTag);
       }},
      {Routine::ExFreePoolWithTag, "paged", APC_LEVEL,
       [] {
         sim::Kernel& k = sim::Kernel::current();
         ExFreePoolWithTag(k.pool.allocate(true, 8, kTag), kTag);
       }},
      {Routine::ExAllocatePoolWithTag, "nonpaged", kRowsLevel,
       [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), kTag); }},
      {Routine::KeInitializeTimer, "", kRowsLevel, [timer] { KeInitializeTimer(timer); }},
      {Routine::KeSetTimerEx, "", kRowsLevel,
       [timer] {
         LARGE_INTEGER due;
         due.QuadPart = -10000;
         KeSetTimerEx(timer, due, 0, nullptr);
         sim::Kernel::current().dispatcher.cancelTimer(timer);
       }},
      {Routine::KeCancelTimer, "", kRowsLevel, [timer] { KeCancelTimer(timer); }},
      {Routine::KeFlushQueuedDpcs, "", kRowsLevel, [] { KeFlushQueuedDpcs(); }},
      {Routine::KeDelayExecutionThread, "", kRowsLevel,
       [] {
         LARGE_INTEGER interval;
         interval.QuadPart = -10000;
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
       }},
      {Routine::IoAllocateWorkItem, "", kRowsLevel,
       [] {
         PIO_WORKITEM item = IoAllocateWorkItem(g_device);
         if (item != nullptr) sim::Kernel::current().io.freeWorkItem(item);
       }},
      {Routine::IoFreeWorkItem, "", kRowsLevel,
       [] { IoFreeWorkItem(sim::Kernel::current().io.allocateWorkItem(g_device)); }},
      {Routine::IoUnregisterShutdownNotification, "", kRowsLevel,
       [] { IoUnregisterShutdownNotification(g_device); }},
      {Routine::IoAllocateErrorLogEntry, "", kRowsLevel,
       [] {
         void* e = IoAllocateErrorLogEntry(g_device, 64);
         if (e != nullptr) sim::Kernel::current().errorLog.free(e);
       }},
      {Routine::IoFreeErrorLogEntry, "", kRowsLevel,
       [] {
         sim::Kernel& k = sim::Kernel::current();
         IoFreeErrorLogEntry(k.errorLog.allocate("\\Device\\Rules0", 64));
       }},
      {Routine::IoWriteErrorLogEntry, "", kRowsLevel,
       [] {
         sim::Kernel& k = sim::Kernel::current();
         IoWriteErrorLogEntry(k.errorLog.allocate("\\Device\\Rules0", 64));
       }},
      {Routine::MmMapIoSpace, "", kRowsLevel,
       [physical] {
         PVOID v = MmMapIoSpace(physical, 16, MmNonCached);
         sim::Kernel::current().bus.unmap(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v)), 16);
       }},
      {Routine::MmUnmapIoSpace, "", kRowsLevel,
       [physical] {
         sim::Kernel& k = sim::Kernel::current();
         uint32_t v = k.bus.map(static_cast<uint64_t>(physical.QuadPart), 16);
         MmUnmapIoSpace(reinterpret_cast<PVOID>(static_cast<uintptr_t>(v)), 16);
       }},
      {Routine::RtlCreateAcl, "", kRowsLevel,
       [] {
         ULONG buffer[16];
         RtlCreateAcl(reinterpret_cast<PACL>(buffer), sizeof(buffer), ACL_REVISION);
       }},
      {Routine::RtlCreateSecurityDescriptor, "", kRowsLevel,
       [] {
         SECURITY_DESCRIPTOR descriptor;
         RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
       }},
      {Routine::HalGetBusData, "", kRowsLevel,
       [] {
         UCHAR config[4];
         HalGetBusData(PCIConfiguration, 0, 0, config, sizeof(config));
       }},
  };
}

TEST_F(Rules, EachOperationAtTheLevelsItAllowsAndOneAbove) {
  KTIMER timer;
  sim::Kernel::current().dispatcher.initTimer(&timer);
  PHYSICAL_ADDRESS physical;
  physical.QuadPart = 0xFED00000;
  for (const LevelCase& c : levelCases(&timer, physical)) {
    const sim::RoutineRow& row = sim::rowOf(c.routine);
    SCOPED_TRACE(std::string(row.exported) + " " + c.variant);
    ASSERT_NE(row.highest, sim::kAnyLevel) << "the row has no IRQL rule";
    const uint8_t highest = c.highest == kRowsLevel ? row.highest : c.highest;
    kernel.verifier.clear();
    at(highest, c.call);
    EXPECT_TRUE(kernel.verifier.violations().empty());
    at(static_cast<uint8_t>(highest == DISPATCH_LEVEL ? kAboveDispatch : highest + 1), c.call);
    expectOnly("IRQL_NOT_LESS_OR_EQUAL");
  }
}

// Every routine `kernel fail` can fail is failable in one place: its row.
// Both of its names find it; a routine without a failure does not.
TEST_F(Rules, FailableRoutinesComeFromTheirRows) {
  size_t failable = 0;
  for (const sim::RoutineRow& row : sim::kRoutineRows) {
    EXPECT_EQ(sim::failableRow(row.exported) != nullptr, row.failure != sim::Failure::None) << row.exported;
    if (row.failure != sim::Failure::None) failable++;
  }
  EXPECT_EQ(failable, 13u);
  EXPECT_NE(sim::failableRow("ZwSetSecurityObject"), nullptr);
  EXPECT_NE(sim::failableRow("IoAllocateWorkItem"), nullptr);
  EXPECT_EQ(sim::failableRow("KeSetTimerEx"), nullptr);
}

TEST_F(Rules, RaiseOnlyRaisesAndLowerOnlyLowers) {
  at(DISPATCH_LEVEL, [] { KfRaiseIrql(APC_LEVEL); });
  expectOnly("IRQL_NOT_GREATER_OR_EQUAL");
  kernel.verifier.clear();
  KfLowerIrql(DISPATCH_LEVEL);
  expectOnly("IRQL_NOT_LESS_OR_EQUAL");
  kernel.irql.set(PASSIVE_LEVEL);
}

// Error-log entries -------------------------------------------------------------

// Each entry is written or freed, once; one that is neither is a leak.
TEST_F(Rules, AnErrorLogEntryIsWrittenOrFreedExactlyOnce) {
  const std::vector<std::pair<const char*, std::function<void(void*)>>> wrongs = {
      {"written twice",
       [](void* e) {
         IoWriteErrorLogEntry(e);
         IoWriteErrorLogEntry(e);
       }},
      {"freed twice",
       [](void* e) {
         IoFreeErrorLogEntry(e);
         IoFreeErrorLogEntry(e);
       }},
      {"written, then freed",
       [](void* e) {
         IoWriteErrorLogEntry(e);
         IoFreeErrorLogEntry(e);
       }},
      {"freed, then written",
       [](void* e) {
         IoFreeErrorLogEntry(e);
         IoWriteErrorLogEntry(e);
       }},
  };
  for (const auto& wrong : wrongs) {
    SCOPED_TRACE(wrong.first);
    kernel.verifier.clear();
    wrong.second(IoAllocateErrorLogEntry(g_device, 64));
    expectOnly("IO_ERROR_LOG_ENTRY");
    EXPECT_EQ(kernel.verifier.violations().size(), 1u);
  }
  kernel.verifier.clear();
  IoFreeErrorLogEntry(IoAllocateErrorLogEntry(g_device, 64));
  EXPECT_TRUE(kernel.verifier.violations().empty());
  IoAllocateErrorLogEntry(g_device, 64);
  unload();
  expectOnly("IO_ERROR_LOG_LEAK");
}

// Kernel handles ----------------------------------------------------------------

TEST_F(Rules, KernelHandlesAreClosedOnceAndBeforeUnload) {
  HANDLE handle = nullptr;
  ASSERT_EQ(
      ObOpenObjectByPointer(g_device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle),
      STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_TRUE(kernel.verifier.violations().empty());
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  expectOnly("INVALID_KERNEL_HANDLE");
  kernel.verifier.clear();
  ObOpenObjectByPointer(g_device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
  unload();
  expectOnly("HANDLE_LEFT_OPEN");
}

}  // namespace

// Work items --------------------------------------------------------------------

namespace {
int g_workRuns = 0;
VOID NTAPI countWork(PDEVICE_OBJECT, PVOID) { g_workRuns++; }
VOID NTAPI returnRaised(PDEVICE_OBJECT, PVOID) { KfRaiseIrql(DISPATCH_LEVEL); }
}  // namespace

// A work item runs at PASSIVE_LEVEL once the processor leaves
// DISPATCH_LEVEL; queued again while still in the queue, or freed there,
// it is the bug check WORKER_INVALID.
TEST_F(Rules, AWorkItemQueuedTwiceOrFreedWhileQueued) {
  g_workRuns = 0;
  PIO_WORKITEM item = IoAllocateWorkItem(g_device);
  ASSERT_NE(item, nullptr);
  at(DISPATCH_LEVEL, [item] {
    IoQueueWorkItem(item, countWork, DelayedWorkQueue, nullptr);
    EXPECT_EQ(g_workRuns, 0);
    IoQueueWorkItem(item, countWork, DelayedWorkQueue, nullptr);
  });
  EXPECT_EQ(g_workRuns, 1);
  expectOnly("WORKER_INVALID");
  kernel.verifier.clear();
  at(DISPATCH_LEVEL, [item] {
    IoQueueWorkItem(item, countWork, DelayedWorkQueue, nullptr);
    IoFreeWorkItem(item);
  });
  expectOnly("WORKER_INVALID");
  EXPECT_EQ(g_workRuns, 2);
  kernel.verifier.clear();
  IoFreeWorkItem(item);
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

TEST_F(Rules, AWorkItemRoutineMustReturnAtPassiveLevel) {
  PIO_WORKITEM item = IoAllocateWorkItem(g_device);
  IoQueueWorkItem(item, returnRaised, DelayedWorkQueue, nullptr);
  expectOnly("WORKER_THREAD_RETURNED_AT_BAD_IRQL");
  EXPECT_EQ(kernel.irql.level(), PASSIVE_LEVEL);
  IoFreeWorkItem(item);
}

// A queued work item holds its device: one deleted by the routine itself
// stays in memory until the routine has returned, so the routine may still
// hand it to the kernel. A work item never freed is a leak at unload.
VOID NTAPI deleteThenTouch(PDEVICE_OBJECT device, PVOID) {
  IoDeleteDevice(device);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  IoStartNextPacket(device, FALSE);
  KfLowerIrql(old);
  g_workRuns++;
}

TEST_F(Rules, AWorkItemHoldsItsDeviceUntilItsRoutineReturns) {
  g_workRuns = 0;
  PIO_WORKITEM item = IoAllocateWorkItem(g_device);
  IoQueueWorkItem(item, deleteThenTouch, DelayedWorkQueue, nullptr);
  EXPECT_EQ(g_workRuns, 1);
  EXPECT_EQ(kernel.io.workItemsOutstanding(), 0u);
  EXPECT_EQ(kernel.io.deviceCount(), 0u);
  EXPECT_TRUE(kernel.verifier.violations().empty());
  kernel.io.unload();
  expectOnly("POOL_NOT_FREED");
}

// The watchdog ---------------------------------------------------------------------

// A stretch at DISPATCH_LEVEL or above longer than the limit is reported
// once, when it ends, naming the processor and its length; one at the
// limit is not; with no limit nothing is.
TEST_F(Rules, AStretchAtDispatchLevelPastTheLimitIsReportedOnce) {
  kernel.irql.setStretchLimit(500 * sim::kTicksPerMs);
  at(DISPATCH_LEVEL, [this] { kernel.stall(500 * sim::kTicksPerMs); });
  EXPECT_TRUE(kernel.verifier.violations().empty());
  at(DISPATCH_LEVEL, [this] {
    kernel.stall(300 * sim::kTicksPerMs);
    at(kAboveDispatch, [this] { kernel.stall(300 * sim::kTicksPerMs); });
    EXPECT_TRUE(kernel.verifier.violations().empty());
  });
  ASSERT_EQ(kernel.verifier.violations().size(), 1u);
  EXPECT_EQ(
      kernel.verifier.violations()[0].detail,
      "processor 0 stayed at DISPATCH_LEVEL or above for 600000 us in one stretch; the limit is 500 ms");
  EXPECT_EQ(kernel.irql.longestStretch(), 600 * sim::kTicksPerMs);
  kernel.verifier.clear();
  kernel.irql.setStretchLimit(0);
  at(DISPATCH_LEVEL, [this] { kernel.stall(5000 * sim::kTicksPerMs); });
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

// A try never spins: a held lock gives FALSE, a free one is taken.
TEST_F(Rules, ATryForASpinLockNeverSpins) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  at(DISPATCH_LEVEL, [&lock] {
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    KeReleaseSpinLockFromDpcLevel(&lock);
  });
  EXPECT_TRUE(kernel.verifier.violations().empty());
  KeTryToAcquireSpinLockAtDpcLevel(&lock);
  expectOnly("IRQL_NOT_GREATER_OR_EQUAL");
}

// Resources ---------------------------------------------------------------------

// A resource list is read as the I/O manager reads it: every count, bus,
// type, share disposition and range, and its size against what its counts
// add up to. A list that does not add up is refused and leaves the claims
// as they were.
TEST_F(Rules, AResourceListMustAddUpToItsSize) {
  PDRIVER_OBJECT driver = g_device->DriverObject;
  auto report = [driver](const void* list, ULONG size) {
    BOOLEAN conflict = TRUE;
    NTSTATUS status =
        IoReportResourceUsage(nullptr, driver, static_cast<PCM_RESOURCE_LIST>(const_cast<void*>(list)), size,
                              nullptr, nullptr, 0, FALSE, &conflict);
    EXPECT_FALSE(conflict);
    return status;
  };
  CM_RESOURCE_LIST claim;
  std::memset(&claim, 0, sizeof(claim));
  claim.Count = 1;
  claim.List[0].InterfaceType = Isa;
  claim.List[0].PartialResourceList.Count = 1;
  CM_PARTIAL_RESOURCE_DESCRIPTOR& port = claim.List[0].PartialResourceList.PartialDescriptors[0];
  port.Type = CmResourceTypePort;
  port.ShareDisposition = CmResourceShareDriverExclusive;
  port.Flags = CM_RESOURCE_PORT_IO;
  port.u.Port.Start.QuadPart = 0x2E;
  port.u.Port.Length = 2;
  ASSERT_EQ(report(&claim, sizeof(claim)), STATUS_SUCCESS);
  ASSERT_EQ(kernel.resources.claims(driver).size(), 1u);
  EXPECT_TRUE(kernel.verifier.violations().empty());

  struct Case {
    const char* what;
    std::function<void(CM_RESOURCE_LIST*)> spoil;
    bool noList;
    ULONG size;
    const char* detail;
  };
  const ULONG full = sizeof(CM_RESOURCE_LIST);
  const std::vector<Case> cases = {
      {"no list with a size", nullptr, true, sizeof(ULONG), "driver list: no list, but a size of 4"},
      {"release list with the claim's count", nullptr, false, sizeof(ULONG),
       "count 1 runs past the list's 4 bytes"},
      {"uninitialised count", [](CM_RESOURCE_LIST* l) { l->Count = 0xCCCCCCCC; }, false, sizeof(ULONG),
       "count 3435973836 runs past"},
      {"shorter than its count field", [](CM_RESOURCE_LIST* l) { l->Count = 0; }, false, 2,
       "has no room for its count"},
      {"garbage interface type",
       [](CM_RESOURCE_LIST* l) {
         const uint32_t garbage = 0xCCCCCCCC;
         std::memcpy(&l->List[0].InterfaceType, &garbage, sizeof(garbage));
       },
       false, full, "interface type -858993460, which the machine does not have"},
      {"ISA bus 1", [](CM_RESOURCE_LIST* l) { l->List[0].BusNumber = 1; }, false, full,
       "bus 1 of interface type 1, which the machine does not have"},
      {"EISA bus", [](CM_RESOURCE_LIST* l) { l->List[0].InterfaceType = Eisa; }, false, full,
       "interface type 2"},
      {"two descriptors in the room of one",
       [](CM_RESOURCE_LIST* l) { l->List[0].PartialResourceList.Count = 2; }, false, full,
       "descriptor count 2 runs past the list's 36 bytes"},
      {"garbage type",
       [](CM_RESOURCE_LIST* l) { l->List[0].PartialResourceList.PartialDescriptors[0].Type = 0xCC; }, false,
       full, "descriptor of unknown type 204"},
      {"garbage share disposition",
       [](CM_RESOURCE_LIST* l) {
         l->List[0].PartialResourceList.PartialDescriptors[0].ShareDisposition = 0xCC;
       },
       false, full, "share disposition 204"},
      {"empty range",
       [](CM_RESOURCE_LIST* l) { l->List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length = 0; },
       false, full, "port range 0x0000002E (0 bytes)"},
      {"range past the last port",
       [](CM_RESOURCE_LIST* l) {
         l->List[0].PartialResourceList.PartialDescriptors[0].u.Port.Start.QuadPart = 0xFFFF;
       },
       false, full, "port range 0x0000FFFF (2 bytes), which the bus cannot hold"},
      {"size beyond the list", nullptr, false, full + 4, "its fields take 36 bytes, its size says 40"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CM_RESOURCE_LIST list = claim;
    if (c.spoil) c.spoil(&list);
    kernel.verifier.clear();
    EXPECT_EQ(report(c.noList ? nullptr : &list, c.size), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(kernel.verifier.violations().size(), 1u);
    EXPECT_STREQ(sim::ruleName(kernel.verifier.violations()[0].rule), "INVALID_RESOURCE_LIST");
    EXPECT_NE(kernel.verifier.violations()[0].detail.find(c.detail), std::string::npos)
        << kernel.verifier.violations()[0].detail;
    EXPECT_EQ(kernel.resources.claims(driver).size(), 1u) << "the claim stands";
  }
  // The device list is held to the same rule.
  kernel.verifier.clear();
  BOOLEAN conflict = FALSE;
  EXPECT_EQ(IoReportResourceUsage(nullptr, driver, nullptr, 0, g_device, nullptr, 8, FALSE, &conflict),
            STATUS_INVALID_PARAMETER);
  expectOnly("INVALID_RESOURCE_LIST");
  EXPECT_NE(kernel.verifier.violations()[0].detail.find("device list: no list, but a size of 8"),
            std::string::npos);

  // A count of 0 in a list of four bytes withdraws the claim; so does no
  // list at all.
  kernel.verifier.clear();
  CM_RESOURCE_LIST release;
  std::memset(&release, 0, sizeof(release));
  EXPECT_EQ(report(&release, sizeof(ULONG)), STATUS_SUCCESS);
  EXPECT_TRUE(kernel.resources.claims(driver).empty());
  EXPECT_EQ(report(&claim, sizeof(claim)), STATUS_SUCCESS);
  EXPECT_EQ(report(nullptr, 0), STATUS_SUCCESS);
  EXPECT_TRUE(kernel.resources.claims(driver).empty());
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

// The HAL translates only on a bus the machine has: the internal and ISA
// buses 0, and the PCI buses there are.
TEST_F(Rules, TranslationOnlyOnABusTheMachineHas) {
  struct PciBuses : sim::PciConfigSpace {
    uint32_t read(uint32_t, uint32_t, void*, uint32_t) override { return 0; }
    bool hasBus(uint32_t bus) const override { return bus < 2; }
  } pci;
  PHYSICAL_ADDRESS address;
  address.QuadPart = 0x2E;
  const struct {
    INTERFACE_TYPE type;
    ULONG bus;
    BOOLEAN translated;
  } cases[] = {{Isa, 0, TRUE},   {Isa, 1, FALSE},    {Internal, 0, TRUE}, {Internal, 1, FALSE},
               {Eisa, 0, FALSE}, {PCIBus, 0, FALSE}, {PCIBus, 1, FALSE},  {InterfaceTypeUndefined, 0, FALSE}};
  for (bool withPci : {false, true}) {
    kernel.pci = withPci ? &pci : nullptr;
    for (const auto& c : cases) {
      ULONG space = 1;
      PHYSICAL_ADDRESS translated;
      translated.QuadPart = -1;
      const BOOLEAN expected = c.type == PCIBus && withPci ? (c.bus < 2) : c.translated;
      EXPECT_EQ(HalTranslateBusAddress(c.type, c.bus, address, &space, &translated), expected)
          << c.type << " bus " << c.bus << (withPci ? " with PCI" : "");
      EXPECT_EQ(translated.QuadPart, expected ? 0x2E : -1);
    }
  }
  kernel.pci = nullptr;
  EXPECT_TRUE(kernel.verifier.violations().empty());
}
