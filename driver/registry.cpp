// Registry parameters under the driver's Parameters key.
#include "DeviceExt.h"
#include "RegistryValues.h"
#include "tamrixsc.h"

const WCHAR kParametersPath[] =
    L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\TAMRIXSC\\Parameters";

namespace {
constexpr ULONG kPoolTag = 0x206B6444;  // "Ddk "
constexpr ULONG kMissing = 0xFFFFFFFF;  // the default of every query: -1
constexpr ULONG kOptionSet = 1;         // an option value sets its bit only when exactly 1
constexpr UCHAR kOptionShowCommErrors = 0x01;
constexpr UCHAR kOptionResetNoPoll = 0x80;
}  // namespace

CRegistry::CRegistry(ULONG count) : LastStatus(STATUS_INSUFFICIENT_RESOURCES), QueryTable(nullptr) {
  ULONG bytes = (count + 1) * sizeof(RTL_QUERY_REGISTRY_TABLE);
  QueryTable = static_cast<PRTL_QUERY_REGISTRY_TABLE>(ExAllocatePoolWithTag(PagedPool, bytes, kPoolTag));
  if (QueryTable == nullptr) {
    SC_TRACE(TRACE_ERROR, "CRegistry::CRegistry() **** ERROR Cannot allocate memory for [%d] bytes!\n",
             bytes);
    return;
  }
  RtlZeroMemory(QueryTable, bytes);
  LastStatus = STATUS_SUCCESS;
}

CRegistry::~CRegistry() {
  if (QueryTable != nullptr) {
    ExFreePoolWithTag(QueryTable, 0);
  }
}

bool CRegistry::QueryDirect(PCUNICODE_STRING path, PCUNICODE_STRING valueName, ULONG* destination,
                            ULONG defaultType, LONG defaultValue) {
  // Without a table there is nothing to query with: the value counts as
  // missing, and the status says why.
  if (QueryTable != nullptr) {
    LONG defaultData = defaultValue;
    QueryTable[0].QueryRoutine = nullptr;
    // A direct query stores a value of another type in other shapes (a
    // string as a UNICODE_STRING), which would overrun the 32-bit
    // destination; with the type check the kernel refuses such a value
    // instead, and the caller treats it as missing.
    QueryTable[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    QueryTable[0].Name = valueName->Buffer;
    QueryTable[0].EntryContext = destination;
    QueryTable[0].DefaultType = (defaultType << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | defaultType;
    QueryTable[0].DefaultData = &defaultData;
    QueryTable[0].DefaultLength = sizeof(defaultData);
    LastStatus = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path->Buffer, QueryTable, nullptr, nullptr);
    if (NT_SUCCESS(LastStatus)) {
      return true;
    }
  }
  SC_TRACE(TRACE_DETAIL,
           "CRegistry::QueryDirect() Nothing found in registry; key [%ls]; path [%ls]; status [0x%X]\n",
           valueName->Buffer, path->Buffer, LastStatus);
  return false;
}

LONG readDebugLevel() {
  UNICODE_STRING path;
  UNICODE_STRING name;
  RtlInitUnicodeString(&path, kParametersPath);
  RtlInitUnicodeString(&name, kRegDebugLevel);
  ULONG value = 0;
  LONG level = static_cast<LONG>(value);
  {
    CRegistry registry(1);
    if (!registry.QueryDirect(&path, &name, &value, REG_DWORD, -1) || value == kMissing) {
      SC_TRACE(TRACE_WARNING, "DriverEntry() Key 'DebugLevel' not found in registry; reset to default\n");
      level = kDefaultDebugLevel;
    } else {
      level = static_cast<LONG>(value);
    }
  }
  SC_TRACE(TRACE_ERROR, "DriverEntry() Using debug level [%d]\n", level);
  return level;
}

NTSTATUS CDeviceExt::queryRegistry(PCWSTR valueName, ULONG* destination) {
  UNICODE_STRING path;
  UNICODE_STRING name;
  RtlInitUnicodeString(&path, kParametersPath);
  RtlInitUnicodeString(&name, valueName);
  CRegistry registry(1);
  if (registry.QueryDirect(&path, &name, destination, REG_DWORD, -1) && *destination != kMissing) {
    return STATUS_SUCCESS;
  }
  SC_TRACE(TRACE_WARNING,
           "CDeviceExt::queryRegistry() !!!!! WARNING Key not found in registry; key [%ls]; path [%ls]\n",
           valueName, kParametersPath);
  return STATUS_UNSUCCESSFUL;
}

void CDeviceExt::readRegistryParams() {
  ULONG resetNoPoll = 0;
  if (NT_SUCCESS(queryRegistry(kRegOptionResetNoPoll, &resetNoPoll)) && resetNoPoll == kOptionSet) {
    Options |= kOptionResetNoPoll;
  }
  ULONG showCommErrors = 0;
  if (NT_SUCCESS(queryRegistry(kRegOptionShowCommErrors, &showCommErrors)) && showCommErrors == kOptionSet) {
    Options |= kOptionShowCommErrors;
  }

  // The group of eight is taken whole or not at all.
  ULONG comm = 0, poll = 0, watchdog = 0, replyTimer = 0, retryDelay = 0, maxRetries = 0, pollCardlan = 0,
        pollNormal = 0;
  if (!NT_SUCCESS(queryRegistry(kRegDevTimeoutComm, &comm)) ||
      !NT_SUCCESS(queryRegistry(kRegDevTimeoutPoll, &poll)) ||
      !NT_SUCCESS(queryRegistry(kRegDevTimeoutWatchdog, &watchdog)) ||
      !NT_SUCCESS(queryRegistry(kRegCmdReplyTimer, &replyTimer)) ||
      !NT_SUCCESS(queryRegistry(kRegCmdRetryDelay, &retryDelay)) ||
      !NT_SUCCESS(queryRegistry(kRegCmdMaxRetries, &maxRetries)) ||
      !NT_SUCCESS(queryRegistry(kRegTimerPollCardlan, &pollCardlan)) ||
      !NT_SUCCESS(queryRegistry(kRegTimerPollNormal, &pollNormal))) {
    return;
  }

  DevTimeoutComm = static_cast<UCHAR>(comm);
  DevTimeoutPoll = static_cast<UCHAR>(poll);
  DevTimeoutWatchdog = static_cast<USHORT>(watchdog);
  SC_TRACE(TRACE_DETAIL,
           "CDeviceExt::readRegistryParams() New DEV values; DevTimeoutComm [%d]; DevTimeoutPoll [%d]; "
           "DevTimeoutWatchdog [%d]\n",
           DevTimeoutComm, DevTimeoutPoll, DevTimeoutWatchdog);

  CmdReplyTimer = replyTimer;
  CmdRetryDelay = retryDelay;
  CmdMaxRetries = static_cast<LONG>(maxRetries);
  SC_TRACE(TRACE_DETAIL,
           "CDeviceExt::readRegistryParams() New CMD values; CmdReplyTimer [%d]; CmdRetryDelay [%d]; "
           "CmdMaxRetries "
           "[%d]\n",
           CmdReplyTimer, CmdRetryDelay, CmdMaxRetries);

  TimerPollCardlan = pollCardlan;
  TimerPollNormal = pollNormal;
  SC_TRACE(TRACE_DETAIL,
           "CDeviceExt::readRegistryParams() New TIMER values; TimerPollCardlan [%d]; TimerPollNormal [%d]\n",
           TimerPollCardlan, TimerPollNormal);
}
