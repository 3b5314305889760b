// Timers, deferred calls and resources: the kernel and HAL routines.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>

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
// A resource list or translation on a bus the machine does not have is
// refused (sim::busExists says which buses it has).
bool busExists(const Kernel& k, LONG type, ULONG bus) {
  return type >= 0 && sim::busExists(static_cast<uint32_t>(type), bus, k.pci);
}

// Resource types and share dispositions the kernel knows (CmResourceType*,
// CmResourceShare*); the two types that carry an address range, and the
// one whose data follows its descriptor.
constexpr UCHAR kTypeMemory = 3;
constexpr UCHAR kTypeDeviceSpecific = 5;
constexpr UCHAR kKnownTypes[] = {
    CmResourceTypeNull, CmResourceTypePort, 2, kTypeMemory, 4, kTypeDeviceSpecific, 6, 7, 128, 129, 130, 131};
constexpr UCHAR kShareLast = 3;  // CmResourceShareShared
constexpr uint64_t kPortSpaceEnd = 0x10000;
constexpr size_t kFullHeader = offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors);
constexpr size_t kDescriptor = sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);

std::string checkDescriptor(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d) {
  if (std::find(std::begin(kKnownTypes), std::end(kKnownTypes), d.Type) == std::end(kKnownTypes)) {
    return "descriptor of unknown type " + std::to_string(d.Type);
  }
  if (d.ShareDisposition > kShareLast) {
    return "descriptor with share disposition " + std::to_string(d.ShareDisposition);
  }
  if (d.Type != CmResourceTypePort && d.Type != kTypeMemory) {
    return "";
  }
  const uint64_t start = static_cast<uint64_t>(d.u.Port.Start.QuadPart);
  const uint64_t length = d.u.Port.Length;
  const bool io = d.Type == CmResourceTypePort && (d.Flags & CM_RESOURCE_PORT_IO) != 0;
  if (length == 0 || (io && (start >= kPortSpaceEnd || length > kPortSpaceEnd - start)) ||
      start + length < start) {
    return std::string(io ? "port" : "memory") + " range " + sim::hex(start) + " (" + std::to_string(length) +
           " bytes), which the bus cannot hold";
  }
  return "";
}

// The list as the I/O manager reads it. The routine's documented contract:
// DriverListSize (DeviceListSize) is the size of the list, 0 when there is
// none; a CM_RESOURCE_LIST is Count full descriptors, each naming its bus
// and holding its own count of partial descriptors. Here each bus must be
// one the machine has, each partial descriptor of a known type and share
// disposition and, for ports and memory, a range the bus can hold;
// device-specific data follows its descriptor. A list whose fields do not
// add up to its size is refused, as a list left uninitialised is on the
// real kernel (the HAL finds its ranges invalid for the bus). The empty
// string when the list is sound; its port and memory ranges then go to
// *ranges.
std::string checkList(const Kernel& k, const CM_RESOURCE_LIST* list, ULONG size,
                      std::vector<sim::ResourceRange>* ranges) {
  if (list == nullptr) {
    return size == 0 ? "" : "no list, but a size of " + std::to_string(size);
  }
  // Read field by field: device-specific data may leave what follows it
  // unaligned.
  const auto* bytes = reinterpret_cast<const uint8_t*>(list);
  auto read = [bytes](uint64_t offset, auto* to) { std::memcpy(to, bytes + offset, sizeof(*to)); };
  uint64_t used = offsetof(CM_RESOURCE_LIST, List);
  if (size < used) {
    return "a list of " + std::to_string(size) + " bytes has no room for its count";
  }
  ULONG count = 0;
  read(0, &count);
  for (ULONG f = 0; f < count; f++) {
    if (used + kFullHeader > size) {
      return "count " + std::to_string(count) + " runs past the list's " + std::to_string(size) + " bytes";
    }
    LONG type = 0;  // an INTERFACE_TYPE, or garbage
    ULONG bus = 0;
    ULONG partials = 0;
    read(used + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, InterfaceType), &type);
    read(used + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, BusNumber), &bus);
    read(used + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.Count), &partials);
    if (!busExists(k, type, bus)) {
      return "bus " + std::to_string(bus) + " of interface type " + std::to_string(type) +
             ", which the machine does not have";
    }
    used += kFullHeader;
    for (ULONG d = 0; d < partials; d++) {
      if (used + kDescriptor > size) {
        return "descriptor count " + std::to_string(partials) + " runs past the list's " +
               std::to_string(size) + " bytes";
      }
      CM_PARTIAL_RESOURCE_DESCRIPTOR desc;
      read(used, &desc);
      std::string fault = checkDescriptor(desc);
      if (!fault.empty()) {
        return fault;
      }
      used += kDescriptor;
      if (desc.Type == kTypeDeviceSpecific) {
        used += desc.u.DeviceSpecificData.Data[0];  // DataSize
      } else if (desc.Type == CmResourceTypePort || desc.Type == kTypeMemory) {
        ranges->push_back({static_cast<uint64_t>(desc.u.Port.Start.QuadPart), desc.u.Port.Length,
                           desc.Type == CmResourceTypePort && (desc.Flags & CM_RESOURCE_PORT_IO) != 0});
      }
    }
  }
  if (used != size) {
    return "its fields take " + std::to_string(used) + " bytes, its size says " + std::to_string(size);
  }
  return "";
}
}  // namespace

// One list per driver, each report replacing the last; a conflict leaves
// the old list standing and is reported through ConflictDetected. The
// device list is checked as the driver list is; claims come from the
// driver list.
extern "C" NTSTATUS NTAPI IoReportResourceUsage(PUNICODE_STRING DriverClassName, PDRIVER_OBJECT DriverObject,
                                                PCM_RESOURCE_LIST DriverList, ULONG DriverListSize,
                                                PDEVICE_OBJECT DeviceObject, PCM_RESOURCE_LIST DeviceList,
                                                ULONG DeviceListSize, BOOLEAN OverrideConflict,
                                                PBOOLEAN ConflictDetected) {
  (void)DriverClassName;
  (void)DeviceObject;
  (void)OverrideConflict;
  Entry entry(Routine::IoReportResourceUsage);
  Kernel& k = entry.kernel();
  *ConflictDetected = FALSE;
  NTSTATUS injected;
  if (entry.failed(__builtin_return_address(0), &injected)) {
    return injected;
  }
  std::vector<sim::ResourceRange> ranges;
  std::vector<sim::ResourceRange> deviceRanges;
  std::string fault = checkList(k, DriverList, DriverListSize, &ranges);
  if (fault.empty()) {
    fault = checkList(k, DeviceList, DeviceListSize, &deviceRanges);
    if (!fault.empty()) fault = "device list: " + fault;
  } else {
    fault = "driver list: " + fault;
  }
  // No bug check of the real kernel names this; the simulated verifier
  // reports it as INVALID_RESOURCE_LIST, and the call fails as the real one
  // does on such a list.
  if (!fault.empty()) {
    k.verifier.report(sim::Rule::InvalidResourceList, "IoReportResourceUsage " + fault);
    return STATUS_INVALID_PARAMETER;
  }
  sim::ResourceVerdict verdict = k.resources.report(DriverObject, ranges);
  *ConflictDetected = verdict.conflict ? TRUE : FALSE;
  return verdict.status;
}

// The real HAL answers FALSE for a bus the machine does not have.
extern "C" BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                                PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                                                PPHYSICAL_ADDRESS TranslatedAddress) {
  Entry entry(Routine::HalTranslateBusAddress);
  Kernel& k = entry.kernel();
  if (entry.failed(__builtin_return_address(0)) || !busExists(k, InterfaceType, BusNumber)) {
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

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  sim::Kernel& k = Entry(Routine::KeQuerySystemTime).kernel();
  k.clock.advance(sim::Clock::kReadCost);
  CurrentTime->QuadPart = k.clock.systemTime();
}
