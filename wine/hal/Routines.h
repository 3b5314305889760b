// Every routine of the run that is ours rather than Wine's: the one list.
//
// The HAL is ours whole (the DLL replaces Wine's hal.dll in winedevice.exe
// only): each routine the driver image imports from HAL.dll, and the two
// that Wine's own ntoskrnl.exe imports from it. Of ntoskrnl.exe only the
// gaps are ours: routines that Wine 8.0 exports as a stub that aborts the
// process, implements as a FIXME with a fixed result, implements against
// the documented behaviour, or does not export at all. Everything else the
// driver imports (the loader, IoCreateDevice, symbolic links, the DACL and
// the check at open, RtlQueryRegistryValues, IofCompleteRequest, the timer's
// delivery of its deferred call, pool, service control) stays Wine's.
//
// Columns: the routine's name as the image imports it, what Wine 8.0 does
// with it, and the documented rule ours follows. A kernel row binds the
// export of that name to the function gap_NAME (gaps.cpp and its
// neighbours); a row for a name Wine does not export adds the export. Some
// gaps call Wine's own routine for the part Wine gets right (KeSetTimerEx,
// IoAllocateWorkItem, IoQueueWorkItem). Adding a routine is one row here
// and its function.
#pragma once

#define WINEHAL_HAL_ROUTINES(X)                                                                             \
  X(HalGetBusData, "returns 0 (no bus)",                                                                    \
    "PCI configuration space of the board model; 0 for a bus that does not exist")                          \
  X(HalTranslateBusAddress, "returns FALSE",                                                                \
    "the board's translation: I/O space as is, or the GPIO block in memory space; FALSE for a bus "         \
    "the board does not have")                                                                              \
  X(KeStallExecutionProcessor, "aborts the process",                                                        \
    "advances the HAL's clock by the microseconds asked for and returns at once")                           \
  X(READ_PORT_UCHAR, "reads 0", "a port read on the board model (1 us of the HAL's clock)")                 \
  X(WRITE_PORT_UCHAR, "does nothing", "a port write on the board model (1 us of the HAL's clock)")          \
  X(KfRaiseIrql, "does nothing: returns PASSIVE_LEVEL",                                                     \
    "raises the calling thread's level and returns the old one; below the current level is "                \
    "IRQL_NOT_GREATER_OR_EQUAL")                                                                            \
  X(KfLowerIrql, "does nothing",                                                                            \
    "lowers the calling thread's level; above the current level is IRQL_NOT_LESS_OR_EQUAL")                 \
  X(KfAcquireSpinLock, "spins on the lock word; the level stays PASSIVE_LEVEL",                             \
    "raises to DISPATCH_LEVEL, then spins on the lock word; the lock's holder is known to the board model") \
  X(KfReleaseSpinLock, "clears the lock word", "clears the lock word, then lowers to the level given")      \
  X(KeAcquireSpinLock, "spins on the lock word (imported by Wine's ntoskrnl.exe)", "as KfAcquireSpinLock")  \
  X(KeReleaseSpinLock, "clears the lock word (imported by Wine's ntoskrnl.exe)", "as KfReleaseSpinLock")

#define WINEHAL_KERNEL_GAPS(X)                                                                              \
  X(IoSetStartIoAttributes, "aborts the process",                                                           \
    "records deferred start-I/O for the device: the next packet starts after the routine returns")          \
  X(IoStartPacket, "aborts the process",                                                                    \
    "the start-I/O routine runs at once on an idle device; otherwise the packet waits in the device queue") \
  X(IoStartNextPacket, "does nothing",                                                                      \
    "starts the next queued packet; from inside a deferred start-I/O routine, once it has returned")        \
  X(KefAcquireSpinLockAtDpcLevel, "aborts the process", "spins on the lock word, as KfAcquireSpinLock")     \
  X(KefReleaseSpinLockFromDpcLevel, "aborts the process", "clears the lock word")                           \
  X(KeTryToAcquireSpinLockAtDpcLevel, "not exported: the loader binds a thunk that aborts the process",     \
    "takes the lock when it is free and says whether it did; never spins")                                  \
  X(IoAllocateWorkItem, "works", "Wine's allocation; the item's device is noted for IoQueueWorkItem")       \
  X(IoQueueWorkItem,                                                                                        \
    "runs the item on its thread pool, but calls the driver's unload routine whatever is queued",           \
    "Wine's queue and thread pool; a queued item holds its device: the driver's unload routine runs once "  \
    "every "                                                                                                \
    "item queued for its devices has run")                                                                  \
  X(KeInsertQueueDpc, "returns TRUE and never runs the call",                                               \
    "queues the call once (FALSE when it is queued already) and runs it on the HAL's deferred-call thread") \
  X(KeRemoveQueueDpc, "aborts the process",                                                                 \
    "takes a queued call off the queue (TRUE); a running one runs on (FALSE)")                              \
  X(KeFlushQueuedDpcs, "does nothing",                                                                      \
    "returns once every deferred call queued before it, the timers' included, has run to its end")          \
  X(KeCancelTimer, "waits for a deferred call of the timer that is running",                                \
    "takes the timer out of the timer queue and returns whether it was there; does not wait")               \
  X(KeSetTimerEx, "re-setting a set timer waits for its running deferred call",                             \
    "a set timer is cancelled without waiting, then Wine's KeSetTimerEx sets it and delivers its call")     \
  X(KeQueryInterruptTime, "milliseconds",                                                                   \
    "the HAL's clock in 100 ns units, in whole increments of KeQueryTimeIncrement")                         \
  X(IoAllocateErrorLogEntry, "returns NULL", "a zeroed entry of the size asked for (at most 152 bytes)")    \
  X(IoWriteErrorLogEntry, "aborts the process",                                                             \
    "the entry as the event viewer shows it, text from the image's own message table")                      \
  X(IoReportResourceUsage, "returns STATUS_NOT_IMPLEMENTED",                                                \
    "the board's verdict: the ranges are the driver's, no conflict")                                        \
  X(IoRegisterShutdownNotification, "succeeds, never notifies",                                             \
    "the device gets IRP_MJ_SHUTDOWN when halctl.exe shutdown asks for it")                                 \
  X(IoUnregisterShutdownNotification, "does nothing", "the device is no longer notified")                   \
  X(MmMapIoSpace, "returns NULL", "a system address range standing for the physical range")                 \
  X(MmUnmapIoSpace, "does nothing", "the range is released")                                                \
  X(READ_REGISTER_UCHAR, "aborts the process", "a memory-space read on the board model")                    \
  X(WRITE_REGISTER_UCHAR, "aborts the process", "a memory-space write on the board model")
