// CDeviceExt: the GPIO block, the byte handshake, the controller commands,
// the hex display, Cardlan switching and the poll.
#include "DeviceExt.h"
#include "Registers.h"
#include "RegistryValues.h"
#include "Timer.h"
#include "tamrixsc.h"

namespace {
constexpr ULONG kAddressSpaceIo = 1;
constexpr ULONG kByteHandshakeUs = 200;  // each phase of one byte
const char kByteAborted[] = "abort";     // what a byte time-out ends
const char kUnknownVersion[] = "Unknown";
}  // namespace

// Record operations ---------------------------------------------------------

void CDeviceExt::setDefaultSwitchParams() {
  CardID = kDefaultCardID;
  SignType = kDefaultSignType;
  TNMapType = kDefaultTNMapType;
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
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the HAL takes a port number or a mapped address as a pointer
  PUCHAR address = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(PortBase + offset));
  if (AddressSpace == kAddressSpaceIo) {
    return READ_PORT_UCHAR(address);
  }
  return READ_REGISTER_UCHAR(address);
}

void CDeviceExt::writeReg(ULONG offset, UCHAR value) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the HAL takes a port number or a mapped address as a pointer
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

// Both handshake lines are the controller's; every wait on one of them is
// bounded by its time-out.
bool CDeviceExt::lineAsserted(Line line) { return line == Line::TRDY ? isTRDY() : isTREQ(); }

bool CDeviceExt::waitForLine(Line line, bool asserted, ULONG timeoutUs) {
  CTimer timer(timeoutUs);
  while (lineAsserted(line) != asserted) {
    if (timer.expired()) {
      return false;
    }
  }
  return true;
}

NTSTATUS CDeviceExt::awaitLine(Line line, bool asserted, ULONG timeoutUs, const char* waiter,
                               const char* consequence) {
  if (waitForLine(line, asserted, timeoutUs)) {
    return STATUS_SUCCESS;
  }
  SC_TRACE(TRACE_ERROR, "%s ***** ERROR Device timeout [%s %s]; %s\n", waiter,
           line == Line::TRDY ? "TRDY" : "TREQ", asserted ? "not asserted" : "still asserted", consequence);
  return STATUS_UNSUCCESSFUL;
}

// One byte across the lines in either direction: wait for TRDY, let
// `latch` move the byte, strobe, wait for TRDY to drop, release the strobe.
// After a time-out the strobe stays asserted until the next byte that
// completes.
template <typename Latch>
NTSTATUS CDeviceExt::strobeByte(const char* waiter, Latch latch) {
  NTSTATUS status = awaitLine(Line::TRDY, true, kByteHandshakeUs, waiter, kByteAborted);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  latch();
  setStrobe(true);
  status = awaitLine(Line::TRDY, false, kByteHandshakeUs, waiter, kByteAborted);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  setStrobe(false);
  return STATUS_SUCCESS;
}

NTSTATUS CDeviceExt::writeByte(UCHAR value) {
  return strobeByte("CDeviceExt::writeByte()", [this, value] {
    setDataDirection(true);
    writeData(value);
  });
}

// The caller has set the data lines to input.
NTSTATUS CDeviceExt::readByte(UCHAR* value) {
  return strobeByte("CDeviceExt::readByte()", [this, value] { *value = readData(); });
}

// Register accesses of the steps above: a look at a line reads the control
// register; a host line changes by a read and a write of it; turning the
// data lines writes each line's configuration; the data register is one.
namespace {
constexpr ULONG kLookAccesses = 1;
constexpr ULONG kLineChangeAccesses = 2;
constexpr ULONG kDirectionAccesses = Gpio::kDataLineCount;
constexpr ULONG kDataAccesses = 1;
}  // namespace

ULONG CDeviceExt::lineWaitBoundUs(ULONG timeoutUs, ULONG increment) {
  return CTimer::boundUs(timeoutUs, increment, kLookAccesses * Gpio::kAccessUs);
}

// Both waits of a byte time out at worst only after the whole handshake
// time; a byte that fails ends sooner than one that goes through.
ULONG CDeviceExt::byteOutBoundUs(ULONG increment) {
  return 2 * lineWaitBoundUs(kByteHandshakeUs, increment) +
         (kDirectionAccesses + kDataAccesses + 2 * kLineChangeAccesses) * Gpio::kAccessUs;
}

ULONG CDeviceExt::byteInBoundUs(ULONG increment) {
  return 2 * lineWaitBoundUs(kByteHandshakeUs, increment) +
         (kDataAccesses + 2 * kLineChangeAccesses) * Gpio::kAccessUs;
}

// Host-controller commands --------------------------------------------------

namespace {
constexpr UCHAR kDisconnectPayload = 5;  // reason (4) and shutdown flag
}  // namespace

void CDeviceExt::warnRetry(const char* caller, NTSTATUS status) {
  SC_TRACE(TRACE_WARNING, "%s !!!!! WARNING Command failed; status [0x%X]; retrying...\n", caller, status);
}

NTSTATUS CDeviceExt::hcDriverConnect() {
  LONG attempts = 0;
  UCHAR postCode = 0;
  NTSTATUS status = retryCommand(
      DriverObject, L"Communication errors during 'DRIVER_CONNECT'", "CDeviceExt::hcDriverConnect()",
      [this, &postCode] {
        const UCHAR payload[kConnectPayloadSize] = {static_cast<UCHAR>(DevTimeoutWatchdog & 0xFF),
                                                    static_cast<UCHAR>(DevTimeoutWatchdog >> 8),
                                                    DevTimeoutComm, DevTimeoutPoll, Options};
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
      &attempts);
  if (!NT_SUCCESS(status)) {
    logInitFailure(DriverObject, L"Cannot connect to the 8051 System Controller", status);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hcDriverConnect() Exit; status [0x%X]; retries [%d]\n", status, attempts);
  return status;
}

void CDeviceExt::hcDriverDisconnect(const char reason[4], bool shutdown) {
  NTSTATUS status = retryCommand(
      DriverObject, L"Communication errors during 'DRIVER_DISCONNECT'", "CDeviceExt::hcDriverDisconnect()",
      [this, reason, shutdown] {
        const UCHAR payload[kDisconnectPayload] = {
            static_cast<UCHAR>(reason[0]), static_cast<UCHAR>(reason[1]), static_cast<UCHAR>(reason[2]),
            static_cast<UCHAR>(reason[3]), static_cast<UCHAR>(shutdown ? 1 : 0)};
        return transact(DRIVER_DISCONNECT, payload, sizeof(payload));
      },
      nothingMore);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hcDriverDisconnect() Exit; status [0x%X]\n", status);
}

void CDeviceExt::hcFirmwareVersion() {
  UCHAR received = 0;
  NTSTATUS status = retryCommand(
      DriverObject, L"Communication errors during 'FIRMWARE_VERSION'", "CDeviceExt::hcFirmwareVersion()",
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
  // A reply refused for its checksum or cut off has already put data bytes
  // in the report: each attempt starts from what the caller put there, so
  // that the bytes a short reply leaves out never hold a failed attempt's.
  UCHAR callers[kPollReportSize];
  RtlCopyMemory(callers, report, kPollReportSize);
  NTSTATUS status = retryCommand(
      DeviceObject, L"Communication errors during 'POLL'", "CDeviceExt::hcPoll()",
      [this, cardlanStatus, report, &callers] {
        *cardlanStatus = 0;
        RtlCopyMemory(report, callers, kPollReportSize);
        UCHAR size = kPollReportSize;
        return Message.transact(POLL, nullptr, 0, CmdReplyTimer, report, &size, cardlanStatus);
      },
      nothingMore);
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

// One transaction with the extension's reply timer: the command, its payload,
// an optional one-byte reply and, when asked for, the status byte.
NTSTATUS CDeviceExt::transact(UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength, UCHAR* replyByte,
                              UCHAR* replyStatus) {
  UCHAR size = replyByte != nullptr ? 1 : 0;
  UCHAR ignored = 0;
  UCHAR* status = replyStatus != nullptr ? replyStatus : &ignored;
  *status = 0;
  return Message.transact(cmdCode, payload, payloadLength, CmdReplyTimer, replyByte, &size, status);
}

NTSTATUS CDeviceExt::hcCommand4() {
  UCHAR size = 0;
  UCHAR replyStatus = 0;
  return Message.transact(COMMAND_4, nullptr, 0, kCommand4ReplyUs, nullptr, &size, &replyStatus);
}

NTSTATUS CDeviceExt::hcStatusLED(bool on) {
  NTSTATUS status = transact(on ? STATUS_LED_ON : STATUS_LED_OFF, nullptr, 0);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hcStatusLED() Exit; status [0x%X]\n", status);
  return status;
}

// Hex display -------------------------------------------------------------

namespace {
// The status byte by which the controller says a message's group does not
// exist.
constexpr UCHAR kStatusNoGroup = 2;
}  // namespace

NTSTATUS CDeviceExt::hdSetStatus(bool on, UCHAR value) {
  NTSTATUS status = transact(on ? HD_SET_STATUS : HD_CLEAR_STATUS, &value, 1);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdSetStatus() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdSetRefreshRate(UCHAR rate) {
  NTSTATUS status = transact(HD_SET_REFRESH_RATE, &rate, 1);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdSetRefreshRate() Exit; status [0x%X]\n", status);
  return status;
}

// A display command whose status byte may refuse it. The result code says
// "not done" until a reply came, then 0, or the refusal for the status:
// `noGroup` for status 2, `refused` for any other.
NTSTATUS CDeviceExt::hdTransactForResult(const char* caller, UCHAR cmdCode, const UCHAR* payload,
                                         UCHAR payloadLength, UCHAR* replyByte, ULONG* resultCode,
                                         ULONG refused, ULONG noGroup) {
  *resultCode = HD_RESULT_NOT_DONE;
  UCHAR replyStatus;
  NTSTATUS status = transact(cmdCode, payload, payloadLength, replyByte, &replyStatus);
  if (NT_SUCCESS(status)) {
    *resultCode = replyStatus == 0 ? HD_RESULT_OK : replyStatus == kStatusNoGroup ? noGroup : refused;
  }
  SC_TRACE(TRACE_FLOW, "%s Exit; status [0x%X]\n", caller, status);
  return status;
}

NTSTATUS CDeviceExt::hdGroupAdd(UCHAR* groupID, ULONG* resultCode) {
  *groupID = 0;
  return hdTransactForResult("CDeviceExt::hdGroupAdd()", HD_GROUP_ADD, nullptr, 0, groupID, resultCode,
                             HD_RESULT_ADD_REFUSED, HD_RESULT_ADD_REFUSED);
}

NTSTATUS CDeviceExt::hdGroupDelete(UCHAR groupID, ULONG* resultCode) {
  return hdTransactForResult("CDeviceExt::hdGroupDelete()", HD_GROUP_DELETE, &groupID, 1, nullptr, resultCode,
                             HD_RESULT_GROUP_REFUSED, HD_RESULT_GROUP_REFUSED);
}

NTSTATUS CDeviceExt::hdMessageAdd(UCHAR groupID, UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3, UCHAR* messageID,
                                  ULONG* resultCode) {
  const UCHAR payload[] = {groupID, c0, c1, c2, c3};
  return hdTransactForResult("CDeviceExt::hdMessageAdd()", HD_MESSAGE_ADD, payload, sizeof(payload),
                             messageID, resultCode, HD_RESULT_ADD_REFUSED, HD_RESULT_GROUP_REFUSED);
}

NTSTATUS CDeviceExt::hdMessageExchange(UCHAR messageID, UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3,
                                       ULONG* resultCode) {
  const UCHAR payload[] = {messageID, c0, c1, c2, c3};
  return hdTransactForResult("CDeviceExt::hdMessageExchange()", HD_MESSAGE_EXCHANGE, payload, sizeof(payload),
                             nullptr, resultCode, HD_RESULT_MESSAGE_REFUSED, HD_RESULT_MESSAGE_REFUSED);
}

NTSTATUS CDeviceExt::hdMessageDelete(UCHAR messageID, ULONG* resultCode) {
  return hdTransactForResult("CDeviceExt::hdMessageDelete()", HD_MESSAGE_DELETE, &messageID, 1, nullptr,
                             resultCode, HD_RESULT_MESSAGE_REFUSED, HD_RESULT_MESSAGE_REFUSED);
}

NTSTATUS CDeviceExt::hdStatusQuery(UCHAR* displayStatus) {
  *displayStatus = 0;
  NTSTATUS status = transact(HD_STATUS_QUERY, nullptr, 0, displayStatus);
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
  NTSTATUS status = transact(HD_RESET, payload, sizeof(payload));
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdReset() Exit; status [0x%X]\n", status);
  return status;
}

NTSTATUS CDeviceExt::hdWrite(UCHAR c0, UCHAR c1, UCHAR c2, UCHAR c3) {
  const UCHAR payload[] = {c0, c1, c2, c3};
  NTSTATUS status = transact(HD_WRITE, payload, sizeof(payload));
  SC_TRACE(TRACE_FLOW, "CDeviceExt::hdWrite() Exit; status [0x%X]\n", status);
  return status;
}

// Interface discovery and claim ---------------------------------------------

namespace {
// The resource list of one range of I/O ports, as IoReportResourceUsage
// takes it; the all-zero list of the same shape withdraws the claim.
void buildPortList(CM_RESOURCE_LIST* list, ULONG start, ULONG length) {
  RtlZeroMemory(list, sizeof(*list));
  list->Count = 1;
  list->List[0].InterfaceType = Isa;
  list->List[0].BusNumber = 0;
  list->List[0].PartialResourceList.Version = 0;
  list->List[0].PartialResourceList.Revision = 0;
  list->List[0].PartialResourceList.Count = 1;
  CM_PARTIAL_RESOURCE_DESCRIPTOR& port = list->List[0].PartialResourceList.PartialDescriptors[0];
  port.Type = CmResourceTypePort;
  port.ShareDisposition = CmResourceShareDriverExclusive;
  port.Flags = CM_RESOURCE_PORT_IO;
  port.u.Port.Start.LowPart = start;
  port.u.Port.Start.HighPart = 0;
  port.u.Port.Length = length;
}

constexpr ULONG kEmptyResourceListSize = sizeof(ULONG);      // Count only
constexpr ULONG kNoBase = 0x0000;                            // the chip decodes nothing there
constexpr ULONG kFloatingBase = 0xFFFF;                      // no chip answered the reads
constexpr ULONG kPortSpaceEnd = 0x10000;                     // x86 port numbers are 16 bits wide
const char kAllocator[] = "CDeviceExt::allocateHardware()";  // who traces a failed claim
}  // namespace

UCHAR CDeviceExt::superIoRead(ULONG base, ULONG offset, ULONG addressSpace) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the HAL takes a port number or a mapped address as a pointer
  PUCHAR address = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(base + offset));
  return addressSpace == kAddressSpaceIo ? READ_PORT_UCHAR(address) : READ_REGISTER_UCHAR(address);
}

void CDeviceExt::superIoWrite(ULONG base, ULONG offset, ULONG addressSpace, UCHAR value) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the HAL takes a port number or a mapped address as a pointer
  PUCHAR address = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(base + offset));
  if (addressSpace == kAddressSpaceIo) {
    WRITE_PORT_UCHAR(address, value);
  } else {
    WRITE_REGISTER_UCHAR(address, value);
  }
}

// The range is claimed for the driver, translated to the address it is
// reached at and, in memory space, mapped. A failure after the claim leaves
// the claim to the caller's release.
NTSTATUS CDeviceExt::allocateHardware(ULONG start, ULONG length, ULONG* addressSpace, ULONG* mappedBase,
                                      BOOLEAN* mapped) {
  NTSTATUS status = claimPorts(start, length);
  PHYSICAL_ADDRESS translated;
  if (NT_SUCCESS(status)) {
    status = translatePorts(start, addressSpace, &translated);
  }
  if (NT_SUCCESS(status)) {
    status = mapPorts(translated, length, *addressSpace, mappedBase, mapped);
  }
  if (NT_SUCCESS(status)) {
    SC_TRACE(TRACE_FLOW, "CDeviceExt::allocateHardware() Exit; status [0x%X]\n", status);
  }
  return status;
}

NTSTATUS CDeviceExt::claimPorts(ULONG start, ULONG length) {
  CM_RESOURCE_LIST list;
  buildPortList(&list, start, length);
  BOOLEAN conflict = FALSE;
  NTSTATUS status = IoReportResourceUsage(nullptr, DriverObject, &list, sizeof(list), DeviceObject, nullptr,
                                          0, FALSE, &conflict);
  if (!NT_SUCCESS(status)) {
    return reportInitFailure(DriverObject, kAllocator, "Function 'IoReportResourceUsage' failed",
                             L"Function 'IoReportResourceUsage' failed", status);
  }
  if (conflict) {
    return reportInitFailure(DriverObject, kAllocator, "Resource conflict detected",
                             L"Resource conflict detected", STATUS_DEVICE_CONFIGURATION_ERROR);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CDeviceExt::translatePorts(ULONG start, ULONG* addressSpace, PHYSICAL_ADDRESS* translated) {
  PHYSICAL_ADDRESS busAddress;
  busAddress.LowPart = start;
  busAddress.HighPart = 0;
  translated->QuadPart = 0;
  if (!HalTranslateBusAddress(Isa, 0, busAddress, addressSpace, translated)) {
    return reportInitFailure(DriverObject, kAllocator, "Function 'HalTranslateBusAddress' failed",
                             L"Function 'HalTranslateBusAddress' failed", STATUS_UNSUCCESSFUL);
  }
  SC_TRACE(
      TRACE_FLOW,
      "CDeviceExt::allocateHardware() Translated address; low part [0x%X]; high part [0x%X]; type [%d]\n",
      translated->LowPart, translated->HighPart, *addressSpace);
  return STATUS_SUCCESS;
}

// Memory space needs a system view of the range; port space is used at the
// translated port number.
NTSTATUS CDeviceExt::mapPorts(PHYSICAL_ADDRESS translated, ULONG length, ULONG addressSpace,
                              ULONG* mappedBase, BOOLEAN* mapped) {
  if (addressSpace != 0) {
    *mappedBase = translated.LowPart;
    SC_TRACE(TRACE_FLOW, "CDeviceExt::allocateHardware() Port was not mapped; using low part [0x%X]\n",
             *mappedBase);
    return STATUS_SUCCESS;
  }
  PVOID view = MmMapIoSpace(translated, length, MmNonCached);
  if (view == nullptr) {
    return reportInitFailure(DriverObject, kAllocator, "Function 'MmMapIoSpace' failed",
                             L"Function 'MmMapIoSpace' failed", STATUS_UNSUCCESSFUL);
  }
  // System addresses are 32 bits on this platform.
  *mappedBase = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(view));
  *mapped = TRUE;
  SC_TRACE(TRACE_FLOW, "CDeviceExt::allocateHardware() Port was mapped to [0x%X]\n", *mappedBase);
  return STATUS_SUCCESS;
}

void CDeviceExt::releaseHardware(ULONG base, ULONG length, BOOLEAN mapped) {
  if (mapped) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the mapped address, kept as a number
    MmUnmapIoSpace(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(base)), length);
    SC_TRACE(TRACE_FLOW, "CDeviceExt::releaseHardware() Port unmapped; port size [%d]\n", length);
  }
  CM_RESOURCE_LIST list;
  RtlZeroMemory(&list, sizeof(list));
  BOOLEAN conflict = FALSE;
  // The report is a write to the registry's resource map, which can fail
  // for want of pool; a claim left on record would make the ports look
  // taken to every other driver, so a failed withdrawal is made once more.
  NTSTATUS status = IoReportResourceUsage(nullptr, DriverObject, &list, kEmptyResourceListSize, DeviceObject,
                                          nullptr, 0, FALSE, &conflict);
  if (!NT_SUCCESS(status)) {
    SC_TRACE(TRACE_WARNING,
             "CDeviceExt::releaseHardware() !!!!! WARNING Function 'IoReportResourceUsage' failed; status "
             "[0x%X]; retrying...\n",
             status);
    IoReportResourceUsage(nullptr, DriverObject, &list, kEmptyResourceListSize, DeviceObject, nullptr, 0,
                          FALSE, &conflict);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::releaseHardware() Exit\n");
}

NTSTATUS CDeviceExt::locateDevice(ULONG* base) {
  ULONG addressSpace = kAddressSpaceIo;
  ULONG cfgBase = 0;
  BOOLEAN mapped = FALSE;
  NTSTATUS status = allocateHardware(Sio::kIndexPort, Sio::kPortCount, &addressSpace, &cfgBase, &mapped);
  if (!NT_SUCCESS(status)) {
    SC_TRACE(TRACE_ERROR,
             "CDeviceExt::locateDevice() ***** ERROR Failed to allocate the Super I/O control port\n");
    return status;
  }
  const ULONG index = 0;
  const ULONG data = 1;
  superIoWrite(cfgBase, index, addressSpace, Sio::kEnterKey);
  superIoWrite(cfgBase, index, addressSpace, Sio::kRegLdn);
  superIoWrite(cfgBase, data, addressSpace, Sio::kLdnGpio);
  superIoWrite(cfgBase, index, addressSpace, Sio::kRegActivate);
  UCHAR activate = superIoRead(cfgBase, data, addressSpace) | Sio::kActivateBit;
  superIoWrite(cfgBase, index, addressSpace, Sio::kRegActivate);
  superIoWrite(cfgBase, data, addressSpace, activate);
  superIoWrite(cfgBase, index, addressSpace, Sio::kRegBaseHigh);
  UCHAR high = superIoRead(cfgBase, data, addressSpace);
  superIoWrite(cfgBase, index, addressSpace, Sio::kRegBaseLow);
  UCHAR low = superIoRead(cfgBase, data, addressSpace);
  *base = static_cast<ULONG>(high) * 256 + low;
  superIoWrite(cfgBase, index, addressSpace, Sio::kExitKey);
  releaseHardware(cfgBase, Sio::kPortCount, mapped);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::locateDevice() GPIO device activated; base address [0x%.8X]\n", *base);
  return STATUS_SUCCESS;
}

NTSTATUS CDeviceExt::acquireInterface() {
  ULONG base = 0;
  NTSTATUS status = locateDevice(&base);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // A base of 0, or all ones from a chip that did not answer, is no GPIO
  // block: touching it would write into whatever decodes there. Nor is a
  // block that runs past the last port: port numbers wrap at 16 bits, so
  // its upper registers would be system ports such as the interrupt
  // controller's at 0x20.
  if (base == kNoBase || base == kFloatingBase || base + Gpio::kBlockLength > kPortSpaceEnd) {
    status = STATUS_DEVICE_CONFIGURATION_ERROR;
    SC_TRACE(TRACE_ERROR,
             "CDeviceExt::acquireInterface() ***** ERROR Invalid GPIO base address [0x%.4X]; status [0x%X]\n",
             base, status);
    return logInitFailure(DriverObject, L"Invalid GPIO base address", status);
  }
  status = allocateHardware(base, Gpio::kBlockLength, &AddressSpace, &PortBase, &PortMapped);
  if (!NT_SUCCESS(status)) {
    SC_TRACE(TRACE_ERROR,
             "CDeviceExt::acquireInterface() ***** ERROR Failed to allocate the GPIO interface ports\n");
    return status;
  }
  idleLines();
  writeReg(Gpio::kRegSetup31, Gpio::kSetup31Value);
  writeReg(Gpio::kRegSetup2C, Gpio::kSetup2CValue);
  writeReg(Gpio::kRegSetup2D, Gpio::kSetup2DValue);
  writeReg(Gpio::kRegSetup30, Gpio::kSetup30Value);
  setDataDirection(false);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::acquireInterface() Exit; status [0x%X]\n", status);
  return status;
}

// Host request and strobe deasserted, each by a clear-then-set of its bit.
void CDeviceExt::idleLines() {
  setHostRequest(true);
  setHostRequest(false);
  setStrobe(true);
  setStrobe(false);
}

void CDeviceExt::releaseInterface() {
  if (PortBase != 0) {
    setDataDirection(false);
    idleLines();
  }
  releaseHardware(PortBase, Gpio::kBlockLength, PortMapped);
  SC_TRACE(TRACE_FLOW, "CDeviceExt::releaseInterface() Exit\n");
}

// Cardlan switching and the poll ---------------------------------------------

namespace {
constexpr UCHAR kSlotActive = 0x40;       // bit of a slot report: the slot is active
constexpr LONG kPollFirstDue = -5000000;  // 0.5 s, relative, in 100 ns units
}  // namespace

void CDeviceExt::startPollTimer(LONG periodMs) {
  LARGE_INTEGER due;
  due.QuadPart = kPollFirstDue;
  KeSetTimerEx(&PollTimer, due, periodMs, &PollDpc);
}

// Periods come from the registry as unsigned numbers; the kernel takes a
// signed one.
LONG CDeviceExt::pollPeriod(ULONG periodMs) {
  return periodMs > static_cast<ULONG>(kMaxPollPeriodMs) ? kMaxPollPeriodMs : static_cast<LONG>(periodMs);
}

void CDeviceExt::readSwitchRegistry() {
  ULONG cardID = 0;
  ULONG signType = 0;
  ULONG tnMapType = 0;
  NTSTATUS status = queryRegistry(kRegCardID, &cardID);
  if (NT_SUCCESS(status)) {
    status = queryRegistry(kRegSignallingType, &signType);
  }
  if (NT_SUCCESS(status)) {
    status = queryRegistry(kRegTNMappingType, &tnMapType);
  }
  // The copy is the extension's, not the request's: a connect request with no
  // known source clears it for the connect requests queued behind it. It is
  // written whole under its own lock, which the start-I/O routine holds
  // only while it reads the copy; the link lock would keep this thread
  // spinning through a whole conversation, up to COMMAND_4's second.
  KIRQL oldIrql;
  KeAcquireSpinLock(&SwitchLock, &oldIrql);
  if (NT_SUCCESS(status)) {
    RegCardID = static_cast<UCHAR>(cardID);
    RegSignType = static_cast<UCHAR>(signType);
    RegTNMapType = static_cast<UCHAR>(tnMapType);
  }
  RegSwitchStatus = status;
  KeReleaseSpinLock(&SwitchLock, oldIrql);
}

NTSTATUS CDeviceExt::clSwitchConnect() {
  NTSTATUS status = retryCommand(
      DriverObject, L"Communication errors during 'SWITCH_CONNECT'", "CDeviceExt::clSwitchConnect()",
      [this] {
        const UCHAR payload[] = {CardID, SignType, TNMapType};
        return transact(SWITCH_CONNECT, payload, sizeof(payload));
      },
      nothingMore);
  if (NT_SUCCESS(status)) {
    CardlanState = CL_CONNECTING;
    startPollTimer(pollPeriod(TimerPollCardlan));
  } else {
    LogEvent(DriverObject, MSG_CARDLAN_OP_FAILED, L"CONNECT", static_cast<ULONG>(status), nullptr);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::clSwitchConnect() Exit; status [0x%X]; Cardlan status [%d]\n", status,
           CardlanState);
  return status;
}

NTSTATUS CDeviceExt::clSwitchDisconnect() {
  NTSTATUS status = transact(SWITCH_DISCONNECT, nullptr, 0);
  if (NT_SUCCESS(status)) {
    CardlanState = CL_DISCONNECTED;
    hdWrite('D', 'M', 'I', 'N');
  } else {
    LogEvent(DriverObject, MSG_CARDLAN_OP_FAILED, L"DISCONNECT", static_cast<ULONG>(status), nullptr);
  }
  SC_TRACE(TRACE_FLOW, "CDeviceExt::clSwitchDisconnect() Exit; status [0x%X]; Cardlan status [%d]\n", status,
           CardlanState);
  return status;
}

// One step of the Cardlan state on a slot report: the event, the new state,
// the normal poll period once both slots are active, the display text.
void CDeviceExt::clEnterState(PCWSTR eventText, LONG state, const char* display) {
  LogEvent(DriverObject, MSG_CARDLAN_STATE, eventText, 0, nullptr);
  CardlanState = state;
  if (state == CL_ACTIVE) {
    startPollTimer(pollPeriod(TimerPollNormal));
  }
  hdWrite(display[0], display[1], display[2], display[3]);
}

void CDeviceExt::runPoll() {
  UCHAR cardlanStatus = 0;
  // Bytes a short reply leaves out count as inactive and error-free.
  UCHAR report[4] = {0, 0, 0, 0};
  if (!NT_SUCCESS(hcPoll(&cardlanStatus, report))) {
    return;
  }
  const bool primary = (report[0] & kSlotActive) != 0;
  const bool secondary = (report[1] & kSlotActive) != 0;
  switch (CardlanState) {
    case CL_CONNECTING:
      if (primary && secondary) {
        clEnterState(L"active", CL_ACTIVE, " OK ");
      } else if (primary) {
        clEnterState(L"active on primary slot", CL_ACTIVE_PRIMARY, "C:02");
      } else if (secondary) {
        clEnterState(L"active on secondary slot", CL_ACTIVE_SECONDARY, "C:01");
      }
      break;
    case CL_ACTIVE_PRIMARY:
      if (secondary) {
        clEnterState(L"active on secondary slot", CL_ACTIVE, " OK ");
      }
      break;
    case CL_ACTIVE_SECONDARY:
      if (primary) {
        clEnterState(L"active on primary slot", CL_ACTIVE, " OK ");
      }
      break;
    default:  // CL_NONE, CL_DISCONNECTED, CL_ACTIVE: the state stays
      break;
  }

  const UCHAR commErrors = report[2];
  const UCHAR pollErrors = report[3];
  if (commErrors != 0) {
    LogEvent(DriverObject, MSG_CONTROLLER_ERRORS, L"communication timeout", commErrors, nullptr);
    SC_TRACE(TRACE_WARNING,
             "CDeviceExt::runPoll() !!!!! WARNING 8051 reports communication timeout errors [%d]\n",
             commErrors);
  }
  if (pollErrors != 0) {
    LogEvent(DriverObject, MSG_CONTROLLER_ERRORS, L"host poll timeout", pollErrors, nullptr);
    SC_TRACE(TRACE_WARNING,
             "CDeviceExt::runPoll() !!!!! WARNING 8051 reports host poll timeout errors [%d]\n", pollErrors);
  }
}

VOID NTAPI CDeviceExt::pollDpc(PKDPC dpc, PVOID deferredContext, PVOID systemArgument1,
                               PVOID systemArgument2) {
  (void)dpc;
  (void)systemArgument1;
  (void)systemArgument2;
  CDeviceExt* ext = static_cast<CDeviceExt*>(deferredContext);
  // A periodic timer queues this call again when it expires while the call
  // runs, and the second run may start on another processor: everything the
  // poll touches, the link and the Cardlan state, is used under the lock.
  // A poll that finds the link held by a request runs again as soon as it
  // is free.
  if (!ext->tryTakeLink(&ext->PollOwed)) {
    return;
  }
  if (ext->Stopped) {
    ext->giveLink();
    return;
  }
  ext->beginStretch();
  ext->runPoll();
  ext->endStretch();
  // An expiry that came while this poll ran is covered by it. A poll that
  // started late (behind a request at DISPATCH_LEVEL, or owed behind a poll
  // on another processor) and lasts most of its period (a controller that
  // does not answer) would otherwise be followed at once by the next, and
  // that one by the next: its processor would never leave DISPATCH_LEVEL.
  // The timer's next expiry polls again.
  const bool queuedMeanwhile = KeRemoveQueueDpc(&ext->PollDpc) != FALSE;
  const bool owedMeanwhile = ext->giveLink(true);
  if (queuedMeanwhile || owedMeanwhile) {
    SC_TRACE(TRACE_WARNING,
             "CDeviceExt::pollDpc() !!!!! WARNING The poll outlasted the time to the next one; that one "
             "is skipped\n");
  }
}
