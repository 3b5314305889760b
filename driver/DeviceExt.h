// The device extension: all state of the one System Controller and
// the operations that drive it.
#pragma once

#include "Message.h"
#include "Timer.h"
#include "platform.h"
#include "scioctl.h"
#include "tamrixsc.h"
#include "tamrixscmsg.h"

// The extension of the device object, one per device, never copied. Fields
// are public plain data in a fixed order: the extension size and several
// controller payloads depend on their widths.
class CDeviceExt {
 public:
  static constexpr ULONG kFirmwareVersionSize = 64;

  // Defaults of the fields the registry can override, and of the switch
  // parameters.
  static constexpr UCHAR kDefaultDevTimeoutComm = 60;        // ms
  static constexpr UCHAR kDefaultDevTimeoutPoll = 62;        // s
  static constexpr USHORT kDefaultDevTimeoutWatchdog = 600;  // ms
  static constexpr ULONG kDefaultCmdReplyTimer = 5000;       // us
  static constexpr ULONG kDefaultCmdRetryDelay = 1000;       // us
  static constexpr LONG kDefaultCmdMaxRetries = 3;
  static constexpr ULONG kDefaultTimerPollCardlan = 1000;  // ms
  static constexpr ULONG kDefaultTimerPollNormal = 30000;  // ms
  static constexpr UCHAR kDefaultCardID = 70;
  static constexpr UCHAR kDefaultSignType = 3;
  static constexpr UCHAR kDefaultTNMapType = 3;

  // A reply timer or retry delay is a busy wait at DISPATCH_LEVEL, where
  // every microsecond is taken from the whole server. The longest wait the
  // controller itself defines is COMMAND_4's second; nothing needs more.
  static constexpr ULONG kMaxCmdWaitUs = 1000000;
  // The controller may take a second to answer COMMAND_4.
  static constexpr ULONG kCommand4ReplyUs = 1000000;
  // Payloads and replies whose size the bounds on their time depend on:
  // the connect's (watchdog (2), comm, poll, options), the poll's report,
  // and a display text.
  static constexpr UCHAR kConnectPayloadSize = 5;
  static constexpr UCHAR kPollReportSize = 4;
  static constexpr UCHAR kDisplayTextSize = 4;
  // Attempts of one transaction: an administrator who writes 0 retries
  // means one attempt; more than a few only repeat what already failed.
  static constexpr LONG kMinCmdMaxRetries = 1;
  static constexpr LONG kMaxCmdMaxRetries = 10;
  // The controller's three time-outs travel in fields of these widths.
  static constexpr ULONG kMaxDevTimeoutComm = 0xFF;
  static constexpr ULONG kMaxDevTimeoutPoll = 0xFF;
  static constexpr ULONG kMaxDevTimeoutWatchdog = 0xFFFF;

  // Extension operations.
  void setDefaultSwitchParams();
  void setDefaultFirmwareVersion();
  void startPollTimer(LONG periodMs);
  NTSTATUS completeRequest(PIRP irp, NTSTATUS status, ULONG information);

  // The link: one conversation at a time, and nobody spins for it. At
  // DISPATCH_LEVEL, tryTakeLink takes the link or marks its party owed
  // (PollOwed, RequestOwed); giveLink lets it go and queues every owed
  // party again, except a poll owed while the poll itself held the link
  // (pollRan), which that poll covered: it returns whether it dropped one.
  // At PASSIVE_LEVEL, takeLinkPassive raises to DISPATCH_LEVEL holding the
  // link, trying again below that level while another processor has it.
  bool tryTakeLink(volatile LONG* owed);
  bool giveLink(bool pollRan = false);
  KIRQL takeLinkPassive();
  void queueStartIoWorker();

  // Time at DISPATCH_LEVEL. A stretch is one conversation under the link;
  // none may last longer than DispatchBoundUs, the longest the design
  // itself needs: one COMMAND_4 against a controller that never answers.
  // The first transaction of a stretch always fits (the reply timer is
  // bounded so that it does); admitTransaction refuses a later one that
  // could carry the stretch past the bound, stretchAllows tells whether
  // `moreUs` could still follow.
  static ULONG dispatchBoundUs(ULONG increment);
  // The longest one transaction with every retry and pause can take with
  // the extension's settings; never more than a stretch may last.
  ULONG retriedBoundUs(UCHAR cmdCode, UCHAR payloadLength, UCHAR replyCapacity) const;
  void beginStretch();
  void endStretch();
  bool stretchAllows(ULONG moreUs);
  bool admitTransaction(ULONG boundUs);

  // GPIO block access and the byte handshake.
  UCHAR readReg(ULONG offset);
  void writeReg(ULONG offset, UCHAR value);
  UCHAR readData();
  void writeData(UCHAR value);
  bool isTRDY();
  bool isTREQ();
  void setHostRequest(bool asserted);
  void setStrobe(bool asserted);
  void setDataDirection(bool output);
  NTSTATUS writeByte(UCHAR value);
  NTSTATUS readByte(UCHAR* value);
  // The longest one byte can take across the lines, out or in, and the
  // longest bounded wait on a line, with the clock interrupt every
  // `increment` 100 ns units.
  static ULONG byteOutBoundUs(ULONG increment);
  static ULONG byteInBoundUs(ULONG increment);
  static ULONG lineWaitBoundUs(ULONG timeoutUs, ULONG increment);

  // The controller's handshake lines, and the one bounded wait on them.
  // awaitLine also traces a time-out: who waited, the line, and what the
  // time-out ends.
  enum class Line { TRDY, TREQ };
  bool lineAsserted(Line line);
  bool waitForLine(Line line, bool asserted, ULONG timeoutUs);
  NTSTATUS awaitLine(Line line, bool asserted, ULONG timeoutUs, const char* waiter, const char* consequence);
  template <typename Latch>
  NTSTATUS strobeByte(const char* waiter, Latch latch);

  // Interface discovery and claim.
  NTSTATUS acquireInterface();
  void idleLines();
  void releaseInterface();
  NTSTATUS locateDevice(ULONG* base);
  NTSTATUS allocateHardware(ULONG start, ULONG length, ULONG* addressSpace, ULONG* mappedBase,
                            BOOLEAN* mapped);
  NTSTATUS claimPorts(ULONG start, ULONG length);
  NTSTATUS translatePorts(ULONG start, ULONG* addressSpace, PHYSICAL_ADDRESS* translated);
  NTSTATUS mapPorts(PHYSICAL_ADDRESS translated, ULONG length, ULONG addressSpace, ULONG* mappedBase,
                    BOOLEAN* mapped);
  void releaseHardware(ULONG base, ULONG length, BOOLEAN mapped);
  UCHAR superIoRead(ULONG base, ULONG offset, ULONG addressSpace);
  void superIoWrite(ULONG base, ULONG offset, ULONG addressSpace, UCHAR value);

  // Registry.
  NTSTATUS queryRegistry(PCWSTR valueName, ULONG* destination);
  void readRegistryParams();
  ULONG boundedWait(const char* name, ULONG us, ULONG limitUs);
  static ULONG boundedValue(const char* name, ULONG value, ULONG maximum);
  LONG boundedRetries(ULONG retries);
  ULONG boundedPollPeriod(const char* name, ULONG periodMs, ULONG defaultMs, ULONG minimumMs);
  ULONG longestPollMs() const;
  ULONG maxReplyTimerUs() const;

  // Host-controller commands and their requests.
  NTSTATUS hcDriverConnect();
  void hcDriverDisconnect(const char reason[4], bool shutdown);
  void hcFirmwareVersion();
  NTSTATUS hcPoll(UCHAR* cardlanStatus, UCHAR report[4]);
  NTSTATUS hcCommand4();
  NTSTATUS hcStatusLED(bool on);
  NTSTATUS transact(UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength, UCHAR* replyByte = nullptr,
                    UCHAR* replyStatus = nullptr);
  NTSTATUS IoControlFirmwareVersion(PVOID buffer, ULONG size);
  NTSTATUS IoControlCommand4();
  NTSTATUS IoControlStatusLED(bool on);

  // Hex display.
  NTSTATUS IoControlHexDisplay(ULONG ioctlCode, PVOID input, ULONG inputLength, PVOID output,
                               ULONG outputLength);
  NTSTATUS hdSetStatus(bool on, UCHAR value);
  NTSTATUS hdSetRefreshRate(UCHAR rate);
  NTSTATUS hdGroupAdd(UCHAR* groupID, ULONG* resultCode);
  NTSTATUS hdGroupDelete(UCHAR groupID, ULONG* resultCode);
  NTSTATUS hdMessageAdd(UCHAR groupID, UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3, UCHAR* messageID,
                        ULONG* resultCode);
  NTSTATUS hdMessageExchange(UCHAR messageID, UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3, ULONG* resultCode);
  NTSTATUS hdMessageDelete(UCHAR messageID, ULONG* resultCode);
  NTSTATUS hdStatusQuery(UCHAR* status);
  NTSTATUS hdReset();
  NTSTATUS hdWrite(UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3);
  // What one attempt of a display request hands back.
  struct HdReplyFields {
    ULONG resultCode;
    UCHAR groupID;
    UCHAR messageID;
    UCHAR displayStatus;
  };
  NTSTATUS hdRunRequest(ULONG ioctlCode, const SC_HD_RECORD& in, HdReplyFields* out);
  NTSTATUS hdTransactForResult(const char* caller, UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength,
                               UCHAR* replyByte, ULONG* resultCode, ULONG refused, ULONG noGroup);

  // Cardlan switching and the poll.
  NTSTATUS IoControlSwitch(bool connect, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength);
  void readSwitchRegistry();
  NTSTATUS clSwitchConnect();
  NTSTATUS clSwitchDisconnect();
  void runPoll();
  void clEnterState(PCWSTR eventText, LONG state, const char* display);
  static KDEFERRED_ROUTINE pollDpc;
  static LONG pollPeriod(ULONG periodMs);
  static constexpr LONG kMaxPollPeriodMs = 0x7FFFFFFF;

  // Start-up and stop.
  NTSTATUS Init(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
  NTSTATUS startConversation();
  template <typename Step>
  bool startupStep(Step step);
  NTSTATUS abandonStartup(bool connected);
  void disconnectController(bool shutdown);
  void stop(bool shutdown);

  // A transaction with retries: up to CmdMaxRetries attempts (at least
  // one); after each failed one but the last, an MSG_TEXT event, the
  // caller's warning and a pause of CmdRetryDelay. No retry is made that,
  // with its pause, could carry the stretch at DISPATCH_LEVEL past its
  // bound: the transaction then fails with the last attempt's status.
  // `attempt` runs one whole attempt and returns its status, `succeeded`
  // handles a successful one, `warn` traces a retry.
  template <typename Attempt, typename Succeeded, typename Warn>
  NTSTATUS retryTransaction(PVOID ioObject, PCWSTR eventText, Attempt attempt, Succeeded succeeded, Warn warn,
                            LONG* attemptsMade = nullptr) {
    NTSTATUS status;
    LONG attempts = 0;
    for (;;) {
      status = attempt();
      attempts++;
      if (NT_SUCCESS(status)) {
        succeeded();
        break;
      }
      if (attempts >= CmdMaxRetries) {
        break;
      }
      if (!retryFits(status)) {
        break;
      }
      LogEvent(ioObject, MSG_TEXT, eventText, static_cast<ULONG>(status), nullptr);
      warn(status);
      CTimer delay(0);
      delay.wait(CmdRetryDelay);
    }
    if (attemptsMade != nullptr) {
      *attemptsMade = attempts;
    }
    return status;
  }
  // Whether the stretch leaves room for the pause and one more attempt
  // like the last; a level-2 warning when it does not.
  bool retryFits(NTSTATUS lastStatus);

  // The same for a controller command, whose retry warning names the
  // command's function.
  template <typename Attempt, typename Succeeded>
  NTSTATUS retryCommand(PVOID ioObject, PCWSTR eventText, const char* caller, Attempt attempt,
                        Succeeded succeeded, LONG* attemptsMade = nullptr) {
    return retryTransaction(
        ioObject, eventText, attempt, succeeded, [caller](NTSTATUS s) { warnRetry(caller, s); },
        attemptsMade);
  }
  static void warnRetry(const char* caller, NTSTATUS status);
  // What a successful attempt does when only its status counts.
  static void nothingMore() {}

  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT DeviceObject;
  CMessage Message;
  UCHAR Options;              // 0x01 show comm errors, 0x80 reset without poll
  UCHAR DevTimeoutComm;       // controller units: milliseconds
  UCHAR DevTimeoutPoll;       // controller units: seconds
  USHORT DevTimeoutWatchdog;  // controller units: milliseconds
  ULONG CmdReplyTimer;        // microseconds
  ULONG CmdRetryDelay;        // microseconds
  LONG CmdMaxRetries;         // attempts, 1 to 10
  ULONG TimerPollCardlan;     // milliseconds
  ULONG TimerPollNormal;      // milliseconds
  BOOLEAN PortMapped;
  ULONG PortBase;      // port number, or mapped system address
  ULONG AddressSpace;  // 1: I/O port space; otherwise memory space
  UCHAR CardID;
  UCHAR SignType;
  UCHAR TNMapType;
  UCHAR RegCardID;
  UCHAR RegSignType;
  UCHAR RegTNMapType;
  NTSTATUS RegSwitchStatus;
  UCHAR FirmwareVersionLength;
  UCHAR FirmwareVersion[kFirmwareVersionSize];
  KTIMER PollTimer;
  KDPC PollDpc;
  LONG CardlanState;  // CL_NONE to CL_ACTIVE (scioctl.h)

  // Beyond the extension's fixed layout.
  // Stop has run, or a stop came while the start-up was under way: no
  // conversation starts any more. Written only under the link lock.
  BOOLEAN Stopped;
  // The stop that set Stopped came from the shutdown request.
  BOOLEAN StoppedForShutdown;
  // Held for each whole conversation: of a start-up step, of the start-I/O
  // routine and of the poll, which may run on two processors at once; and
  // by stop while it takes the link from them.
  KSPIN_LOCK LinkLock;
  // The start-up conversation succeeded and the poll is armed. Set under
  // the link lock; until then there is nothing for stop to stop.
  BOOLEAN Started;
  // Held only while the registry copy of the switch values is written or
  // read, so that a connect request takes the three values and their
  // status from one registry read.
  KSPIN_LOCK SwitchLock;
  // Parties that found the link busy and are queued again when it is let
  // go: the poll (its deferred call), and the request in the start-I/O
  // routine (OwedIrp, served by the worker).
  volatile LONG PollOwed;
  volatile LONG RequestOwed;
  PIRP volatile OwedIrp;
  // Starts the next queued request, or serves an owed one, from a system
  // worker thread, so that the processor drops below DISPATCH_LEVEL
  // between two requests.
  PIO_WORKITEM StartIoWorker;
  // The clock interrupt interval (KeQueryTimeIncrement, 100 ns units), the
  // bound on a stretch at DISPATCH_LEVEL, and the stretch under way.
  ULONG ClockIncrement;
  ULONG DispatchBoundUs;
  BOOLEAN InStretch;
  LONG StretchTransactions;
  ULONGLONG StretchStart;  // interrupt time, 100 ns units
  ULONG LastTransactionBoundUs;
};
