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
    ExFreePoolWithTag(QueryTable, kPoolTag);
  }
}

namespace {
// Takes a value only when it is a REG_DWORD of exactly four bytes; anything
// else is refused before a byte is written. A direct query cannot promise
// that: kernels that predate RTL_QUERY_REGISTRY_TYPECHECK ignore the flag
// and store a string as a UNICODE_STRING, or copy a long binary value, over
// the 32-bit destination.
NTSTATUS NTAPI storeDword(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength, PVOID context,
                          PVOID entryContext) {
  (void)valueName;
  (void)context;
  if (valueType != REG_DWORD || valueLength != sizeof(ULONG)) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  RtlCopyMemory(entryContext, valueData, sizeof(ULONG));
  return STATUS_SUCCESS;
}
}  // namespace

bool CRegistry::QueryDirect(PCUNICODE_STRING path, PCUNICODE_STRING valueName, ULONG* destination,
                            ULONG defaultType, LONG defaultValue) {
  // Without a table there is nothing to query with: the value counts as
  // missing, and the status says why.
  if (QueryTable != nullptr) {
    LONG defaultData = defaultValue;
    // A missing value is handed to the routine as the default, so it comes
    // back as defaultValue like any stored one.
    QueryTable[0].QueryRoutine = storeDword;
    QueryTable[0].Flags = 0;
    QueryTable[0].Name = valueName->Buffer;
    QueryTable[0].EntryContext = destination;
    QueryTable[0].DefaultType = defaultType;
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
  // Missing until the query routine takes a value (see queryRegistry).
  ULONG value = kMissing;
  bool found;
  {
    CRegistry registry(1);
    found = registry.QueryDirect(&path, &name, &value, REG_DWORD, -1) && value != kMissing;
  }
  if (!found) {
    SC_TRACE(TRACE_WARNING, "DriverEntry() Key 'DebugLevel' not found in registry; reset to default\n");
  }
  const LONG level = found ? static_cast<LONG>(value) : kDefaultDebugLevel;
  SC_TRACE(TRACE_ERROR, "DriverEntry() Using debug level [%d]\n", level);
  return level;
}

NTSTATUS CDeviceExt::queryRegistry(PCWSTR valueName, ULONG* destination) {
  UNICODE_STRING path;
  UNICODE_STRING name;
  RtlInitUnicodeString(&path, kParametersPath);
  RtlInitUnicodeString(&name, valueName);
  CRegistry registry(1);
  // The query routine may never be called: a multi-string with no string
  // in it is read without a call and without an error. A value the routine
  // never took must count as missing, not as what the destination held.
  *destination = kMissing;
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

  DevTimeoutComm = static_cast<UCHAR>(boundedValue("DevTimeoutCommMS", comm, kMaxDevTimeoutComm));
  DevTimeoutPoll = static_cast<UCHAR>(boundedValue("DevTimeoutPollS", poll, kMaxDevTimeoutPoll));
  DevTimeoutWatchdog =
      static_cast<USHORT>(boundedValue("DevTimeoutWatchdogMS", watchdog, kMaxDevTimeoutWatchdog));
  SC_TRACE(TRACE_DETAIL,
           "CDeviceExt::readRegistryParams() New DEV values; DevTimeoutComm [%d]; DevTimeoutPoll [%d]; "
           "DevTimeoutWatchdog [%d]\n",
           DevTimeoutComm, DevTimeoutPoll, DevTimeoutWatchdog);

  CmdReplyTimer = boundedWait("CmdReplyTimer", replyTimer, maxReplyTimerUs());
  CmdRetryDelay = boundedWait("CmdRetryDelay", retryDelay, kMaxCmdWaitUs);
  CmdMaxRetries = boundedRetries(maxRetries);
  SC_TRACE(TRACE_DETAIL,
           "CDeviceExt::readRegistryParams() New CMD values; CmdReplyTimer [%d]; CmdRetryDelay [%d]; "
           "CmdMaxRetries "
           "[%d]\n",
           CmdReplyTimer, CmdRetryDelay, CmdMaxRetries);

  const ULONG minimumPeriod = longestPollMs();
  TimerPollCardlan =
      boundedPollPeriod("TimerPollCardlan", pollCardlan, kDefaultTimerPollCardlan, minimumPeriod);
  TimerPollNormal = boundedPollPeriod("TimerPollNormal", pollNormal, kDefaultTimerPollNormal, minimumPeriod);
  SC_TRACE(TRACE_DETAIL,
           "CDeviceExt::readRegistryParams() New TIMER values; TimerPollCardlan [%d]; TimerPollNormal [%d]\n",
           TimerPollCardlan, TimerPollNormal);
}

// A value wider than the field it travels in would lose its upper bits: a
// poll time-out of 256 seconds would reach the controller as 0.
ULONG CDeviceExt::boundedValue(const char* name, ULONG value, ULONG maximum) {
  if (value <= maximum) {
    return value;
  }
  SC_TRACE(TRACE_WARNING,
           "CDeviceExt::readRegistryParams() !!!!! WARNING %s [%u] is above the limit; using [%u]\n", name,
           value, maximum);
  return maximum;
}

ULONG CDeviceExt::boundedWait(const char* name, ULONG us, ULONG limitUs) {
  return boundedValue(name, us, limitUs);
}

// The count is read as a signed number: 0 or a negative one would make no
// attempt at all and report every command as sent. One attempt is what an
// administrator who wants no retries means.
LONG CDeviceExt::boundedRetries(ULONG retries) {
  const LONG count = static_cast<LONG>(retries);
  if (count < kMinCmdMaxRetries) {
    SC_TRACE(
        TRACE_WARNING,
        "CDeviceExt::readRegistryParams() !!!!! WARNING CmdMaxRetries [%d] is below the limit; using [%d]\n",
        count, kMinCmdMaxRetries);
    return kMinCmdMaxRetries;
  }
  return static_cast<LONG>(boundedValue("CmdMaxRetries", retries, kMaxCmdMaxRetries));
}

// A period of 0 would make the poll timer fire once, so the Cardlan could
// never become active: it counts as not set. A period shorter than the
// longest poll would let a failing controller keep one processor at
// DISPATCH_LEVEL for good, as the periodic timer queues the poll again as
// soon as it ends.
ULONG CDeviceExt::boundedPollPeriod(const char* name, ULONG periodMs, ULONG defaultMs, ULONG minimumMs) {
  if (periodMs == 0) {
    SC_TRACE(TRACE_WARNING,
             "CDeviceExt::readRegistryParams() !!!!! WARNING %s [0] is no period; using the default [%u]\n",
             name, defaultMs);
    periodMs = defaultMs;
  }
  if (periodMs >= minimumMs) {
    return periodMs;
  }
  SC_TRACE(TRACE_WARNING,
           "CDeviceExt::readRegistryParams() !!!!! WARNING %s [%u] is below the longest poll; using [%u]\n",
           name, periodMs, minimumMs);
  return minimumMs;
}

// The longest a poll can keep its processor: its POLL transaction with every
// retry and pause, then the display write of a Cardlan state change; and
// never longer than a stretch at DISPATCH_LEVEL may last.
ULONG CDeviceExt::longestPollMs() const {
  ULONGLONG us = CTimer::kClockReadUs + static_cast<ULONGLONG>(retriedBoundUs(POLL, 0, kPollReportSize)) +
                 CTimer::kClockReadUs +
                 CMessage::boundUs(HD_WRITE, kDisplayTextSize, 0, CmdReplyTimer, ClockIncrement);
  if (us > DispatchBoundUs) {
    us = DispatchBoundUs;
  }
  constexpr ULONGLONG kUsPerMs = 1000;
  return static_cast<ULONG>((us + kUsPerMs - 1) / kUsPerMs);
}

// The longest reply timer with which no transaction the extension's timer
// serves can take longer than a stretch may last: the one that reads the
// most reply bytes, the firmware version, and the one that sends the most,
// the connect.
ULONG CDeviceExt::maxReplyTimerUs() const {
  auto fits = [this](ULONG us) {
    return CMessage::boundUs(FIRMWARE_VERSION, 0, kFirmwareVersionSize, us, ClockIncrement) <=
               DispatchBoundUs &&
           CMessage::boundUs(DRIVER_CONNECT, kConnectPayloadSize, 0, us, ClockIncrement) <= DispatchBoundUs;
  };
  ULONG low = 0;
  ULONG high = kMaxCmdWaitUs;
  while (low < high) {
    const ULONG middle = low + (high - low + 1) / 2;
    if (fits(middle)) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}
