// Driver entry, dispatch and start-I/O routines.
#include "tamrixsc.h"

#include "DeviceExt.h"

LONG g_DebugLevel = TRACE_WARNING;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)RegistryPath;
  DriverObject->DriverUnload = DriverUnload;
  SC_TRACE(TRACE_FLOW, "DriverEntry() Exit; status [0x%X]\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  (void)DriverObject;
  SC_TRACE(TRACE_FLOW, "DriverUnload() Enter\n");
  SC_TRACE(TRACE_FLOW, "DriverUnload() Exit\n");
}
