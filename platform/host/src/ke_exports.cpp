// Timers, deferred calls and resources: the kernel and HAL routines.
#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

using sim::Entry;
using sim::Kernel;
using sim::Routine;

// A timer may be initialised at DISPATCH_LEVEL at most; a deferred call at
// any level.
extern "C" VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
  Kernel& k = Entry(Routine::KeInitializeTimer).kernel();
  k.dispatcher.initTimer(Timer);
}

// Timers may be set and cancelled at DISPATCH_LEVEL at most.
extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  Entry entry(Routine::KeSetTimerEx);
  Kernel& k = entry.kernel();
  entry.alive(Timer);
  if (Period < 0) {
    k.verifier.report(sim::Rule::InvalidTimerPeriod, "KeSetTimerEx with period " + std::to_string(Period));
  }
  return k.dispatcher.setTimer(Timer, DueTime.QuadPart, Period, Dpc);
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  Entry entry(Routine::KeCancelTimer);
  Kernel& k = entry.kernel();
  entry.alive(Timer);
  return k.dispatcher.cancelTimer(Timer);
}

extern "C" VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 19;  // DpcObject
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Entry(Routine::KeInitializeDpc).kernel().dispatcher.initDpc(Dpc);
}

// A call is in the queue at most once: inserting a queued one changes
// nothing and returns FALSE. A running call may be queued again.
extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  Entry entry(Routine::KeInsertQueueDpc);
  Kernel& k = entry.kernel();
  entry.alive(Dpc);
  if (Dpc->DpcData != nullptr) return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  return k.dispatcher.queueDpc(Dpc);
}

// Removes a call that waits in the queue; one that a processor has taken
// already runs on, and the result says so (FALSE).
extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  Entry entry(Routine::KeRemoveQueueDpc);
  Kernel& k = entry.kernel();
  entry.alive(Dpc);
  return k.dispatcher.removeDpc(Dpc);
}

// Returns once every call queued before it has run to its end, on every
// processor.
extern "C" VOID NTAPI KeFlushQueuedDpcs(VOID) {
  Kernel& k = Entry(Routine::KeFlushQueuedDpcs).kernel();
  k.scheduler.waitUntil([&k] { return k.dispatcher.queuedDpcs().empty() && k.scheduler.deferredWorkIdle(); },
                        -1);
}

// The thread waits off its processor until the clock interrupt at or
// after the due time; with one thread the processor idles meanwhile, and
// timers and deferred calls run. A positive interval is an absolute
// system time.
extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  Kernel& k = Entry(Routine::KeDelayExecutionThread).kernel();
  const sim::Ticks now = k.clock.now();
  sim::Ticks due =
      Interval->QuadPart < 0 ? now - Interval->QuadPart : Interval->QuadPart - k.clock.systemOffset();
  const sim::Ticks tick = k.clock.increment();
  due = (due + tick - 1) / tick * tick;
  if (due <= now) return STATUS_SUCCESS;
  k.scheduler.waitUntil([] { return false; }, due);
  return STATUS_SUCCESS;
}

namespace {
std::vector<sim::ResourceRange> rangesOf(const CM_RESOURCE_LIST* list, ULONG size) {
  std::vector<sim::ResourceRange> ranges;
  if (list == nullptr || size < sizeof(ULONG)) {
    return ranges;
  }
  for (ULONG f = 0; f < list->Count && f < 1; f++) {
    const CM_PARTIAL_RESOURCE_LIST& partial = list->List[f].PartialResourceList;
    for (ULONG d = 0; d < partial.Count && d < 1; d++) {
      const CM_PARTIAL_RESOURCE_DESCRIPTOR& desc = partial.PartialDescriptors[d];
      if (desc.Type == CmResourceTypePort) {
        ranges.push_back({static_cast<uint64_t>(desc.u.Port.Start.QuadPart), desc.u.Port.Length,
                          (desc.Flags & CM_RESOURCE_PORT_IO) != 0});
      }
    }
  }
  return ranges;
}
}  // namespace

// One list per driver, each report replacing the last; a conflict leaves
// the old list standing and is reported through ConflictDetected.
extern "C" NTSTATUS NTAPI IoReportResourceUsage(PUNICODE_STRING DriverClassName, PDRIVER_OBJECT DriverObject,
                                                PCM_RESOURCE_LIST DriverList, ULONG DriverListSize,
                                                PDEVICE_OBJECT DeviceObject, PCM_RESOURCE_LIST DeviceList,
                                                ULONG DeviceListSize, BOOLEAN OverrideConflict,
                                                PBOOLEAN ConflictDetected) {
  (void)DriverClassName;
  (void)DeviceObject;
  (void)DeviceList;
  (void)DeviceListSize;
  (void)OverrideConflict;
  Entry entry(Routine::IoReportResourceUsage);
  Kernel& k = entry.kernel();
  *ConflictDetected = FALSE;
  NTSTATUS injected;
  if (entry.failed(__builtin_return_address(0), &injected)) {
    return injected;
  }
  if (DriverList != nullptr && DriverListSize < sizeof(ULONG)) {
    return STATUS_INVALID_PARAMETER;
  }
  sim::ResourceVerdict verdict = k.resources.report(DriverObject, rangesOf(DriverList, DriverListSize));
  *ConflictDetected = verdict.conflict ? TRUE : FALSE;
  return verdict.status;
}

extern "C" BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                                PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                                                PPHYSICAL_ADDRESS TranslatedAddress) {
  (void)InterfaceType;
  (void)BusNumber;
  Entry entry(Routine::HalTranslateBusAddress);
  Kernel& k = entry.kernel();
  if (entry.failed(__builtin_return_address(0))) {
    return FALSE;
  }
  uint64_t bus = static_cast<uint64_t>(BusAddress.QuadPart);
  uint32_t space = *AddressSpace;
  uint64_t translated = 0;
  if (!k.translate(bus, &space, &translated)) {
    return FALSE;
  }
  *AddressSpace = space;
  TranslatedAddress->QuadPart = static_cast<LONGLONG>(translated);
  // Remember the translation of the claimed range that holds the address.
  uint32_t length = 1;
  if (const sim::ResourceRange* r = k.resources.find(bus, true)) {
    length = r->length - static_cast<uint32_t>(bus - r->start);
  }
  k.translations.push_back({bus, length, space, translated});
  return TRUE;
}

extern "C" PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                    MEMORY_CACHING_TYPE CacheType) {
  (void)CacheType;
  Entry entry(Routine::MmMapIoSpace);
  Kernel& k = entry.kernel();
  if (entry.failed(__builtin_return_address(0)) || NumberOfBytes == 0) {
    return nullptr;
  }
  uint32_t virt =
      k.bus.map(static_cast<uint64_t>(PhysicalAddress.QuadPart), static_cast<uint32_t>(NumberOfBytes));
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the system address the bus mapped the range at
  return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(virt));
}

extern "C" VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  Kernel& k = Entry(Routine::MmUnmapIoSpace).kernel();
  uintptr_t virt = reinterpret_cast<uintptr_t>(BaseAddress);
  if (virt > UINT32_MAX || !k.bus.unmap(static_cast<uint32_t>(virt), static_cast<uint32_t>(NumberOfBytes))) {
    k.verifier.report(sim::Rule::BadUnmap, "MmUnmapIoSpace of " + sim::hex(virt) + " (" +
                                               std::to_string(NumberOfBytes) +
                                               " bytes), which is not a mapping of that size");
  }
}
