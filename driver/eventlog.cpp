// Event-log entries through the I/O manager's error-log facility.
#include "tamrixsc.h"
#include "tamrixscmsg.h"

namespace {
// The I/O manager refuses larger entries; an insertion string is cut to fit
// so that the event is still logged and nothing is written past the entry.
constexpr ULONG kMaxStringBytes = ERROR_LOG_MAXIMUM_SIZE - sizeof(IO_ERROR_LOG_PACKET);
}  // namespace

void LogEvent(PVOID ioObject, ULONG messageId, PCWSTR insertionString, ULONG uniqueValue, PIRP irp) {
  if (ioObject == nullptr) {
    SC_TRACE(TRACE_DETAIL, "LogEvent() !!!!! WARNING Invalid NULL pointer passed\n");
    return;
  }

  ULONG stringSize = 0;
  if (insertionString != nullptr) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, insertionString);
    stringSize = text.Length + sizeof(WCHAR);
    if (stringSize > kMaxStringBytes) {
      stringSize = kMaxStringBytes & ~static_cast<ULONG>(sizeof(WCHAR) - 1);
    }
  }
  UCHAR entrySize = static_cast<UCHAR>(sizeof(IO_ERROR_LOG_PACKET) + stringSize);

  PIO_ERROR_LOG_PACKET entry =
      static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(ioObject, entrySize));
  if (entry == nullptr) {
    SC_TRACE(TRACE_DETAIL,
             "LogEvent() !!!!! WARNING Function 'IoAllocateErrorLogEntry' failed; size requested [%d]\n",
             entrySize);
    return;
  }

  entry->MajorFunctionCode = 0;
  entry->RetryCount = 0;
  entry->DumpDataSize = 0;
  entry->NumberOfStrings = 0;
  entry->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
  entry->EventCategory = 0;
  entry->ErrorCode = static_cast<NTSTATUS>(messageId);
  entry->UniqueErrorValue = uniqueValue;
  entry->FinalStatus = 0;
  entry->SequenceNumber = 0;
  entry->IoControlCode = 0;
  entry->DeviceOffset.QuadPart = 0;
  if (irp != nullptr) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    entry->MajorFunctionCode = stack->MajorFunction;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
      entry->IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    }
    entry->FinalStatus = irp->IoStatus.Status;
  }

  if (insertionString != nullptr) {
    PUCHAR strings = reinterpret_cast<PUCHAR>(entry) + sizeof(IO_ERROR_LOG_PACKET);
    RtlCopyMemory(strings, insertionString, stringSize - sizeof(WCHAR));
    RtlZeroMemory(strings + stringSize - sizeof(WCHAR), sizeof(WCHAR));
    entry->NumberOfStrings = 1;
  }
  IoWriteErrorLogEntry(entry);
}

NTSTATUS logInitFailure(PDRIVER_OBJECT driverObject, PCWSTR eventText, NTSTATUS status) {
  LogEvent(driverObject, MSG_INIT_FAILED, eventText, static_cast<ULONG>(status), nullptr);
  return status;
}

NTSTATUS reportInitFailure(PDRIVER_OBJECT driverObject, const char* caller, const char* what,
                           PCWSTR eventText, NTSTATUS status) {
  SC_TRACE(TRACE_ERROR, "%s ***** ERROR %s; status [0x%X]\n", caller, what, status);
  return logInitFailure(driverObject, eventText, status);
}
