// CDeviceExt: start-up, stop and the request handlers.
#include <new>

#include "DeviceExt.h"
#include "scioctl.h"
#include "tamrixsc.h"

// Request handlers ----------------------------------------------------------

NTSTATUS CDeviceExt::completeRequest(PIRP irp, NTSTATUS status, ULONG information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

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
NTSTATUS CDeviceExt::hdRunRequest(ULONG ioctlCode, const SC_HD_RECORD& in, HdReplyFields* out) {
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
  HdReplyFields out = {};
  NTSTATUS status = retryTransaction(
      DeviceObject, L"Communication errors during 'HEX_DISPLAY'",
      [this, ioctlCode, in, &out] {
        out = HdReplyFields{};
        return hdRunRequest(ioctlCode, *in, &out);
      },
      nothingMore,
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

NTSTATUS CDeviceExt::IoControlSwitch(bool connect, PVOID input, ULONG inputLength, PVOID output,
                                     ULONG outputLength) {
  (void)inputLength;
  (void)outputLength;
  SC_TRACE(TRACE_FLOW, "CDeviceExt::IoControlSwitch() Enter\n");
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  const SC_SWITCH_RECORD request = *static_cast<const SC_SWITCH_RECORD*>(input);
  SC_SWITCH_RECORD* reply = static_cast<SC_SWITCH_RECORD*>(output);

  if (connect && CardlanState == CL_DISCONNECTED) {
    SC_TRACE(TRACE_FLOW,
             "CDeviceExt::IoControlSwitch() CONNECT requested; ConfigSource [%d]; CardID [0x%.2X]; SignType "
             "[0x%.2X]; "
             "TNMapType [0x%.2X]; CemuxIpIf [%d]\n",
             request.ConfigSource, request.CardID, request.SignType, request.TNMapType, request.CemuxIpIf);
    reply->ConfigSource = request.ConfigSource;
    reply->CemuxIpIf = request.CemuxIpIf;
    reply->ResultCode = 0;
    status = STATUS_SUCCESS;
    // A connect request arriving on another processor may be writing the
    // registry copy: it is read, or cleared, whole.
    KeAcquireSpinLockAtDpcLevel(&SwitchLock);
    switch (request.ConfigSource) {
      case CS_REGISTRY:
        status = RegSwitchStatus;
        if (NT_SUCCESS(status)) {
          CardID = RegCardID;
          SignType = RegSignType;
          TNMapType = RegTNMapType;
        }
        break;
      case CS_CURRENT: break;
      case CS_REQUEST:
        CardID = request.CardID;
        SignType = request.SignType;
        TNMapType = request.TNMapType;
        break;
      default: setDefaultSwitchParams(); break;
    }
    KeReleaseSpinLockFromDpcLevel(&SwitchLock);
    if (NT_SUCCESS(status)) {
      reply->CardID = CardID;
      reply->SignType = SignType;
      reply->TNMapType = TNMapType;
      status = clSwitchConnect();
    }
  } else if (!connect && CardlanState != CL_DISCONNECTED) {
    reply->ConfigSource = request.ConfigSource;
    reply->CemuxIpIf = request.CemuxIpIf;
    reply->ResultCode = 0;
    reply->CardID = CardID;
    reply->SignType = SignType;
    reply->TNMapType = TNMapType;
    status = clSwitchDisconnect();
  } else {
    // Unicode formats are for PASSIVE_LEVEL only, and this runs at
    // DISPATCH_LEVEL: the request's name goes in as narrow text.
    SC_TRACE(TRACE_WARNING,
             "CDeviceExt::IoControlSwitch() !!!!! WARNING Invalid request [%s]; Cardlan status [%d]\n",
             connect ? "CONNECT" : "DISCONNECT", CardlanState);
    LogEvent(DriverObject, MSG_INVALID_CARDLAN_REQUEST, connect ? L"CONNECT" : L"DISCONNECT",
             static_cast<ULONG>(STATUS_INVALID_PARAMETER), nullptr);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::IoControlSwitch() Exit; status [0x%X]\n", status);
  return status;
}

// Start-up and stop -----------------------------------------------------------

NTSTATUS CDeviceExt::Init(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject) {
  SC_TRACE(TRACE_FLOW, "CDeviceExt::Init() Enter\n");
  KeInitializeTimer(&PollTimer);
  KeInitializeDpc(&PollDpc, pollDpc, this);
  DriverObject = driverObject;
  DeviceObject = deviceObject;
  new (&Message) CMessage(this);

  Options = 0;
  DevTimeoutComm = kDefaultDevTimeoutComm;
  DevTimeoutPoll = kDefaultDevTimeoutPoll;
  DevTimeoutWatchdog = kDefaultDevTimeoutWatchdog;
  CmdReplyTimer = kDefaultCmdReplyTimer;
  CmdRetryDelay = kDefaultCmdRetryDelay;
  CmdMaxRetries = kDefaultCmdMaxRetries;
  TimerPollCardlan = kDefaultTimerPollCardlan;
  TimerPollNormal = kDefaultTimerPollNormal;
  readRegistryParams();

  CardlanState = CL_NONE;
  PortMapped = FALSE;
  PortBase = 0;
  AddressSpace = 1;
  // Clear already in the zeroed extension; a stop that runs before the
  // start-up completed reads them clear and does nothing.
  Started = FALSE;
  Stopped = FALSE;
  setDefaultSwitchParams();
  setDefaultFirmwareVersion();

  NTSTATUS status = acquireInterface();
  if (NT_SUCCESS(status)) {
    // The conversation busy-waits at DISPATCH_LEVEL, as every later one, and
    // under the link lock, whose acquisition is the raise: the start-up
    // connect arms the poll before the last command, and a poll that falls
    // due on another processor waits for the lock instead of talking over
    // the conversation. A shutdown waits the same way.
    KIRQL oldIrql;
    KeAcquireSpinLock(&LinkLock, &oldIrql);
    status = hcDriverConnect();
    if (NT_SUCCESS(status)) {
      clSwitchDisconnect();
      hcFirmwareVersion();
      hcStatusLED(false);
      hdWrite('C', 'D', 'L', 'N');
      clSwitchConnect();
      hdReset();
      // Armed and marked started in the same hold of the lock, so that a
      // stop either finds nothing started or a poll it can cancel.
      startPollTimer(pollPeriod(TimerPollCardlan));
      Started = TRUE;
    }
    KeReleaseSpinLock(&LinkLock, oldIrql);
  }
  if (NT_SUCCESS(status)) {
    LogEvent(DeviceObject, MSG_DRIVER_STARTED, nullptr, 0, nullptr);
  } else {
    releaseInterface();
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::Init() Exit; status [0x%X]\n", status);
  return status;
}

void CDeviceExt::stop(bool shutdown) {
  // Under the link lock: a request or a poll on another processor finishes
  // its conversation first, and none starts another once Stopped is set.
  KIRQL oldIrql;
  KeAcquireSpinLock(&LinkLock, &oldIrql);
  // The shutdown notification is registered before the start-up runs: a
  // shutdown may come while it runs, or after it failed and released the
  // interface. Only a started device has a link to stop. The unload
  // routine stops a device that shutdown may have stopped already; a
  // second stop would talk through a released interface.
  bool act = Started && !Stopped;
  if (act) {
    Stopped = TRUE;
    KeCancelTimer(&PollTimer);
    // A poll already queued must not run against the released interface.
    KeRemoveQueueDpc(&PollDpc);
  }
  KeReleaseSpinLock(&LinkLock, oldIrql);
  if (!act) {
    return;
  }
  // The last transactions run at the caller's PASSIVE_LEVEL.
  if (shutdown) {
    hcStatusLED(true);
    hcDriverDisconnect("DOWN", true);
  } else {
    hcDriverDisconnect("UNLD", false);
  }
  releaseInterface();
}
