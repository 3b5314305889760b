#include "Message.h"

#include "DeviceExt.h"
#include "Registers.h"
#include "tamrixsc.h"

namespace {
// Command codes whose frame never carries a payload, whatever is handed in.
bool hasNoPayload(UCHAR cmdCode) {
  switch (cmdCode) {
    case POLL:
    case COMMAND_4:
    case STATUS_LED_ON:
    case STATUS_LED_OFF:
    case FIRMWARE_VERSION:
    case SWITCH_DISCONNECT:
    case HD_CLEAR_STATUS:
    case HD_STATUS_QUERY:
    case HD_GROUP_ADD: return true;
    default: return false;
  }
}

const char kReceiver[] = "CMessage::receive()";  // who traces a reply's failures

bool isValidCode(UCHAR cmdCode) { return cmdCode >= DRIVER_CONNECT && cmdCode <= HD_MESSAGE_DELETE; }
}  // namespace

CMessage::CMessage(CDeviceExt* owner) : Owner(owner) {
  RtlZeroMemory(Frame, sizeof(Frame));
  RtlZeroMemory(DumpBuffer, sizeof(DumpBuffer));
}

NTSTATUS CMessage::transact(UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength, ULONG replyTimer,
                            UCHAR* replyBuffer, UCHAR* replySize, UCHAR* status) {
  const ULONG bound = boundUs(cmdCode, payloadLength, *replySize, replyTimer, Owner->ClockIncrement);
  if (!Owner->admitTransaction(bound)) {
    SC_TRACE(TRACE_WARNING,
             "CMessage::transact() !!!!! WARNING Command [0x%.2X] not sent; it could keep the processor at "
             "DISPATCH_LEVEL past [%u] us\n",
             cmdCode, Owner->DispatchBoundUs);
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS result = send(cmdCode, payload, payloadLength);
  if (!NT_SUCCESS(result)) {
    return result;
  }
  return receive(status, replyBuffer, replySize, replyTimer);
}

// Register accesses around the bytes of a frame: the host request set and
// released and the data lines turned to input (eight line registers), each
// host line change a read and a write; the strobe released after a failed
// byte; a look at TREQ.
namespace {
constexpr ULONG kFrameOutAccesses = 2 + 2 + 8 + 2;
constexpr ULONG kFrameInAccesses = 8 + 2 + 2 + 2;
constexpr ULONG kLookAccesses = 1;

ULONG add(ULONG a, ULONG b) { return a > 0xFFFFFFFFu - b ? 0xFFFFFFFFu : a + b; }
}  // namespace

UCHAR CMessage::frameLength(UCHAR cmdCode, UCHAR payloadLength) {
  if (hasNoPayload(cmdCode) || payloadLength > kMaxPayload) {
    return kCommandOverhead;
  }
  return static_cast<UCHAR>(payloadLength + kCommandOverhead);
}

ULONG CMessage::frameOutBoundUs(UCHAR frameLength, ULONG increment) {
  return add(frameLength * CDeviceExt::byteOutBoundUs(increment), kFrameOutAccesses * Gpio::kAccessUs);
}

// The wait for TREQ, the length, response and status bytes, the data and
// the checksum, then the wait for TREQ to drop.
ULONG CMessage::frameInBoundUs(UCHAR dataCapacity, ULONG replyTimerUs, ULONG increment) {
  ULONG us = CDeviceExt::lineWaitBoundUs(replyTimerUs, increment);
  us = add(us, (kReplyOverhead + dataCapacity) * CDeviceExt::byteInBoundUs(increment));
  us = add(us, CDeviceExt::lineWaitBoundUs(kHandshakeUs, increment));
  return add(us, kFrameInAccesses * Gpio::kAccessUs);
}

ULONG CMessage::boundUs(UCHAR cmdCode, UCHAR payloadLength, UCHAR replyCapacity, ULONG replyTimerUs,
                        ULONG increment) {
  // A pending message is drained with a reply timer of 0 into the dump
  // buffer, whose data part holds the longest reply's data.
  const ULONG drain = add(kLookAccesses * Gpio::kAccessUs,
                          frameInBoundUs(static_cast<UCHAR>(kDumpSize - kReplyOverhead), 0, increment));
  const ULONG frame = frameOutBoundUs(frameLength(cmdCode, payloadLength), increment);
  return add(add(drain, frame), frameInBoundUs(replyCapacity, replyTimerUs, increment));
}

NTSTATUS CMessage::send(UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength) {
  prepareTarget();

  RtlZeroMemory(Frame, sizeof(Frame));
  Frame[1] = cmdCode;
  if (!isValidCode(cmdCode)) {
    SC_TRACE(TRACE_ERROR, "CMessage::send() ***** ERROR Invalid CmdCode [0x%.2X]\n", cmdCode);
    Frame[1] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (hasNoPayload(cmdCode)) {
    Frame[0] = kCommandOverhead;
  } else {
    // The frame holds at most five payload bytes; a longer payload is a
    // caller's error and is refused rather than written past the frame.
    if (payloadLength > kMaxPayload) {
      SC_TRACE(TRACE_ERROR, "CMessage::send() ***** ERROR Invalid payload length [%d]\n", payloadLength);
      Frame[1] = 0;
      return STATUS_INVALID_PARAMETER;
    }
    Frame[0] = static_cast<UCHAR>(payloadLength + kCommandOverhead);
    if (payloadLength != 0) {
      RtlCopyMemory(&Frame[2], payload, payloadLength);
    }
  }
  checksum();
  return doSend();
}

void CMessage::checksum() {
  UCHAR sum = 0;
  int i = 0;
  for (; i < Frame[0] - 1 && i < kFrameSize - 1; i++) {
    sum = static_cast<UCHAR>(sum + Frame[i]);
  }
  Frame[i] = static_cast<UCHAR>(-sum);
}

NTSTATUS CMessage::doSend() {
  NTSTATUS status = STATUS_SUCCESS;
  Owner->setHostRequest(true);
  for (int i = 0; i < Frame[0] && i < kFrameSize; i++) {
    status = Owner->writeByte(Frame[i]);
    if (!NT_SUCCESS(status)) {
      SC_TRACE(TRACE_WARNING, "CMessage::doSend() !!!!! WARNING Incomplete cycle; bytes sent [%d]\n", i);
      break;
    }
  }
  if (!NT_SUCCESS(status)) {
    // A byte whose TRDY never dropped leaves the strobe asserted; held over
    // into the next frame, it would have the controller take that frame's
    // first byte before the host has put it on the lines.
    Owner->setStrobe(false);
  }
  Owner->setDataDirection(false);
  Owner->setHostRequest(false);
  return status;
}

// A reply: wait for the controller's TREQ, read the frame under the host
// request, judge its checksum, then let the controller release TREQ.
NTSTATUS CMessage::receive(UCHAR* status, UCHAR* replyBuffer, UCHAR* replySize, ULONG replyTimer) {
  Owner->setDataDirection(false);
  NTSTATUS result =
      Owner->awaitLine(CDeviceExt::Line::TREQ, true, replyTimer, kReceiver, "transaction aborted");
  if (!NT_SUCCESS(result)) {
    return result;
  }
  Owner->setHostRequest(true);
  UCHAR check = 0;
  result = readFrame(status, replyBuffer, replySize, &check);
  if (!NT_SUCCESS(result)) {
    Owner->setStrobe(false);  // as after a failed command frame
  }
  Owner->setHostRequest(false);
  if (NT_SUCCESS(result)) {
    result = judgeFrame(*status, replyBuffer, replySize, check);
  }
  // The controller releases TREQ once it has seen the frame taken.
  if (!Owner->waitForLine(CDeviceExt::Line::TREQ, false, kHandshakeUs)) {
    SC_TRACE(TRACE_WARNING,
             "CMessage::receive() !!!!! WARNING Device timeout on exit [TREQ still asserted]\n");
  }
  return result;
}

// Length, response and status into the frame and *status, the data bytes
// into the caller's buffer, which holds *replySize bytes, and the checksum.
NTSTATUS CMessage::readFrame(UCHAR* status, UCHAR* replyBuffer, UCHAR* replySize, UCHAR* check) {
  NTSTATUS result = readField(&Frame[0], "1st byte");
  if (!NT_SUCCESS(result)) {
    return result;
  }
  const UCHAR length = Frame[0];
  if (length < kMinReply || length > kMaxReply) {
    SC_TRACE(TRACE_ERROR,
             "CMessage::receive() ***** ERROR Invalid message length [%d]; transaction aborted\n", length);
    return STATUS_UNSUCCESSFUL;
  }
  if (length - kReplyOverhead > *replySize) {
    SC_TRACE(TRACE_ERROR,
             "CMessage::receive() ***** ERROR Message too long; data length [%d]; buffer size [%d]\n", length,
             *replySize);
    return STATUS_UNSUCCESSFUL;
  }
  *replySize = static_cast<UCHAR>(length - kReplyOverhead);
  result = readField(&Frame[1], "'Response' byte");
  if (NT_SUCCESS(result)) {
    result = readField(status, "'Status' byte");
  }
  if (!NT_SUCCESS(result)) {
    return result;
  }
  for (UCHAR k = 0; k < *replySize; k++) {
    result = Owner->readByte(&replyBuffer[k]);
    if (!NT_SUCCESS(result)) {
      SC_TRACE(TRACE_ERROR,
               "CMessage::receive() ***** ERROR Incomplete data bytes received [%d]; transaction aborted\n",
               k);
      return result;
    }
  }
  return readField(check, "checksum byte");
}

NTSTATUS CMessage::readField(UCHAR* value, const char* what) {
  NTSTATUS result = Owner->readByte(value);
  if (!NT_SUCCESS(result)) {
    SC_TRACE(TRACE_ERROR, "%s ***** ERROR Failed to read %s; transaction aborted\n", kReceiver, what);
  }
  return result;
}

// A whole reply frame sums to 0; a reply that does not is refused, and no
// data of it counts.
NTSTATUS CMessage::judgeFrame(UCHAR status, const UCHAR* replyBuffer, UCHAR* replySize, UCHAR check) {
  UCHAR sum = static_cast<UCHAR>(check + Frame[0] + Frame[1] + status);
  for (UCHAR k = 0; k < *replySize; k++) {
    sum = static_cast<UCHAR>(sum + replyBuffer[k]);
  }
  if (sum != 0) {
    SC_TRACE(TRACE_ERROR, "CMessage::receive() ***** ERROR Invalid checksum [%d]\n", sum);
    *replySize = 0;
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

void CMessage::prepareTarget() {
  if (!Owner->isTREQ()) {
    return;
  }
  RtlZeroMemory(Frame, sizeof(Frame));
  RtlZeroMemory(DumpBuffer, sizeof(DumpBuffer));
  UCHAR status = 0;
  UCHAR capacity = kDumpSize;
  // A reply timer of 0 expires at its first test, after TREQ was just seen.
  receive(&status, DumpBuffer, &capacity, 0);
  SC_TRACE(TRACE_WARNING,
           "CMessage::prepareTarget() !!!!! WARNING Message pending from 8051 [%.2X %.2X %.2X %.2X %.2X "
           "%.2X %.2X %.2X ...]; dumped\n",
           Frame[0], Frame[1], status, DumpBuffer[0], DumpBuffer[1], DumpBuffer[2], DumpBuffer[3],
           DumpBuffer[4]);
}
