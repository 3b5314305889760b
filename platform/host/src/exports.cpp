// The routines the simulated kernel exports to driver images, each in the
// module that exports it on the 32-bit x86 system, with the calling
// convention and argument size its declaration in platform.h gives it.
//
// The convention and size are read off the declarations themselves, so the
// table cannot say one thing while the routine does another; a test holds
// them to the decorated names in the import libraries that the image was
// linked against (_KeSetTimerEx@20, @IofCompleteRequest@8, _DbgPrint).
#include <cstring>

#include "platform.h"
#include "sim/image.h"

namespace sim {

#if defined(__i386__)
namespace {

// Arguments occupy whole 32-bit stack slots on i386.
template <typename... A>
constexpr uint32_t slots() {
  return (0u + ... + static_cast<uint32_t>((sizeof(A) + 3) / 4 * 4));
}

template <typename R, typename... A>
constexpr Convention conventionOf(R(__attribute__((stdcall)) *)(A...)) {
  return Convention::Stdcall;
}
template <typename R, typename... A>
constexpr Convention conventionOf(R(__attribute__((fastcall)) *)(A...)) {
  return Convention::Fastcall;
}
template <typename R, typename... A>
constexpr Convention conventionOf(R (*)(A...)) {
  return Convention::Cdecl;
}
template <typename R, typename... A>
constexpr Convention conventionOf(R (*)(A..., ...)) {
  return Convention::Cdecl;
}

template <typename R, typename... A>
constexpr uint32_t argumentBytesOf(R(__attribute__((stdcall)) *)(A...)) {
  return slots<A...>();
}
template <typename R, typename... A>
constexpr uint32_t argumentBytesOf(R(__attribute__((fastcall)) *)(A...)) {
  return slots<A...>();
}
template <typename R, typename... A>
constexpr uint32_t argumentBytesOf(R (*)(A...)) {
  return slots<A...>();
}
template <typename R, typename... A>
constexpr uint32_t argumentBytesOf(R (*)(A..., ...)) {
  return slots<A...>();
}

// The kernel's own block copy and fill, which the C library's match in
// convention and effect.
void* kernelMemcpy(void* destination, const void* source, size_t length) {
  return std::memcpy(destination, source, length);
}
void* kernelMemset(void* destination, int fill, size_t length) {
  return std::memset(destination, fill, length);
}

#define SIM_EXPORT_AS(module, name, routine)                                                                 \
  KernelExport {                                                                                             \
    module, name, conventionOf(&routine), argumentBytesOf(&routine), reinterpret_cast<const void*>(&routine) \
  }
#define SIM_EXPORT(module, routine) SIM_EXPORT_AS(module, #routine, routine)

constexpr const char* kKernel = "ntoskrnl.exe";
constexpr const char* kHal = "HAL.dll";

}  // namespace

const std::vector<KernelExport>& kernelExports() {
  static const std::vector<KernelExport> exports = {
      SIM_EXPORT(kHal, HalGetBusData),
      SIM_EXPORT(kHal, HalTranslateBusAddress),
      SIM_EXPORT(kHal, KeGetCurrentIrql),
      SIM_EXPORT(kHal, KeStallExecutionProcessor),
      SIM_EXPORT(kHal, KfAcquireSpinLock),
      SIM_EXPORT(kHal, KfLowerIrql),
      SIM_EXPORT(kHal, KfRaiseIrql),
      SIM_EXPORT(kHal, KfReleaseSpinLock),
      SIM_EXPORT(kHal, READ_PORT_UCHAR),
      SIM_EXPORT(kHal, WRITE_PORT_UCHAR),
      SIM_EXPORT(kKernel, DbgPrint),
      SIM_EXPORT(kKernel, ExAllocatePoolWithTag),
      SIM_EXPORT(kKernel, ExFreePoolWithTag),
      SIM_EXPORT(kKernel, IoAllocateErrorLogEntry),
      SIM_EXPORT(kKernel, IoAllocateWorkItem),
      SIM_EXPORT(kKernel, IoCreateDevice),
      SIM_EXPORT(kKernel, IoCreateSymbolicLink),
      SIM_EXPORT(kKernel, IoDeleteDevice),
      SIM_EXPORT(kKernel, IoDeleteSymbolicLink),
      SIM_EXPORT(kKernel, IoFreeErrorLogEntry),
      SIM_EXPORT(kKernel, IoFreeWorkItem),
      SIM_EXPORT(kKernel, IoQueueWorkItem),
      SIM_EXPORT(kKernel, IoRegisterShutdownNotification),
      SIM_EXPORT(kKernel, IoReportResourceUsage),
      SIM_EXPORT(kKernel, IoSetStartIoAttributes),
      SIM_EXPORT(kKernel, IoStartNextPacket),
      SIM_EXPORT(kKernel, IoStartPacket),
      SIM_EXPORT(kKernel, IoUnregisterShutdownNotification),
      SIM_EXPORT(kKernel, IoWriteErrorLogEntry),
      SIM_EXPORT(kKernel, IofCompleteRequest),
      SIM_EXPORT(kKernel, KeCancelTimer),
      SIM_EXPORT(kKernel, KeDelayExecutionThread),
      SIM_EXPORT(kKernel, KeFlushQueuedDpcs),
      SIM_EXPORT(kKernel, KeInitializeDpc),
      SIM_EXPORT(kKernel, KeInitializeTimer),
      SIM_EXPORT(kKernel, KeQueryInterruptTime),
      SIM_EXPORT(kKernel, KeQuerySystemTime),
      SIM_EXPORT(kKernel, KeQueryTimeIncrement),
      SIM_EXPORT(kKernel, KeInsertQueueDpc),
      SIM_EXPORT(kKernel, KeRemoveQueueDpc),
      SIM_EXPORT(kKernel, KeSetTimerEx),
      SIM_EXPORT(kKernel, KeTryToAcquireSpinLockAtDpcLevel),
      SIM_EXPORT(kKernel, KefAcquireSpinLockAtDpcLevel),
      SIM_EXPORT(kKernel, KefReleaseSpinLockFromDpcLevel),
      SIM_EXPORT(kKernel, MmMapIoSpace),
      SIM_EXPORT(kKernel, MmUnmapIoSpace),
      SIM_EXPORT(kKernel, ObOpenObjectByPointer),
      SIM_EXPORT(kKernel, READ_REGISTER_UCHAR),
      SIM_EXPORT(kKernel, RtlAddAccessAllowedAce),
      SIM_EXPORT(kKernel, RtlCreateAcl),
      SIM_EXPORT(kKernel, RtlCreateSecurityDescriptor),
      SIM_EXPORT(kKernel, RtlInitUnicodeString),
      SIM_EXPORT(kKernel, RtlQueryRegistryValues),
      SIM_EXPORT(kKernel, RtlSetDaclSecurityDescriptor),
      SIM_EXPORT(kKernel, WRITE_REGISTER_UCHAR),
      SIM_EXPORT(kKernel, ZwClose),
      SIM_EXPORT(kKernel, ZwSetSecurityObject),
      SIM_EXPORT_AS(kKernel, "memcpy", kernelMemcpy),
      SIM_EXPORT_AS(kKernel, "memset", kernelMemset),
  };
  return exports;
}

#else

const std::vector<KernelExport>& kernelExports() {
  static const std::vector<KernelExport> none;
  return none;
}

#endif

}  // namespace sim
