// The kernel routines Wine 8.0 lacks or stubs (WINEHAL_KERNEL_GAPS), each
// with the documented rule it follows, and their binding into Wine's
// ntoskrnl.exe. Error log and shutdown are in eventlog.cpp and shutdown.cpp.
#include "Gaps.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <set>

#include "Hal.h"
#include "Routines.h"
#include "platform.h"

using winehal::hal;

namespace winehal {
namespace {
volatile uintptr_t* lockWord(PKSPIN_LOCK lock) { return reinterpret_cast<volatile uintptr_t*>(lock); }

// Start-I/O ---------------------------------------------------------------
//
// Wine never initialises a device's queue (its DeviceObjectExtension stays
// NULL), so each device's queue and attributes are kept here, by device.
struct DeviceQueue {
  bool deferred = false;   // IoSetStartIoAttributes(DeferredStartIo)
  bool busy = false;       // a packet is the device's current one
  bool inStartIo = false;  // the start-I/O routine runs
  bool nextDue = false;    // IoStartNextPacket was called inside it
  std::deque<PIRP> packets;
};

win32::Monitor& queueLock() {
  static win32::Monitor lock;
  return lock;
}

std::map<PDEVICE_OBJECT, DeviceQueue>& queues() {
  static std::map<PDEVICE_OBJECT, DeviceQueue> map;
  return map;
}

// Runs the start-I/O routine on `irp`, then, when the routine asked for the
// next packet from inside a deferred start-I/O, the next one, and so on:
// one level deep however long the queue. The routine runs at
// DISPATCH_LEVEL: IoStartPacket raises to it, and its callers are at it or
// below.
void runStartIo(PDEVICE_OBJECT device, PIRP irp, const char* routine) {
  const uint8_t oldIrql = raiseIrql(kDispatchLevel, routine);
  while (irp != nullptr) {
    DeviceQueue* q;
    {
      win32::Hold hold(queueLock());
      q = &queues()[device];
      q->inStartIo = true;
      q->nextDue = false;
      device->CurrentIrp = irp;
    }
    device->DriverObject->DriverStartIo(device, irp);
    win32::Hold hold(queueLock());
    q->inStartIo = false;
    irp = nullptr;
    if (!q->nextDue) break;
    if (q->packets.empty()) {
      q->busy = false;
      device->CurrentIrp = nullptr;
    } else {
      irp = q->packets.front();
      q->packets.pop_front();
    }
  }
  lowerIrql(oldIrql, routine);
}

// Deferred calls ----------------------------------------------------------
//
// Wine delivers a timer's call on a thread-pool thread of its own; calls
// queued with KeInsertQueueDpc run here, in order, on one thread of the
// HAL's, as on one processor's queue. The thread-pool timers of the timers
// the driver set are remembered, so that a flush also waits for a timer's
// call that is running.
struct DpcQueue {
  win32::Monitor lock;
  std::deque<PKDPC> queued;
  std::set<PKDPC> inQueue;
  int running = 0;
  bool threadStarted = false;
  std::set<void*> timerPools;
};

DpcQueue& dpcs() {
  static DpcQueue q;
  return q;
}

// The thread is a processor's deferred-call loop: at DISPATCH_LEVEL.
void runDpcs(void*) {
  raiseIrql(kDispatchLevel, "the deferred-call thread");
  DpcQueue& q = dpcs();
  win32::Hold hold(q.lock);
  for (;;) {
    while (q.queued.empty()) q.lock.wait();
    PKDPC dpc = q.queued.front();
    q.queued.pop_front();
    q.inQueue.erase(dpc);
    q.running++;
    q.lock.leave();
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    q.lock.enter();
    q.running--;
    q.lock.notifyAll();
  }
}

void rememberTimer(PKTIMER timer) {
  if (void* pool = timer->TimerListEntry.Blink) {
    win32::Hold hold(dpcs().lock);
    dpcs().timerPools.insert(pool);
  }
}

// Work items --------------------------------------------------------------
//
// Wine queues a work item on its thread pool and references the device
// while the routine runs, but calls a driver's unload routine whatever is
// queued; the routine would then run in an image that is gone, on a device
// and an item the unload freed. A queued item holds its device, so the I/O
// manager calls the unload routine only once every item queued for the
// driver's devices has run: the HAL counts them per driver and puts a
// routine of its own in the driver object's unload field, which waits for
// that count to come to zero and then calls the driver's.
struct DriverWork {
  PDRIVER_UNLOAD unload = nullptr;  // the driver's own unload routine
  int outstanding = 0;              // items queued or running
  bool unloading = false;           // the unload has been asked for
  bool unloadBegun = false;         // the driver's unload routine runs, or has run
};

struct WorkItems {
  win32::Monitor lock;
  std::map<PIO_WORKITEM, PDEVICE_OBJECT> devices;  // each allocated item's device
  std::map<PDRIVER_OBJECT, DriverWork> drivers;
  // Set up from the board description (`hal hold-work-items`): every item
  // waits until its driver's unload has been asked for, so that a test
  // can stop the driver while an item is queued.
  bool hold = false;
};

WorkItems& workItems() {
  static WorkItems w;
  return w;
}
}  // namespace

void holdWorkItems() {
  win32::Hold hold(workItems().lock);
  workItems().hold = true;
}

namespace {

// One queuing of an item: the driver's routine and context, run by
// runWorkItem on Wine's thread pool.
struct QueuedWork {
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  PDRIVER_OBJECT driver;
};

VOID NTAPI unloadWhenIdle(PDRIVER_OBJECT driver) {
  WorkItems& w = workItems();
  PDRIVER_UNLOAD unload;
  {
    win32::Hold hold(w.lock);
    DriverWork& d = w.drivers[driver];
    d.unloading = true;
    w.lock.notifyAll();
    if (d.outstanding != 0) {
      win32::Hold out(hal().boardLock);
      output("hal: the unload waits for " + std::to_string(d.outstanding) + " queued work item(s)");
    }
    while (d.outstanding != 0) w.lock.wait();
    d.unloadBegun = true;
    unload = d.unload;
  }
  unload(driver);
}

// The driver's unload field gets the HAL's routine: when the driver
// allocates its first item (its entry sets the field before that), or
// else when it queues one. A driver object the HAL has not yet seen, or a
// new one at the address of one that was unloaded, starts afresh. A driver
// without an unload routine cannot be unloaded, and Wine does not try.
// Called with the lock held.
DriverWork& watch(PDRIVER_OBJECT driver) {
  DriverWork& d = workItems().drivers[driver];
  if (driver->DriverUnload != unloadWhenIdle && driver->DriverUnload != nullptr) {
    d = DriverWork{};
    d.unload = driver->DriverUnload;
    driver->DriverUnload = unloadWhenIdle;
  }
  return d;
}

// A worker thread runs the routine at PASSIVE_LEVEL and must get the
// thread back at that level (WORKER_THREAD_RETURNED_AT_BAD_IRQL).
VOID NTAPI runWorkItem(PDEVICE_OBJECT device, PVOID context) {
  QueuedWork work = *static_cast<QueuedWork*>(context);
  delete static_cast<QueuedWork*>(context);
  WorkItems& w = workItems();
  bool gone;
  {
    win32::Hold hold(w.lock);
    DriverWork& d = w.drivers[work.driver];
    while (w.hold && !d.unloading) w.lock.wait();
    gone = d.unloadBegun;
  }
  if (gone) {
    // The unload routine frees the device and the item, and the image goes
    // after it: the routine is not called.
    reportRule("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
               "a work item was still queued when the unload routine began");
  } else {
    work.routine(device, work.context);
    if (currentIrql() != kPassiveLevel) {
      reportRule("WORKER_THREAD_RETURNED_AT_BAD_IRQL",
                 "work item routine returned at IRQL " + std::to_string(currentIrql()));
      lowerIrql(kPassiveLevel, "the worker thread");
    }
  }
  win32::Hold hold(w.lock);
  w.drivers[work.driver].outstanding--;
  w.lock.notifyAll();
}

// Mapped registers --------------------------------------------------------

struct Mapping {
  uint64_t physical;
  SIZE_T length;
};

std::map<uintptr_t, Mapping>& mappings() {
  static std::map<uintptr_t, Mapping> map;
  return map;
}

// The physical address behind a mapped system address, or false: the real
// kernel takes a page fault in a non-paged area for any other address.
bool physicalOf(volatile UCHAR* address, uint64_t* physical) {
  uintptr_t virt = reinterpret_cast<uintptr_t>(address);
  auto it = mappings().upper_bound(virt);
  if (it == mappings().begin()) return false;
  --it;
  if (virt - it->first >= it->second.length) return false;
  *physical = it->second.physical + (virt - it->first);
  return true;
}

void pageFault(const char* routine, volatile UCHAR* address) {
  char text[96];
  snprintf(text, sizeof(text), "verifier: PAGE_FAULT_IN_NONPAGED_AREA: %s of 0x%08X, which is not mapped",
           routine, static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
  output(text);
}
}  // namespace
}  // namespace winehal

using winehal::dpcs;
using winehal::queueLock;
using winehal::queues;

// Start-I/O ------------------------------------------------------------------

extern "C" VOID NTAPI gap_IoSetStartIoAttributes(PDEVICE_OBJECT DeviceObject, BOOLEAN DeferredStartIo,
                                                 BOOLEAN NonCancelable) {
  (void)NonCancelable;
  win32::Hold hold(queueLock());
  queues()[DeviceObject] = winehal::DeviceQueue{};
  queues()[DeviceObject].deferred = DeferredStartIo != FALSE;
}

// The driver's IRPs carry no cancel routine and no key: the packet goes to
// the tail of the queue.
extern "C" VOID NTAPI gap_IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key,
                                        PDRIVER_CANCEL CancelFunction) {
  (void)Key;
  (void)CancelFunction;
  {
    win32::Hold hold(queueLock());
    winehal::DeviceQueue& q = queues()[DeviceObject];
    if (q.busy) {
      q.packets.push_back(Irp);
      return;
    }
    q.busy = true;
  }
  winehal::runStartIo(DeviceObject, Irp, "IoStartPacket");
}

extern "C" VOID NTAPI gap_IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable) {
  (void)Cancelable;
  PIRP next = nullptr;
  {
    win32::Hold hold(queueLock());
    winehal::DeviceQueue& q = queues()[DeviceObject];
    if (q.deferred && q.inStartIo) {
      q.nextDue = true;
      return;
    }
    if (q.packets.empty()) {
      q.busy = false;
      DeviceObject->CurrentIrp = nullptr;
      return;
    }
    next = q.packets.front();
    q.packets.pop_front();
  }
  winehal::runStartIo(DeviceObject, next, "IoStartNextPacket");
}

// Work items -----------------------------------------------------------------

// Wine's allocation; the HAL notes the item's device for IoQueueWorkItem.
extern "C" PIO_WORKITEM NTAPI gap_IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  using Allocate = PIO_WORKITEM(NTAPI*)(PDEVICE_OBJECT);
  static const auto wineAllocate = reinterpret_cast<Allocate>(winehal::wineRoutine("IoAllocateWorkItem"));
  PIO_WORKITEM item = wineAllocate(DeviceObject);
  if (item != nullptr) {
    win32::Hold hold(winehal::workItems().lock);
    winehal::workItems().devices[item] = DeviceObject;
    winehal::watch(DeviceObject->DriverObject);
  }
  return item;
}

// Wine's queue and thread pool run the item; the HAL's routine around the
// driver's counts it against the driver until it has run.
extern "C" VOID NTAPI gap_IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                          WORK_QUEUE_TYPE QueueType, PVOID Context) {
  using Queue = VOID(NTAPI*)(PIO_WORKITEM, PIO_WORKITEM_ROUTINE, WORK_QUEUE_TYPE, PVOID);
  static const auto wineQueue = reinterpret_cast<Queue>(winehal::wineRoutine("IoQueueWorkItem"));
  winehal::WorkItems& w = winehal::workItems();
  PDRIVER_OBJECT driver;
  {
    win32::Hold hold(w.lock);
    auto it = w.devices.find(IoWorkItem);
    if (it == w.devices.end()) {
      winehal::reportRule("WORKER_INVALID", "IoQueueWorkItem of an item IoAllocateWorkItem did not give");
      return;
    }
    driver = it->second->DriverObject;
    winehal::watch(driver).outstanding++;
    if (w.hold) {
      win32::Hold out(hal().boardLock);
      winehal::output("hal: work item held until the unload");
    }
  }
  wineQueue(IoWorkItem, winehal::runWorkItem, QueueType,
            new winehal::QueuedWork{WorkerRoutine, Context, driver});
}

// Spin locks -----------------------------------------------------------------

extern "C" VOID FASTCALL gap_KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  winehal::takeSpinLock(winehal::lockWord(SpinLock));
}

extern "C" VOID FASTCALL gap_KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  winehal::releaseSpinLock(winehal::lockWord(SpinLock));
}

extern "C" BOOLEAN FASTCALL gap_KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  return winehal::tryTakeSpinLock(winehal::lockWord(SpinLock)) ? TRUE : FALSE;
}

// Deferred calls and timers ------------------------------------------------

// A call is in the queue at most once: inserting a queued one changes
// nothing and returns FALSE. A running call may be queued again.
extern "C" BOOLEAN NTAPI gap_KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  winehal::DpcQueue& q = dpcs();
  win32::Hold hold(q.lock);
  if (q.inQueue.count(Dpc) != 0) return FALSE;
  if (!q.threadStarted) q.threadStarted = win32::startThread(winehal::runDpcs, nullptr);
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  q.queued.push_back(Dpc);
  q.inQueue.insert(Dpc);
  q.lock.notifyAll();
  return TRUE;
}

// Wine hands a timer's call to a thread-pool thread as the timer expires,
// with no queue in between that it could be taken from: such a call is
// already on its way, like one a processor has dequeued, and runs on.
extern "C" BOOLEAN NTAPI gap_KeRemoveQueueDpc(PRKDPC Dpc) {
  winehal::DpcQueue& q = dpcs();
  win32::Hold hold(q.lock);
  if (q.inQueue.erase(Dpc) == 0) return FALSE;
  for (auto it = q.queued.begin(); it != q.queued.end(); ++it) {
    if (*it == Dpc) {
      q.queued.erase(it);
      break;
    }
  }
  return TRUE;
}

// Returns once every deferred call queued before it has run to its end: the
// HAL's queue drained and idle, and no timer's call running. Called at
// PASSIVE_LEVEL only, never from a deferred call.
extern "C" VOID NTAPI gap_KeFlushQueuedDpcs(VOID) {
  winehal::DpcQueue& q = dpcs();
  std::set<void*> pools;
  {
    win32::Hold hold(q.lock);
    while (!q.queued.empty() || q.running != 0) q.lock.wait();
    pools = q.timerPools;
  }
  for (void* pool : pools) win32::waitTimerCallbacks(pool);
}

// Takes the timer out of the timer queue, as the real kernel does, without
// waiting for its deferred call when that is running: the caller may hold
// the lock the call waits for. Wine keeps the timer's state in the KTIMER
// (Header.Inserted) and its thread-pool timer in TimerListEntry.Blink.
extern "C" BOOLEAN NTAPI gap_KeCancelTimer(PKTIMER Timer) {
  if (void* pool = Timer->TimerListEntry.Blink) win32::stopTimerCallbacks(pool);
  winehal::rememberTimer(Timer);
  BOOLEAN wasSet = Timer->Header.Inserted;
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = FALSE;
  return wasSet;
}

// Setting a set timer first cancels it; Wine's own cancel inside
// KeSetTimerEx waits for a running call, so the cancel is this HAL's, and
// the setting and the delivery of the call are Wine's.
extern "C" BOOLEAN NTAPI gap_KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  using SetTimer = BOOLEAN(NTAPI*)(PKTIMER, LARGE_INTEGER, LONG, PKDPC);
  static const auto wineSetTimer = reinterpret_cast<SetTimer>(winehal::wineRoutine("KeSetTimerEx"));
  BOOLEAN wasSet = gap_KeCancelTimer(Timer);
  wineSetTimer(Timer, DueTime, Period, Dpc);
  winehal::rememberTimer(Timer);
  return wasSet;
}

extern "C" ULONGLONG NTAPI gap_KeQueryInterruptTime(VOID) {
  return static_cast<ULONGLONG>(winehal::readInterruptTime());
}

// Resources and registers ------------------------------------------------------

// The board has nothing else on the ranges the driver claims.
extern "C" NTSTATUS NTAPI gap_IoReportResourceUsage(PUNICODE_STRING DriverClassName,
                                                    PDRIVER_OBJECT DriverObject, PCM_RESOURCE_LIST DriverList,
                                                    ULONG DriverListSize, PDEVICE_OBJECT DeviceObject,
                                                    PCM_RESOURCE_LIST DeviceList, ULONG DeviceListSize,
                                                    BOOLEAN OverrideConflict, PBOOLEAN ConflictDetected) {
  (void)DriverClassName;
  (void)DriverObject;
  (void)DeviceObject;
  (void)DeviceList;
  (void)DeviceListSize;
  (void)OverrideConflict;
  *ConflictDetected = FALSE;
  if (DriverList != nullptr && DriverListSize < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

// System addresses that nothing can touch stand for the physical range; the
// register routines reach the board through them.
extern "C" PVOID NTAPI gap_MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                        MEMORY_CACHING_TYPE CacheType) {
  (void)CacheType;
  if (NumberOfBytes == 0) return nullptr;
  void* virt = win32::reserveAddresses(static_cast<uint32_t>(NumberOfBytes));
  if (virt == nullptr) return nullptr;
  win32::Hold hold(hal().boardLock);
  winehal::mappings()[reinterpret_cast<uintptr_t>(virt)] = {static_cast<uint64_t>(PhysicalAddress.QuadPart),
                                                            NumberOfBytes};
  return virt;
}

extern "C" VOID NTAPI gap_MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  win32::Hold hold(hal().boardLock);
  auto it = winehal::mappings().find(reinterpret_cast<uintptr_t>(BaseAddress));
  if (it == winehal::mappings().end() || it->second.length != NumberOfBytes) {
    winehal::output("verifier: BAD_UNMAP: MmUnmapIoSpace of a range that is not a mapping of that size");
    return;
  }
  winehal::mappings().erase(it);
  win32::releaseAddresses(BaseAddress);
}

extern "C" UCHAR NTAPI gap_READ_REGISTER_UCHAR(volatile UCHAR* Register) {
  win32::Hold hold(hal().boardLock);
  uint64_t physical = 0;
  if (!winehal::physicalOf(Register, &physical)) {
    winehal::pageFault("READ_REGISTER_UCHAR", Register);
    return 0xFF;
  }
  return hal().board->memoryRead(physical);
}

extern "C" VOID NTAPI gap_WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) {
  win32::Hold hold(hal().boardLock);
  uint64_t physical = 0;
  if (!winehal::physicalOf(Register, &physical)) {
    winehal::pageFault("WRITE_REGISTER_UCHAR", Register);
    return;
  }
  hal().board->memoryWrite(physical, Value);
}

// Binding ----------------------------------------------------------------------

namespace winehal {
namespace {
#define WINEHAL_GAP_EXPORT(name, wine, rule) {#name, reinterpret_cast<void*>(&gap_##name), nullptr},
win32::Export g_exports[] = {WINEHAL_KERNEL_GAPS(WINEHAL_GAP_EXPORT)};
#undef WINEHAL_GAP_EXPORT
}  // namespace

bool bindGaps(std::string* error) {
  return win32::bindExports(wineKernel(), g_exports, std::size(g_exports), error);
}

// Wine's routine as it was before the binding, for the gaps that call it.
void* wineRoutine(const char* name) {
  for (const win32::Export& e : g_exports) {
    if (strcmp(e.name, name) == 0) return e.original;
  }
  return win32::procAddress(wineKernel(), name);
}

}  // namespace winehal
