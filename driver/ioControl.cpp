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

// The link ---------------------------------------------------------------
//
// The poll's deferred call and the start-I/O routine may run on two
// processors at once, and each conversation busy-waits at DISPATCH_LEVEL.
// A processor that spun at that level for the link while a COMMAND_4 held
// it, and then had its own conversation, would stay there for both; so
// nobody spins for the link. A party that finds it busy is owed, and the
// holder queues it again as it lets the link go: the poll's deferred call,
// or the worker for the request. Each conversation is then a stretch of
// its own.

bool CDeviceExt::tryTakeLink(volatile LONG* owed) {
  if (KeTryToAcquireSpinLockAtDpcLevel(&LinkLock)) {
    return true;
  }
  InterlockedExchange(owed, 1);
  // The holder may have let the link go between the failed try and the
  // mark, without seeing the mark.
  if (!KeTryToAcquireSpinLockAtDpcLevel(&LinkLock)) {
    return false;
  }
  if (InterlockedExchange(owed, 0) != 0) {
    return true;
  }
  // A holder saw the mark first and has queued this party again, and that
  // run does the work; or the holder was the poll, which covered it.
  giveLink();
  return false;
}

bool CDeviceExt::giveLink(bool pollRan) {
  KeReleaseSpinLockFromDpcLevel(&LinkLock);
  bool pollDropped = false;
  if (InterlockedExchange(&PollOwed, 0) != 0) {
    if (pollRan) {
      pollDropped = true;
    } else {
      KeInsertQueueDpc(&PollDpc, nullptr, nullptr);
    }
  }
  if (InterlockedExchange(&RequestOwed, 0) != 0) {
    queueStartIoWorker();
  }
  return pollDropped;
}

// Start-up and stop wait for the link below DISPATCH_LEVEL, sleeping
// between tries so that the holder's processor is not needed to free this
// one. On one processor the first try always succeeds: whoever holds the
// link runs at DISPATCH_LEVEL and is done before this thread runs again.
KIRQL CDeviceExt::takeLinkPassive() {
  constexpr LONGLONG kLinkRetryInterval = -10LL * 10000;  // 10 ms, relative, 100 ns units
  for (;;) {
    KIRQL oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
    if (KeTryToAcquireSpinLockAtDpcLevel(&LinkLock)) {
      return oldIrql;
    }
    KfLowerIrql(oldIrql);
    LARGE_INTEGER interval;
    interval.QuadPart = kLinkRetryInterval;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}

void CDeviceExt::queueStartIoWorker() { IoQueueWorkItem(StartIoWorker, StartIoWork, DelayedWorkQueue, this); }

// Time at DISPATCH_LEVEL -----------------------------------------------------

// The stretch reads the clock as it begins, then the COMMAND_4 runs.
ULONG CDeviceExt::dispatchBoundUs(ULONG increment) {
  return CTimer::kClockReadUs + CMessage::boundUs(COMMAND_4, 0, 0, kCommand4ReplyUs, increment);
}

// Before each retry the stretch is read twice, once to decide on the retry
// and once as the attempt is admitted.
ULONG CDeviceExt::retriedBoundUs(UCHAR cmdCode, UCHAR payloadLength, UCHAR replyCapacity) const {
  const LONG attempts = CmdMaxRetries < kMinCmdMaxRetries   ? kMinCmdMaxRetries
                        : CmdMaxRetries > kMaxCmdMaxRetries ? kMaxCmdMaxRetries
                                                            : CmdMaxRetries;
  const ULONGLONG attempt =
      CMessage::boundUs(cmdCode, payloadLength, replyCapacity, CmdReplyTimer, ClockIncrement);
  const ULONGLONG pause = CTimer::boundUs(CmdRetryDelay, ClockIncrement, 0) + 2 * CTimer::kClockReadUs;
  const ULONGLONG us = attempts * attempt + (attempts - 1) * pause;
  return us > DispatchBoundUs ? DispatchBoundUs : static_cast<ULONG>(us);
}

void CDeviceExt::beginStretch() {
  InStretch = TRUE;
  StretchTransactions = 0;
  StretchStart = KeQueryInterruptTime();
}

void CDeviceExt::endStretch() { InStretch = FALSE; }

// The interrupt time may trail the true time by a tick: what has passed is
// at most what it shows plus one tick.
bool CDeviceExt::stretchAllows(ULONG moreUs) {
  if (!InStretch) {
    return true;
  }
  const ULONGLONG shownUs = (KeQueryInterruptTime() - StretchStart) / 10;
  const ULONGLONG passedUs = shownUs + (ClockIncrement + 9) / 10;
  return passedUs + moreUs <= DispatchBoundUs;
}

bool CDeviceExt::admitTransaction(ULONG boundUs) {
  LastTransactionBoundUs = boundUs;
  if (InStretch && StretchTransactions++ != 0 && !stretchAllows(boundUs)) {
    return false;
  }
  return true;
}

bool CDeviceExt::retryFits(NTSTATUS lastStatus) {
  const ULONG delayUs = CTimer::boundUs(CmdRetryDelay, ClockIncrement, 0) + CTimer::kClockReadUs;
  const ULONG nextUs = LastTransactionBoundUs;
  if (stretchAllows(delayUs > 0xFFFFFFFFu - nextUs ? 0xFFFFFFFFu : delayUs + nextUs)) {
    return true;
  }
  SC_TRACE(TRACE_WARNING,
           "CDeviceExt::retryFits() !!!!! WARNING No retry; it could keep the processor at DISPATCH_LEVEL "
           "past [%u] us; status [0x%X]\n",
           DispatchBoundUs, lastStatus);
  return false;
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
  ClockIncrement = KeQueryTimeIncrement();
  DispatchBoundUs = dispatchBoundUs(ClockIncrement);

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
  // Started and Stopped are clear in the zeroed extension and written only
  // under the link lock from here on: a shutdown may already have come.
  setDefaultSwitchParams();
  setDefaultFirmwareVersion();

  NTSTATUS status = acquireInterface();
  if (NT_SUCCESS(status)) {
    status = startConversation();
  }
  if (NT_SUCCESS(status) && Started) {
    LogEvent(DeviceObject, MSG_DRIVER_STARTED, nullptr, 0, nullptr);
  } else {
    releaseInterface();
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::Init() Exit; status [0x%X]\n", status);
  return status;
}

// One step of the start-up's conversation, as a stretch of its own under
// the link: it busy-waits at DISPATCH_LEVEL as every later conversation
// does. False, with nothing sent, when a stop has come.
template <typename Step>
bool CDeviceExt::startupStep(Step step) {
  KIRQL oldIrql = takeLinkPassive();
  const bool go = !Stopped;
  if (go) {
    beginStretch();
    step();
    endStretch();
  }
  giveLink();
  KfLowerIrql(oldIrql);
  return go;
}

// Nothing else reaches the link while the driver's entry runs: the device
// opens only once DriverEntry has returned, and the poll is armed last. So
// the conversation stays whole although the link is let go between its
// commands; only a shutdown can come in between, and then the start-up
// gives up before its next command. The device stays, stopped.
NTSTATUS CDeviceExt::startConversation() {
  NTSTATUS status = STATUS_SUCCESS;
  if (!startupStep([this, &status] { status = hcDriverConnect(); })) {
    return abandonStartup(false);
  }
  if (!NT_SUCCESS(status)) {
    return status;
  }
  const bool whole =
      startupStep([this] { clSwitchDisconnect(); }) && startupStep([this] { hcFirmwareVersion(); }) &&
      startupStep([this] { hcStatusLED(false); }) && startupStep([this] { hdWrite('C', 'D', 'L', 'N'); }) &&
      startupStep([this] { clSwitchConnect(); }) && startupStep([this] { hdReset(); });
  if (!whole) {
    return abandonStartup(true);
  }
  // Armed and marked started in the same hold of the lock, so that a stop
  // either finds nothing started or a poll it can cancel.
  KIRQL oldIrql = takeLinkPassive();
  const bool stopped = Stopped;
  if (!stopped) {
    startPollTimer(pollPeriod(TimerPollCardlan));
    Started = TRUE;
  }
  giveLink();
  KfLowerIrql(oldIrql);
  return stopped ? abandonStartup(true) : STATUS_SUCCESS;
}

// A stop came during the start-up and found nothing started. The poll the
// connect may have armed goes, and a controller that was told the driver
// connected is told it goes, as the stop would have told it.
NTSTATUS CDeviceExt::abandonStartup(bool connected) {
  SC_TRACE(TRACE_WARNING,
           "CDeviceExt::Init() !!!!! WARNING Device stopped during start-up; start-up abandoned\n");
  KeCancelTimer(&PollTimer);
  KeRemoveQueueDpc(&PollDpc);
  KeFlushQueuedDpcs();
  if (connected) {
    disconnectController(StoppedForShutdown != FALSE);
  }
  return STATUS_SUCCESS;
}

void CDeviceExt::disconnectController(bool shutdown) {
  if (shutdown) {
    hcStatusLED(true);
    hcDriverDisconnect("DOWN", true);
  } else {
    hcDriverDisconnect("UNLD", false);
  }
}

void CDeviceExt::stop(bool shutdown) {
  // Under the link lock: a request or a poll on another processor finishes
  // its conversation first, and none starts another once Stopped is set.
  // A stop that finds nothing started still marks the device stopped: the
  // start-up may be under way, and gives up before its next command. The
  // unload routine stops a device that shutdown may have stopped already;
  // a second stop would talk through a released interface.
  KIRQL oldIrql = takeLinkPassive();
  const bool act = Started && !Stopped;
  if (!Stopped) {
    Stopped = TRUE;
    StoppedForShutdown = shutdown ? TRUE : FALSE;
  }
  giveLink();
  KfLowerIrql(oldIrql);
  if (!act) {
    return;
  }
  // Outside the lock: a poll that runs from now on finds the device
  // stopped, and a kernel whose KeCancelTimer waits for a running poll
  // must not wait while this thread holds the link the poll needs.
  KeCancelTimer(&PollTimer);
  // A poll already queued must not run against the released interface.
  KeRemoveQueueDpc(&PollDpc);
  // The last exchanges run at the caller's PASSIVE_LEVEL.
  disconnectController(shutdown);
  releaseInterface();
}
