// CDeviceExt: the GPIO block, the byte handshake, the controller commands,
// the hex display, Cardlan switching and the poll.
#include "DeviceExt.h"
#include "Registers.h"
#include "Timer.h"
#include "tamrixsc.h"

namespace {
constexpr ULONG kAddressSpaceIo = 1;
constexpr ULONG kByteHandshakeUs = 200;  // each phase of one byte
const char kUnknownVersion[] = "Unknown";
}  // namespace

// Record operations ---------------------------------------------------------

void CDeviceExt::setDefaultSwitchParams() {
  CardID = 70;
  SignType = 3;
  TNMapType = 3;
  RegCardID = 0;
  RegSignType = 0;
  RegTNMapType = 0;
  RegSwitchStatus = STATUS_UNSUCCESSFUL;
}

void CDeviceExt::setDefaultFirmwareVersion() {
  RtlZeroMemory(FirmwareVersion, sizeof(FirmwareVersion));
  RtlCopyMemory(FirmwareVersion, kUnknownVersion, sizeof(kUnknownVersion) - 1);
  FirmwareVersionLength = sizeof(kUnknownVersion) - 1;
}

// GPIO block ----------------------------------------------------------------

UCHAR CDeviceExt::readReg(ULONG offset) {
  PUCHAR address = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(PortBase + offset));
  if (AddressSpace == kAddressSpaceIo) {
    return READ_PORT_UCHAR(address);
  }
  return READ_REGISTER_UCHAR(address);
}

void CDeviceExt::writeReg(ULONG offset, UCHAR value) {
  PUCHAR address = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(PortBase + offset));
  if (AddressSpace == kAddressSpaceIo) {
    WRITE_PORT_UCHAR(address, value);
  } else {
    WRITE_REGISTER_UCHAR(address, value);
  }
}

UCHAR CDeviceExt::readData() { return readReg(Gpio::kRegData); }

void CDeviceExt::writeData(UCHAR value) { writeReg(Gpio::kRegData, value); }

// Both controller lines are active low: asserted reads as a clear bit.
bool CDeviceExt::isTRDY() { return (readReg(Gpio::kRegControl) & Gpio::kCtrlTrdy) == 0; }

bool CDeviceExt::isTREQ() { return (readReg(Gpio::kRegControl) & Gpio::kCtrlTreq) == 0; }

// Host lines change by read-modify-write so that every other bit of the
// control register is written back as read.
void CDeviceExt::setHostRequest(bool asserted) {
  UCHAR v = readReg(Gpio::kRegControl) & static_cast<UCHAR>(~Gpio::kCtrlHostRequest);
  writeReg(Gpio::kRegControl, asserted ? v : static_cast<UCHAR>(v | Gpio::kCtrlHostRequest));
}

void CDeviceExt::setStrobe(bool asserted) {
  UCHAR v = readReg(Gpio::kRegControl) & static_cast<UCHAR>(~Gpio::kCtrlStrobe);
  writeReg(Gpio::kRegControl, asserted ? v : static_cast<UCHAR>(v | Gpio::kCtrlStrobe));
}

void CDeviceExt::setDataDirection(bool output) {
  UCHAR cfg = output ? Gpio::kLineOutput : Gpio::kLineInput;
  for (ULONG line = 0; line < Gpio::kDataLineCount; line++) {
    writeReg(Gpio::kRegLineConfig + line, cfg);
  }
}

// One byte to the controller: wait for TRDY, drive the byte, strobe, wait
// for TRDY to drop, release the strobe.
NTSTATUS CDeviceExt::writeByte(UCHAR value) {
  CTimer timer(kByteHandshakeUs);
  while (!isTRDY()) {
    if (timer.expired()) {
      SC_TRACE(TRACE_ERROR,
               "CDeviceExt::writeByte() ***** ERROR Device timeout [TRDY not asserted]; abort\n");
      return STATUS_UNSUCCESSFUL;
    }
  }
  setDataDirection(true);
  writeData(value);
  setStrobe(true);

  timer.start(kByteHandshakeUs);
  while (isTRDY()) {
    if (timer.expired()) {
      // The strobe stays asserted until the next byte that completes.
      SC_TRACE(TRACE_ERROR,
               "CDeviceExt::writeByte() ***** ERROR Device timeout [TRDY still asserted]; abort\n");
      return STATUS_UNSUCCESSFUL;
    }
  }
  setStrobe(false);
  return STATUS_SUCCESS;
}

// One byte from the controller; the caller has set the data lines to input.
NTSTATUS CDeviceExt::readByte(UCHAR* value) {
  CTimer timer(kByteHandshakeUs);
  while (!isTRDY()) {
    if (timer.expired()) {
      SC_TRACE(TRACE_ERROR, "CDeviceExt::readByte() ***** ERROR Device timeout [TRDY not asserted]; abort\n");
      return STATUS_UNSUCCESSFUL;
    }
  }
  *value = readData();
  setStrobe(true);

  timer.start(kByteHandshakeUs);
  while (isTRDY()) {
    if (timer.expired()) {
      SC_TRACE(TRACE_ERROR,
               "CDeviceExt::readByte() ***** ERROR Device timeout [TRDY still asserted]; abort\n");
      return STATUS_UNSUCCESSFUL;
    }
  }
  setStrobe(false);
  return STATUS_SUCCESS;
}

// Host-controller commands --------------------------------------------------

namespace {
constexpr ULONG kCommand4ReplyUs = 1000000;  // the controller may take a second
constexpr UCHAR kDisconnectPayload = 5;      // reason (4) and shutdown flag
constexpr UCHAR kConnectPayload = 5;         // watchdog (2), comm, poll, options
constexpr UCHAR kPollReport = 4;
auto nothing = [] {};
}  // namespace

NTSTATUS CDeviceExt::hcDriverConnect() {
  LONG attempts = 0;
  UCHAR postCode = 0;
  NTSTATUS status = retryPattern(
      DriverObject, L"Communication errors during 'DRIVER_CONNECT'",
      [this, &postCode] {
        const UCHAR payload[kConnectPayload] = {static_cast<UCHAR>(DevTimeoutWatchdog & 0xFF),
                                                static_cast<UCHAR>(DevTimeoutWatchdog >> 8), DevTimeoutComm,
                                                DevTimeoutPoll, Options};
        UCHAR size = 0;
        postCode = 0;
        return Message.transact(DRIVER_CONNECT, payload, sizeof(payload), CmdReplyTimer, nullptr, &size,
                                &postCode);
      },
      [this, &postCode] {
        // The status byte passes on the BIOS POST code; 0 means none.
        if (postCode != 0) {
          static const char kHex[] = "0123456789ABCDEF";
          const WCHAR text[3] = {static_cast<WCHAR>(kHex[postCode >> 4]),
                                 static_cast<WCHAR>(kHex[postCode & 0x0F]), 0};
          SC_TRACE(TRACE_WARNING,
                   "CDeviceExt::hcDriverConnect() !!!!! WARNING 8051 reported POST code [0x%.2x]\n",
                   postCode);
          LogEvent(DriverObject, MSG_POST_CODE, text, 0, nullptr);
        }
      },
      [](NTSTATUS s) {
        SC_TRACE(TRACE_WARNING,
                 "CDeviceExt::hcDriverConnect() !!!!! WARNING Command failed; status [0x%X]; retrying...\n",
                 s);
      },
      &attempts);
  if (!NT_SUCCESS(status)) {
    LogEvent(DriverObject, MSG_INIT_FAILED, L"Cannot connect to the 8051 System Controller",
             static_cast<ULONG>(status), nullptr);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hcDriverConnect() Exit; status [0x%X]; retries [%d]\n", status, attempts);
  return status;
}

void CDeviceExt::hcDriverDisconnect(const char reason[4], bool shutdown) {
  NTSTATUS status = retryPattern(
      DriverObject, L"Communication errors during 'DRIVER_DISCONNECT'",
      [this, reason, shutdown] {
        const UCHAR payload[kDisconnectPayload] = {
            static_cast<UCHAR>(reason[0]), static_cast<UCHAR>(reason[1]), static_cast<UCHAR>(reason[2]),
            static_cast<UCHAR>(reason[3]), static_cast<UCHAR>(shutdown ? 1 : 0)};
        UCHAR size = 0;
        UCHAR replyStatus = 0;
        return Message.transact(DRIVER_DISCONNECT, payload, sizeof(payload), CmdReplyTimer, nullptr, &size,
                                &replyStatus);
      },
      nothing,
      [](NTSTATUS s) {
        SC_TRACE(
            TRACE_WARNING,
            "CDeviceExt::hcDriverDisconnect() !!!!! WARNING Command failed; status [0x%X]; retrying...\n", s);
      });
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hcDriverDisconnect() Exit; status [0x%X]\n", status);
}

void CDeviceExt::hcFirmwareVersion() {
  UCHAR received = 0;
  NTSTATUS status = retryPattern(
      DriverObject, L"Communication errors during 'FIRMWARE_VERSION'",
      [this, &received] {
        UCHAR replyStatus = 0;
        received = kFirmwareVersionSize;
        return Message.transact(FIRMWARE_VERSION, nullptr, 0, CmdReplyTimer, FirmwareVersion, &received,
                                &replyStatus);
      },
      [this, &received] {
        // Bytes beyond the received ones keep what they held; only the
        // length counts, and the last byte always ends the text.
        FirmwareVersion[kFirmwareVersionSize - 1] = 0;
        FirmwareVersionLength = received;
        SC_TRACE(TRACE_FLOW, "CDeviceExt::hcFirmwareVersion() Returned [%hS]; length [%d]\n",
                 reinterpret_cast<const char*>(FirmwareVersion), FirmwareVersionLength);
      },
      [](NTSTATUS s) {
        SC_TRACE(TRACE_WARNING,
                 "CDeviceExt::hcFirmwareVersion() !!!!! WARNING Command failed; status [0x%X]; retrying...\n",
                 s);
      });
  if (!NT_SUCCESS(status)) {
    LogEvent(DriverObject, MSG_FIRMWARE_VERSION_FAILED, nullptr, 0, nullptr);
    setDefaultFirmwareVersion();
    SC_TRACE(
        TRACE_ERROR,
        "CDeviceExt::hcFirmwareVersion() ***** ERROR Failed to read, status [0x%X]; default version [%hS]\n",
        status, reinterpret_cast<const char*>(FirmwareVersion));
  }
}

NTSTATUS CDeviceExt::hcPoll(UCHAR* cardlanStatus, UCHAR report[4]) {
  NTSTATUS status = retryPattern(
      DeviceObject, L"Communication errors during 'POLL'",
      [this, cardlanStatus, report] {
        *cardlanStatus = 0;
        UCHAR size = kPollReport;
        return Message.transact(POLL, nullptr, 0, CmdReplyTimer, report, &size, cardlanStatus);
      },
      nothing,
      [](NTSTATUS s) {
        SC_TRACE(TRACE_WARNING,
                 "CDeviceExt::hcPoll() !!!!! WARNING Command failed; status [0x%X]; retrying...\n", s);
      });
  if (NT_SUCCESS(status)) {
    SC_TRACE(TRACE_DETAIL,
             "CDeviceExt::hcPoll() CardlanStatus [0x%.2x]; CardlanReport0 [0x%.2x]; CardlanReport1 [0x%.2x]; "
             "CommErrors [%d]; PollErrors [%d]\n",
             *cardlanStatus, report[0], report[1], report[2], report[3]);
  } else {
    SC_TRACE(TRACE_ERROR, "CDeviceExt::hcPoll() ***** ERROR Sanity poll failed; status [0x%X]\n", status);
    LogEvent(DeviceObject, MSG_TEXT, L"Sanity poll failed", static_cast<ULONG>(status), nullptr);
  }
  return status;
}

NTSTATUS CDeviceExt::hcCommand4() {
  UCHAR size = 0;
  UCHAR replyStatus = 0;
  return Message.transact(COMMAND_4, nullptr, 0, kCommand4ReplyUs, nullptr, &size, &replyStatus);
}

NTSTATUS CDeviceExt::hcStatusLED(bool on) {
  UCHAR size = 0;
  UCHAR replyStatus = 0;
  NTSTATUS status = Message.transact(on ? STATUS_LED_ON : STATUS_LED_OFF, nullptr, 0, CmdReplyTimer, nullptr,
                                     &size, &replyStatus);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hcStatusLED() Exit; status [0x%X]\n", status);
  return status;
}

// Hex display -------------------------------------------------------------

namespace {
// The display's result codes for a controller's status byte.
ULONG refusal(UCHAR status, ULONG refused) { return status == 0 ? HD_RESULT_OK : refused; }
}  // namespace

// One display transaction: the command, its payload, an optional one-byte
// reply and the status byte.
NTSTATUS CDeviceExt::hdTransact(UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength, UCHAR* replyByte,
                                UCHAR* replyStatus) {
  UCHAR size = replyByte != nullptr ? 1 : 0;
  *replyStatus = 0;
  return Message.transact(cmdCode, payload, payloadLength, CmdReplyTimer, replyByte, &size, replyStatus);
}

NTSTATUS CDeviceExt::hdSetStatus(bool on, UCHAR value) {
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(on ? HD_SET_STATUS : HD_CLEAR_STATUS, &value, 1, nullptr, &replyStatus);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdSetStatus() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdSetRefreshRate(UCHAR rate) {
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_SET_REFRESH_RATE, &rate, 1, nullptr, &replyStatus);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdSetRefreshRate() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdGroupAdd(UCHAR* groupID, ULONG* resultCode) {
  *resultCode = HD_RESULT_NOT_DONE;
  *groupID = 0;
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_GROUP_ADD, nullptr, 0, groupID, &replyStatus);
  if (NT_SUCCESS(status)) {
    *resultCode = refusal(replyStatus, HD_RESULT_ADD_REFUSED);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdGroupAdd() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdGroupDelete(UCHAR groupID, ULONG* resultCode) {
  *resultCode = HD_RESULT_NOT_DONE;
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_GROUP_DELETE, &groupID, 1, nullptr, &replyStatus);
  if (NT_SUCCESS(status)) {
    *resultCode = refusal(replyStatus, HD_RESULT_GROUP_REFUSED);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdGroupDelete() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdMessageAdd(UCHAR groupID, UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3, UCHAR* messageID,
                                  ULONG* resultCode) {
  *resultCode = HD_RESULT_NOT_DONE;
  const UCHAR payload[] = {groupID, c0, c1, c2, c3};
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_MESSAGE_ADD, payload, sizeof(payload), messageID, &replyStatus);
  if (NT_SUCCESS(status)) {
    // Status 2 says the group does not exist; any other refusal, no room.
    *resultCode = replyStatus == 2 ? HD_RESULT_GROUP_REFUSED : refusal(replyStatus, HD_RESULT_ADD_REFUSED);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdMessageAdd() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdMessageExchange(UCHAR messageID, UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3,
                                       ULONG* resultCode) {
  *resultCode = HD_RESULT_NOT_DONE;
  const UCHAR payload[] = {messageID, c0, c1, c2, c3};
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_MESSAGE_EXCHANGE, payload, sizeof(payload), nullptr, &replyStatus);
  if (NT_SUCCESS(status)) {
    *resultCode = refusal(replyStatus, HD_RESULT_MESSAGE_REFUSED);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdMessageExchange() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdMessageDelete(UCHAR messageID, ULONG* resultCode) {
  *resultCode = HD_RESULT_NOT_DONE;
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_MESSAGE_DELETE, &messageID, 1, nullptr, &replyStatus);
  if (NT_SUCCESS(status)) {
    *resultCode = refusal(replyStatus, HD_RESULT_MESSAGE_REFUSED);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdMessageDelete() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdStatusQuery(UCHAR* displayStatus) {
  *displayStatus = 0;
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_STATUS_QUERY, nullptr, 0, displayStatus, &replyStatus);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdStatusQuery() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdReset() {
  // The text shows the Cardlan state; the fifth byte is the firmware's.
  const char* text;
  switch (CardlanState) {
    case CL_CONNECTING: text = "CDLN"; break;
    case CL_ACTIVE_PRIMARY: text = "C:02"; break;
    case CL_ACTIVE_SECONDARY: text = "C:01"; break;
    case CL_ACTIVE: text = " OK "; break;
    default: text = "DMIN"; break;
  }
  const UCHAR payload[] = {static_cast<UCHAR>(text[0]), static_cast<UCHAR>(text[1]),
                           static_cast<UCHAR>(text[2]), static_cast<UCHAR>(text[3]), 0x0A};
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_RESET, payload, sizeof(payload), nullptr, &replyStatus);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdReset() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdWrite(UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3) {
  const UCHAR payload[] = {c0, c1, c2, c3};
  UCHAR replyStatus;
  NTSTATUS status = hdTransact(HD_WRITE, payload, sizeof(payload), nullptr, &replyStatus);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdWrite() Exit; status [0x%X]\n", status);
  return status;
}
