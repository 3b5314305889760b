// CDeviceExt: start-up, stop and the request handlers.
#include "DeviceExt.h"
#include "scioctl.h"
#include "tamrixsc.h"

// Request handlers ----------------------------------------------------------

NTSTATUS CDeviceExt::IoControlFirmwareVersion(PVOID buffer, ULONG size) {
  SC_TRACE(TRACE_FLOW, "CDeviceExt::IoControlFirmwareVersion() Enter\n");
  // The request carries no input: whatever the caller's buffer held goes.
  RtlZeroMemory(buffer, size);
  SC_VERSION_RECORD* record = static_cast<SC_VERSION_RECORD*>(buffer);
  record->ResultCode = 0;
  record->Length = FirmwareVersionLength;
  RtlCopyMemory(record->Version, FirmwareVersion, FirmwareVersionLength);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::IoControlFirmwareVersion() Exit; status [0x%X]\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS CDeviceExt::IoControlCommand4() { return hcCommand4(); }

NTSTATUS CDeviceExt::IoControlStatusLED(bool on) { return hcStatusLED(on); }

// One attempt of a display request, read afresh from the caller's record.
// Requests without a result code of their own report 0 whatever happened.
NTSTATUS CDeviceExt::hdRunRequest(ULONG ioctlCode, const SC_HD_RECORD& in, HdOutputs* out) {
  NTSTATUS status;
  switch (ioctlCode) {
    case IOCTL_SC_HD_CLEAR_STATUS:
      status = hdSetStatus(false, 0);
      out->resultCode = HD_RESULT_OK;
      break;
    case IOCTL_SC_HD_SET_STATUS:
      status = hdSetStatus(true, in.Value);
      out->resultCode = HD_RESULT_OK;
      break;
    case IOCTL_SC_HD_SET_REFRESH_RATE:
      status = hdSetRefreshRate(in.Value);
      out->resultCode = HD_RESULT_OK;
      break;
    case IOCTL_SC_HD_GROUP_ADD: status = hdGroupAdd(&out->groupID, &out->resultCode); break;
    case IOCTL_SC_HD_GROUP_DELETE: status = hdGroupDelete(in.GroupID, &out->resultCode); break;
    case IOCTL_SC_HD_MESSAGE_ADD:
      status = hdMessageAdd(in.GroupID, in.Text[0], in.Text[1], in.Text[2], in.Text[3], &out->messageID,
                            &out->resultCode);
      break;
    case IOCTL_SC_HD_MESSAGE_EXCHANGE:
      status =
          hdMessageExchange(in.MessageID, in.Text[0], in.Text[1], in.Text[2], in.Text[3], &out->resultCode);
      break;
    case IOCTL_SC_HD_MESSAGE_DELETE: status = hdMessageDelete(in.MessageID, &out->resultCode); break;
    case IOCTL_SC_HD_STATUS_QUERY:
      status = hdStatusQuery(&out->displayStatus);
      out->resultCode = HD_RESULT_OK;
      break;
    default:  // IOCTL_SC_HD_RESET, and any code the queue lets through
      status = hdReset();
      out->resultCode = HD_RESULT_OK;
      break;
  }
  return status;
}

NTSTATUS CDeviceExt::IoControlHexDisplay(ULONG ioctlCode, PVOID input, ULONG inputLength, PVOID output,
                                         ULONG outputLength) {
  (void)inputLength;
  (void)outputLength;
  SC_TRACE(TRACE_FLOW, "CDeviceExt::IoControlHexDisplay() Enter\n");

  // The display belongs to the Cardlan while it is being set up.
  if (CardlanState != CL_ACTIVE && CardlanState != CL_DISCONNECTED) {
    SC_TRACE(
        TRACE_WARNING,
        "CDeviceExt::IoControlHexDisplay() !!!!! WARNING Cardlan operation in progress, command failed with "
        "status [0x%X]\n",
        STATUS_UNSUCCESSFUL);
    return STATUS_UNSUCCESSFUL;
  }

  const SC_HD_RECORD* in = static_cast<const SC_HD_RECORD*>(input);
  HdOutputs out = {};
  NTSTATUS status = retryPattern(
      DeviceObject, L"Communication errors during 'HEX_DISPLAY'",
      [this, ioctlCode, in, &out] {
        out = HdOutputs{};
        return hdRunRequest(ioctlCode, *in, &out);
      },
      [] {},
      [ioctlCode](NTSTATUS s) {
        SC_TRACE(TRACE_WARNING,
                 "CDeviceExt::IoControlHexDisplay() !!!!! WARNING Command [0x%X] failed; status [0x%X]; "
                 "retrying...\n",
                 ioctlCode, s);
      });

  // The reply goes over the request: only these fields change.
  SC_HD_RECORD* reply = static_cast<SC_HD_RECORD*>(output);
  reply->ResultCode = out.resultCode;
  if (ioctlCode == IOCTL_SC_HD_GROUP_ADD) {
    reply->GroupID = out.groupID;
  } else if (ioctlCode == IOCTL_SC_HD_MESSAGE_ADD) {
    reply->MessageID = out.messageID;
  } else if (ioctlCode == IOCTL_SC_HD_STATUS_QUERY) {
    reply->DisplayStatus = out.displayStatus;
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::IoControlHexDisplay() Exit; status [0x%X]\n", status);
  return status;
}
