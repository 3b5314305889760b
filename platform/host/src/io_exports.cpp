// The I/O manager's routines: devices, links, shutdown registration, the
// device queue and completion.
#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

using sim::Entry;
using sim::Kernel;
using sim::Routine;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
  Entry entry(Routine::IoCreateDevice);
  Kernel& k = entry.kernel();
  NTSTATUS injected;
  if (entry.failed(__builtin_return_address(0), &injected)) {
    return injected;
  }
  return k.io.createDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics,
                           Exclusive, DeviceObject);
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  Entry entry(Routine::IoDeleteDevice);
  Kernel& k = entry.kernel();
  k.io.deleteDevice(DeviceObject);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  Entry entry(Routine::IoCreateSymbolicLink);
  Kernel& k = entry.kernel();
  NTSTATUS injected;
  if (entry.failed(__builtin_return_address(0), &injected)) {
    return injected;
  }
  return k.io.createLink(SymbolicLinkName, DeviceName);
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  Entry entry(Routine::IoDeleteSymbolicLink);
  Kernel& k = entry.kernel();
  return k.io.deleteLink(SymbolicLinkName);
}

extern "C" NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  Entry entry(Routine::IoRegisterShutdownNotification);
  Kernel& k = entry.kernel();
  NTSTATUS injected;
  if (entry.failed(__builtin_return_address(0), &injected)) {
    return injected;
  }
  return k.io.registerShutdown(DeviceObject);
}

extern "C" VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  Entry entry(Routine::IoUnregisterShutdownNotification);
  Kernel& k = entry.kernel();
  k.io.unregisterShutdown(DeviceObject);
}

extern "C" VOID NTAPI IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key,
                                    PDRIVER_CANCEL CancelFunction) {
  (void)Key;
  (void)CancelFunction;
  Entry entry(Routine::IoStartPacket);
  Kernel& k = entry.kernel();
  k.io.startPacket(DeviceObject, Irp);
}

extern "C" VOID NTAPI IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable) {
  (void)Cancelable;
  Entry(Routine::IoStartNextPacket).kernel().io.startNextPacket(DeviceObject);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  Entry(Routine::IofCompleteRequest).kernel().io.completeRequest(Irp, PriorityBoost);
}

// Deferred start-I/O: IoStartNextPacket from inside the start-I/O routine
// starts the next request once the routine has returned, not nested in it.
extern "C" VOID NTAPI IoSetStartIoAttributes(PDEVICE_OBJECT DeviceObject, BOOLEAN DeferredStartIo,
                                             BOOLEAN NonCancelable) {
  Entry entry(Routine::IoSetStartIoAttributes);
  Kernel& k = entry.kernel();
  k.io.setStartIoAttributes(DeviceObject, DeferredStartIo != FALSE, NonCancelable != FALSE);
}

// Work items may be allocated, queued and freed at DISPATCH_LEVEL at most.
extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  Entry entry(Routine::IoAllocateWorkItem);
  Kernel& k = entry.kernel();
  if (entry.failed(__builtin_return_address(0))) {
    return nullptr;
  }
  return k.io.allocateWorkItem(DeviceObject);
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context) {
  (void)QueueType;
  Entry(Routine::IoQueueWorkItem).kernel().io.queueWorkItem(IoWorkItem, WorkerRoutine, Context);
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  Entry entry(Routine::IoFreeWorkItem);
  Kernel& k = entry.kernel();
  k.io.freeWorkItem(IoWorkItem);
}
