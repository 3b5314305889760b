// Driver-wide declarations: trace output, event logging, registry access and
// the kernel entry points.
#pragma once

#include "platform.h"

// Trace level of the kernel-debugger output: a line at level N is printed
// when g_DebugLevel is N or more; 0 or less prints nothing. Usual levels:
// 1 errors, 2 warnings, 4 detail, 5 enter and exit.
extern "C" LONG g_DebugLevel;

enum : LONG {
  TRACE_ERROR = 1,
  TRACE_WARNING = 2,
  TRACE_DETAIL = 4,
  TRACE_FLOW = 5,
};

// One trace line: the driver prefix, then the message, in two calls.
#define SC_TRACE(level, ...)       \
  do {                             \
    if (g_DebugLevel >= (level)) { \
      DbgPrint("TAMRIXSC: ");      \
      DbgPrint(__VA_ARGS__);       \
    }                              \
  } while (0)

// Event log.
void LogEvent(PVOID ioObject, ULONG messageId, PCWSTR insertionString, ULONG uniqueValue, PIRP irp);

// A start-up step that failed: the MSG_INIT_FAILED event naming it, and
// with reportInitFailure first the error trace "<caller> ***** ERROR <what>;
// status [..]". Both return the status.
NTSTATUS logInitFailure(PDRIVER_OBJECT driverObject, PCWSTR eventText, NTSTATUS status);
NTSTATUS reportInitFailure(PDRIVER_OBJECT driverObject, const char* caller, const char* what,
                           PCWSTR eventText, NTSTATUS status);

// One-entry direct query of a registry value; lives for one query.
class CRegistry {
 public:
  explicit CRegistry(ULONG count);
  ~CRegistry();
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  bool QueryDirect(PCUNICODE_STRING path, PCUNICODE_STRING valueName, ULONG* destination, ULONG defaultType,
                   LONG defaultValue);

  NTSTATUS LastStatus;
  PRTL_QUERY_REGISTRY_TABLE QueryTable;
};

// The Parameters key of the driver's service.
extern const WCHAR kParametersPath[];
// The symbolic link by which user mode opens the device.
extern const WCHAR kLinkName[];

// The trace level that the registry asks for (DebugLevel), or the default.
LONG readDebugLevel();

// Kernel entry points.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
DRIVER_UNLOAD DriverUnload;
DRIVER_STARTIO DriverStartIo;
// Starts the next queued request, or serves one that found the link busy,
// from a system worker thread.
IO_WORKITEM_ROUTINE StartIoWork;
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchShutdown;
DRIVER_DISPATCH DispatchIOCTL;
