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
  ULONG value = 0;
  LONG level = kDefaultDebugLevel;
  {
    CRegistry registry(1);
    if (!registry.QueryDirect(&path, &name, &value, REG_DWORD, -1) || value == kMissing) {
      SC_TRACE(TRACE_WARNING, "DriverEntry() Key 'DebugLevel' not found in registry; reset to default\n");
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

  CmdReplyTimer = boundedWait("CmdReplyTimer", replyTimer);
  CmdRetryDelay = boundedWait("CmdRetryDelay", retryDelay);
  CmdMaxRetries = static_cast<LONG>(maxRetries);
  SC_TRACE(TRACE_DETAIL,
           "CDeviceExt::readRegistryParams() New CMD values; CmdReplyTimer [%d]; CmdRetryDelay [%d]; "
           "CmdMaxRetries "
           "[%d]\n",
           CmdReplyTimer, CmdRetryDelay, CmdMaxRetries);

  const ULONG minimumPeriod = longestPollMs(KeQueryTimeIncrement() / 10);
  TimerPollCardlan =
      boundedPollPeriod("TimerPollCardlan", pollCardlan, kDefaultTimerPollCardlan, minimumPeriod);
  TimerPollNormal = boundedPollPeriod("TimerPollNormal", pollNormal, kDefaultTimerPollNormal, minimumPeriod);
  SC_TRACE(TRACE_DETAIL,
           "CDeviceExt::readRegistryParams() New TIMER values; TimerPollCardlan [%d]; TimerPollNormal [%d]\n",
           TimerPollCardlan, TimerPollNormal);
}

ULONG CDeviceExt::boundedWait(const char* name, ULONG us) {
  if (us <= kMaxCmdWaitUs) {
    return us;
  }
  SC_TRACE(TRACE_WARNING,
           "CDeviceExt::readRegistryParams() !!!!! WARNING %s [%u] is above the limit; using [%u]\n", name,
           us, kMaxCmdWaitUs);
  return kMaxCmdWaitUs;
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

namespace {
// One byte's handshake: two phases of at most 200 us of 5 us stalls, with a
// look at TRDY between stalls, and the register writes around them.
constexpr ULONG kByteBoundUs = 500;
// Bytes one POLL attempt may move: a pending message drained first (the
// longest reply), the command frame, and the poll's reply of eight bytes;
// and the two waits for TREQ to drop after a reply, one byte's worth each.
constexpr ULONG kPollAttemptBytes = CMessage::kMaxReply + CMessage::kFrameSize + 8 + 2;
constexpr ULONG kUsPerMs = 1000;

ULONG saturatingAdd(ULONG a, ULONG b) { return a > 0xFFFFFFFFu - b ? 0xFFFFFFFFu : a + b; }

ULONG usToMsRoundedUp(ULONG us) { return us / kUsPerMs + (us % kUsPerMs != 0 ? 1 : 0); }

// How long a busy wait of `us` can hold the processor: counted waits pay
// a look at the line or the clock beside each stall (a fifth more at
// most); a wait longer than a clock tick watches the clock, whose
// deadline lies one tick beyond and which moves in whole ticks.
ULONG waitBoundUs(ULONG us, ULONG clockTickUs) {
  ULONG bound = saturatingAdd(us, us / 5);
  if (us > clockTickUs) {
    bound = saturatingAdd(bound, saturatingAdd(clockTickUs, clockTickUs));
  }
  return bound;
}
}  // namespace

// The longest a poll can take with the extension's retry settings: every
// attempt moves the most bytes it can and then waits out its reply timer,
// and every attempt but the last is followed by the retry delay.
ULONG CDeviceExt::longestPollMs(ULONG clockTickUs) const {
  if (CmdMaxRetries <= 0) {
    return 0;
  }
  const ULONG attemptMs = usToMsRoundedUp(
      saturatingAdd(waitBoundUs(CmdReplyTimer, clockTickUs), kPollAttemptBytes * kByteBoundUs));
  const ULONG delayMs = usToMsRoundedUp(waitBoundUs(CmdRetryDelay, clockTickUs));
  const ULONGLONG attempts = static_cast<ULONGLONG>(CmdMaxRetries);
  const ULONGLONG total = attempts * attemptMs + (attempts - 1) * delayMs;
  // The kernel takes a period of at most MAXLONG milliseconds.
  return total > static_cast<ULONGLONG>(kMaxPollPeriodMs) ? static_cast<ULONG>(kMaxPollPeriodMs)
                                                          : static_cast<ULONG>(total);
}
