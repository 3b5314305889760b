// Every routine the simulated kernel and HAL export to a driver, as one
// table: the name a driver imports, the name the documentation and the
// verifier use, the IRQL range the routine may be called in, how a script
// can make it fail as the real one can, and whether another processor may
// get in first as it is called. Each export opens with an Entry built from
// its row, which does what the row says; `kernel fail`'s names, the
// machine fuzzer's list and the verifier test's IRQL table all come from
// here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/scheduler.h"

namespace sim {

class Kernel;

// How `kernel fail NAME` makes the routine fail: return the injected
// status, return no pointer, return 0, or return FALSE.
enum class Failure : uint8_t { None, Status, NoPointer, Zero, False };

constexpr uint8_t kAnyLevel = 31;  // HIGH_LEVEL: no rule
constexpr uint8_t kNoFailureId = 0xFF;

// Where another processor may get in first, or nowhere.
enum class Overtake : uint8_t { Never, AtCall, AtClock };

// The module that exports it on the 32-bit x86 system.
enum class Module : uint8_t { Hal, Kernel };

// export name, documented name, module, lowest and highest IRQL, failure
// with the number the machine fuzzer picks it by (fixed, never reused),
// overtake
#define SIM_KERNEL_ROUTINES(X)                                                                               \
  X(DbgPrint, "DbgPrint", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId, Overtake::Never)        \
  X(ExAllocatePoolWithTag, "ExAllocatePoolWithTag", Module::Kernel, 0, 2, Failure::NoPointer, 5,             \
    Overtake::Never)                                                                                         \
  X(ExFreePoolWithTag, "ExFreePoolWithTag", Module::Kernel, 0, 2, Failure::None, kNoFailureId,               \
    Overtake::Never)                                                                                         \
  X(HalGetBusData, "HalGetBusData", Module::Hal, 0, 2, Failure::Zero, 8, Overtake::Never)                    \
  X(HalTranslateBusAddress, "HalTranslateBusAddress", Module::Hal, 0, kAnyLevel, Failure::False, 9,          \
    Overtake::Never)                                                                                         \
  X(IoAllocateErrorLogEntry, "IoAllocateErrorLogEntry", Module::Kernel, 0, 2, Failure::NoPointer, 4,         \
    Overtake::Never)                                                                                         \
  X(IoAllocateWorkItem, "IoAllocateWorkItem", Module::Kernel, 0, 2, Failure::NoPointer, 12, Overtake::Never) \
  X(IoCreateDevice, "IoCreateDevice", Module::Kernel, 0, 0, Failure::Status, 0, Overtake::Never)             \
  X(IoCreateSymbolicLink, "IoCreateSymbolicLink", Module::Kernel, 0, 0, Failure::Status, 1, Overtake::Never) \
  X(IoDeleteDevice, "IoDeleteDevice", Module::Kernel, 0, 0, Failure::None, kNoFailureId, Overtake::Never)    \
  X(IoDeleteSymbolicLink, "IoDeleteSymbolicLink", Module::Kernel, 0, 0, Failure::None, kNoFailureId,         \
    Overtake::Never)                                                                                         \
  X(IoFreeErrorLogEntry, "IoFreeErrorLogEntry", Module::Kernel, 0, 2, Failure::None, kNoFailureId,           \
    Overtake::Never)                                                                                         \
  X(IoFreeWorkItem, "IoFreeWorkItem", Module::Kernel, 0, 2, Failure::None, kNoFailureId, Overtake::Never)    \
  X(IoQueueWorkItem, "IoQueueWorkItem", Module::Kernel, 0, 2, Failure::None, kNoFailureId, Overtake::AtCall) \
  X(IoRegisterShutdownNotification, "IoRegisterShutdownNotification", Module::Kernel, 0, 0, Failure::Status, \
    2, Overtake::Never)                                                                                      \
  X(IoReportResourceUsage, "IoReportResourceUsage", Module::Kernel, 0, 0, Failure::Status, 3,                \
    Overtake::Never)                                                                                         \
  X(IoSetStartIoAttributes, "IoSetStartIoAttributes", Module::Kernel, 0, 2, Failure::None, kNoFailureId,     \
    Overtake::Never)                                                                                         \
  X(IoStartNextPacket, "IoStartNextPacket", Module::Kernel, 0, 2, Failure::None, kNoFailureId,               \
    Overtake::AtCall)                                                                                        \
  X(IoStartPacket, "IoStartPacket", Module::Kernel, 0, 2, Failure::None, kNoFailureId, Overtake::AtCall)     \
  X(IoUnregisterShutdownNotification, "IoUnregisterShutdownNotification", Module::Kernel, 0, 0,              \
    Failure::None, kNoFailureId, Overtake::Never)                                                            \
  X(IoWriteErrorLogEntry, "IoWriteErrorLogEntry", Module::Kernel, 0, 2, Failure::None, kNoFailureId,         \
    Overtake::Never)                                                                                         \
  X(IofCompleteRequest, "IofCompleteRequest", Module::Kernel, 0, 2, Failure::None, kNoFailureId,             \
    Overtake::AtCall)                                                                                        \
  X(KeCancelTimer, "KeCancelTimer", Module::Kernel, 0, 2, Failure::None, kNoFailureId, Overtake::AtCall)     \
  X(KeDelayExecutionThread, "KeDelayExecutionThread", Module::Kernel, 0, 1, Failure::None, kNoFailureId,     \
    Overtake::AtCall)                                                                                        \
  X(KeFlushQueuedDpcs, "KeFlushQueuedDpcs", Module::Kernel, 0, 0, Failure::None, kNoFailureId,               \
    Overtake::Never)                                                                                         \
  X(KeGetCurrentIrql, "KeGetCurrentIrql", Module::Hal, 0, kAnyLevel, Failure::None, kNoFailureId,            \
    Overtake::Never)                                                                                         \
  X(KeInitializeDpc, "KeInitializeDpc", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId,           \
    Overtake::Never)                                                                                         \
  X(KeInitializeSpinLock, "KeInitializeSpinLock", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId, \
    Overtake::Never)                                                                                         \
  X(KeInitializeTimer, "KeInitializeTimer", Module::Kernel, 0, 2, Failure::None, kNoFailureId,               \
    Overtake::Never)                                                                                         \
  X(KeInsertQueueDpc, "KeInsertQueueDpc", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId,         \
    Overtake::AtCall)                                                                                        \
  X(KeQueryInterruptTime, "KeQueryInterruptTime", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId, \
    Overtake::AtClock)                                                                                       \
  X(KeQuerySystemTime, "KeQuerySystemTime", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId,       \
    Overtake::AtClock)                                                                                       \
  X(KeQueryTimeIncrement, "KeQueryTimeIncrement", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId, \
    Overtake::Never)                                                                                         \
  X(KeRemoveQueueDpc, "KeRemoveQueueDpc", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId,         \
    Overtake::AtCall)                                                                                        \
  X(KeSetTimerEx, "KeSetTimerEx", Module::Kernel, 0, 2, Failure::None, kNoFailureId, Overtake::AtCall)       \
  X(KeStallExecutionProcessor, "KeStallExecutionProcessor", Module::Hal, 0, kAnyLevel, Failure::None,        \
    kNoFailureId, Overtake::AtClock)                                                                         \
  X(KeTryToAcquireSpinLockAtDpcLevel, "KeTryToAcquireSpinLockAtDpcLevel", Module::Kernel, 2, kAnyLevel,      \
    Failure::None, kNoFailureId, Overtake::AtCall)                                                           \
  X(KefAcquireSpinLockAtDpcLevel, "KeAcquireSpinLockAtDpcLevel", Module::Kernel, 2, kAnyLevel,               \
    Failure::None, kNoFailureId, Overtake::Never)                                                            \
  X(KefReleaseSpinLockFromDpcLevel, "KeReleaseSpinLockFromDpcLevel", Module::Kernel, 2, kAnyLevel,           \
    Failure::None, kNoFailureId, Overtake::Never)                                                            \
  X(KfAcquireSpinLock, "KeAcquireSpinLock", Module::Hal, 0, 2, Failure::None, kNoFailureId, Overtake::Never) \
  X(KfLowerIrql, "KfLowerIrql", Module::Hal, 0, kAnyLevel, Failure::None, kNoFailureId, Overtake::Never)     \
  X(KfRaiseIrql, "KfRaiseIrql", Module::Hal, 0, kAnyLevel, Failure::None, kNoFailureId, Overtake::AtCall)    \
  X(KfReleaseSpinLock, "KeReleaseSpinLock", Module::Hal, 0, kAnyLevel, Failure::None, kNoFailureId,          \
    Overtake::Never)                                                                                         \
  X(MmMapIoSpace, "MmMapIoSpace", Module::Kernel, 0, 2, Failure::NoPointer, 6, Overtake::Never)              \
  X(MmUnmapIoSpace, "MmUnmapIoSpace", Module::Kernel, 0, 2, Failure::None, kNoFailureId, Overtake::Never)    \
  X(ObOpenObjectByPointer, "ObOpenObjectByPointer", Module::Kernel, 0, 0, Failure::Status, 10,               \
    Overtake::Never)                                                                                         \
  X(READ_PORT_UCHAR, "READ_PORT_UCHAR", Module::Hal, 0, kAnyLevel, Failure::None, kNoFailureId,              \
    Overtake::Never)                                                                                         \
  X(READ_REGISTER_UCHAR, "READ_REGISTER_UCHAR", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId,   \
    Overtake::Never)                                                                                         \
  X(RtlAddAccessAllowedAce, "RtlAddAccessAllowedAce", Module::Kernel, 0, 0, Failure::None, kNoFailureId,     \
    Overtake::Never)                                                                                         \
  X(RtlCreateAcl, "RtlCreateAcl", Module::Kernel, 0, 0, Failure::None, kNoFailureId, Overtake::Never)        \
  X(RtlCreateSecurityDescriptor, "RtlCreateSecurityDescriptor", Module::Kernel, 0, 0, Failure::None,         \
    kNoFailureId, Overtake::Never)                                                                           \
  X(RtlInitUnicodeString, "RtlInitUnicodeString", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId, \
    Overtake::Never)                                                                                         \
  X(RtlQueryRegistryValues, "RtlQueryRegistryValues", Module::Kernel, 0, 0, Failure::Status, 7,              \
    Overtake::Never)                                                                                         \
  X(RtlSetDaclSecurityDescriptor, "RtlSetDaclSecurityDescriptor", Module::Kernel, 0, 0, Failure::None,       \
    kNoFailureId, Overtake::Never)                                                                           \
  X(WRITE_PORT_UCHAR, "WRITE_PORT_UCHAR", Module::Hal, 0, kAnyLevel, Failure::None, kNoFailureId,            \
    Overtake::Never)                                                                                         \
  X(WRITE_REGISTER_UCHAR, "WRITE_REGISTER_UCHAR", Module::Kernel, 0, kAnyLevel, Failure::None, kNoFailureId, \
    Overtake::Never)                                                                                         \
  X(ZwClose, "ZwClose", Module::Kernel, 0, 0, Failure::None, kNoFailureId, Overtake::Never)                  \
  X(ZwSetSecurityObject, "ZwSetSecurityObject", Module::Kernel, 0, 0, Failure::Status, 11, Overtake::Never)

enum class Routine : uint16_t {
#define SIM_ROUTINE_ENUMERATOR(exported, shown, module, lowest, highest, failure, failureId, overtake) \
  exported,
  SIM_KERNEL_ROUTINES(SIM_ROUTINE_ENUMERATOR)
#undef SIM_ROUTINE_ENUMERATOR
};

struct RoutineRow {
  const char* exported;
  const char* shown;
  Routine routine;
  Module module;
  uint8_t lowest;
  uint8_t highest;
  Failure failure;
  uint8_t failureId;
  Overtake overtake;
};

inline constexpr RoutineRow kRoutineRows[] = {
#define SIM_ROUTINE_ROW(exported, shown, module, lowest, highest, failure, failureId, overtake) \
  {#exported, shown, Routine::exported, module, lowest, highest, failure, failureId, overtake},
    SIM_KERNEL_ROUTINES(SIM_ROUTINE_ROW)
#undef SIM_ROUTINE_ROW
};

constexpr const RoutineRow& rowOf(Routine routine) { return kRoutineRows[static_cast<size_t>(routine)]; }

// The row of a routine that `kernel fail` can fail, by either of its
// names; null when there is none.
const RoutineRow* failableRow(const std::string& name);

// The opening every export shares: the active kernel, the point where
// another processor may get in first, and the routine's IRQL rule, each
// broken rule reported. `failed` then takes a failure a script injected
// (the caller is the return address in the driver, for the failure sweep)
// and `alive` checks that an object handed in is not memory of a deleted
// device. Inline, so that a routine with no rule pays nothing for its row:
// always, since an Entry made out of line is an object in memory, which the
// sanitized builds guard at every export (a port access among them).
class Entry {
 public:
  [[gnu::always_inline]] explicit Entry(Routine routine) : kernel_(currentKernel()), row_(rowOf(routine)) {
    if (row_.overtake != Overtake::Never) overtake();
    if (row_.highest != kAnyLevel || row_.lowest != 0) checkLevel();
  }
  Kernel& kernel() const { return kernel_; }
  // The IRQL rule held.
  bool levelHeld() const { return levelHeld_; }
  bool failed(const void* caller, int32_t* status = nullptr);
  bool alive(const volatile void* object);

 private:
  // Both inline, in sim/kernel.h.
  static Kernel& currentKernel();
  void overtake();
  void checkLevel();

  Kernel& kernel_;
  const RoutineRow& row_;
  bool levelHeld_ = true;
};

}  // namespace sim
