// The values the driver reads under its Parameters key, all REG_DWORD: the
// names it asks for, what it uses when a value is missing, and the unit.
// The install kit and the manual are checked against this table.
#pragma once

#include "DeviceExt.h"

constexpr WCHAR kRegDebugLevel[] = L"DebugLevel";
constexpr WCHAR kRegOptionResetNoPoll[] = L"OptionResetNoPoll";
constexpr WCHAR kRegOptionShowCommErrors[] = L"OptionShowCommErrors";
constexpr WCHAR kRegDevTimeoutComm[] = L"DevTimeoutCommMS";
constexpr WCHAR kRegDevTimeoutPoll[] = L"DevTimeoutPollS";
constexpr WCHAR kRegDevTimeoutWatchdog[] = L"DevTimeoutWatchdogMS";
constexpr WCHAR kRegCmdReplyTimer[] = L"CmdReplyTimerUS";
constexpr WCHAR kRegCmdRetryDelay[] = L"CmdRetryDelayUS";
constexpr WCHAR kRegCmdMaxRetries[] = L"CmdMaxRetries";
constexpr WCHAR kRegTimerPollCardlan[] = L"TimerPollCardlanMS";
constexpr WCHAR kRegTimerPollNormal[] = L"TimerPollNormalMS";
constexpr WCHAR kRegCardID[] = L"CardID";
constexpr WCHAR kRegSignallingType[] = L"SignallingType";
constexpr WCHAR kRegTNMappingType[] = L"TNMappingType";

// The trace level when DebugLevel is missing.
constexpr LONG kDefaultDebugLevel = TRACE_WARNING;

struct RegistryValue {
  PCWSTR name;
  bool hasDefault;    // false: without the value the read it belongs to fails
  LONG defaultValue;  // in force while the value is missing
  const char* unit;   // "ms", "s", "us", or "" for a count, a level or a flag
};

constexpr RegistryValue kRegistryValues[] = {
    {kRegDebugLevel, true, kDefaultDebugLevel, ""},
    {kRegOptionResetNoPoll, true, 0, ""},
    {kRegOptionShowCommErrors, true, 0, ""},
    {kRegDevTimeoutComm, true, CDeviceExt::kDefaultDevTimeoutComm, "ms"},
    {kRegDevTimeoutPoll, true, CDeviceExt::kDefaultDevTimeoutPoll, "s"},
    {kRegDevTimeoutWatchdog, true, CDeviceExt::kDefaultDevTimeoutWatchdog, "ms"},
    {kRegCmdReplyTimer, true, static_cast<LONG>(CDeviceExt::kDefaultCmdReplyTimer), "us"},
    {kRegCmdRetryDelay, true, static_cast<LONG>(CDeviceExt::kDefaultCmdRetryDelay), "us"},
    {kRegCmdMaxRetries, true, CDeviceExt::kDefaultCmdMaxRetries, ""},
    {kRegTimerPollCardlan, true, static_cast<LONG>(CDeviceExt::kDefaultTimerPollCardlan), "ms"},
    {kRegTimerPollNormal, true, static_cast<LONG>(CDeviceExt::kDefaultTimerPollNormal), "ms"},
    {kRegCardID, false, 0, ""},
    {kRegSignallingType, false, 0, ""},
    {kRegTNMappingType, false, 0, ""},
};
