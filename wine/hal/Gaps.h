// The kernel-side gaps that live outside gaps.cpp, declared for its
// binding table. Included after the kernel headers.
#pragma once

#include "platform.h"

extern "C" {
PVOID NTAPI gap_IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
VOID NTAPI gap_IoWriteErrorLogEntry(PVOID ElEntry);
NTSTATUS NTAPI gap_IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject);
VOID NTAPI gap_IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject);
}
