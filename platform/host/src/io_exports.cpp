// The I/O manager's routines: devices, links, shutdown registration, the
// device queue and completion.
#include "platform.h"
#include "sim/kernel.h"

using sim::Kernel;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoCreateDevice", PASSIVE_LEVEL);
  NTSTATUS injected;
  if (k.failures.take("IoCreateDevice", &injected, __builtin_return_address(0))) {
    return injected;
  }
  return k.io.createDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics,
                           Exclusive, DeviceObject);
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoDeleteDevice", PASSIVE_LEVEL);
  k.io.deleteDevice(DeviceObject);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoCreateSymbolicLink", PASSIVE_LEVEL);
  NTSTATUS injected;
  if (k.failures.take("IoCreateSymbolicLink", &injected, __builtin_return_address(0))) {
    return injected;
  }
  return k.io.createLink(SymbolicLinkName, DeviceName);
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
  return k.io.deleteLink(SymbolicLinkName);
}

extern "C" NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoRegisterShutdownNotification", PASSIVE_LEVEL);
  NTSTATUS injected;
  if (k.failures.take("IoRegisterShutdownNotification", &injected, __builtin_return_address(0))) {
    return injected;
  }
  return k.io.registerShutdown(DeviceObject);
}

extern "C" VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoUnregisterShutdownNotification", PASSIVE_LEVEL);
  k.io.unregisterShutdown(DeviceObject);
}

extern "C" VOID NTAPI IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key,
                                    PDRIVER_CANCEL CancelFunction) {
  (void)Key;
  (void)CancelFunction;
  Kernel& k = Kernel::current();
  k.checkIrql("IoStartPacket", DISPATCH_LEVEL);
  k.io.startPacket(DeviceObject, Irp);
}

extern "C" VOID NTAPI IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable) {
  (void)Cancelable;
  Kernel::current().io.startNextPacket(DeviceObject);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  Kernel::current().io.completeRequest(Irp, PriorityBoost);
}

// Deferred start-I/O: IoStartNextPacket from inside the start-I/O routine
// starts the next request once the routine has returned, not nested in it.
extern "C" VOID NTAPI IoSetStartIoAttributes(PDEVICE_OBJECT DeviceObject, BOOLEAN DeferredStartIo,
                                             BOOLEAN NonCancelable) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoSetStartIoAttributes", DISPATCH_LEVEL);
  k.io.setStartIoAttributes(DeviceObject, DeferredStartIo != FALSE, NonCancelable != FALSE);
}

// Work items may be allocated, queued and freed at DISPATCH_LEVEL at most.
extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoAllocateWorkItem", DISPATCH_LEVEL);
  if (k.failures.take("IoAllocateWorkItem", nullptr, __builtin_return_address(0))) {
    return nullptr;
  }
  return k.io.allocateWorkItem(DeviceObject);
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context) {
  (void)QueueType;
  Kernel& k = Kernel::current();
  k.scheduler.point(sim::Point::Call);
  k.checkIrql("IoQueueWorkItem", DISPATCH_LEVEL);
  k.io.queueWorkItem(IoWorkItem, WorkerRoutine, Context);
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  Kernel& k = Kernel::current();
  k.checkIrql("IoFreeWorkItem", DISPATCH_LEVEL);
  k.io.freeWorkItem(IoWorkItem);
}
