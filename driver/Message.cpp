#include "Message.h"

#include "DeviceExt.h"
#include "Timer.h"
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

bool isValidCode(UCHAR cmdCode) { return cmdCode >= DRIVER_CONNECT && cmdCode <= HD_MESSAGE_DELETE; }
}  // namespace

CMessage::CMessage(CDeviceExt* owner) : Owner(owner) { RtlZeroMemory(Frame, sizeof(Frame)); }

NTSTATUS CMessage::transact(UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength, ULONG replyTimer,
                            UCHAR* replyBuffer, UCHAR* replySize, UCHAR* status) {
  NTSTATUS result = send(cmdCode, payload, payloadLength);
  if (!NT_SUCCESS(result)) {
    return result;
  }
  return receive(status, replyBuffer, replySize, replyTimer);
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
  Owner->setDataDirection(false);
  Owner->setHostRequest(false);
  return status;
}

NTSTATUS CMessage::receive(UCHAR* status, UCHAR* replyBuffer, UCHAR* replySize, ULONG replyTimer) {
  Owner->setDataDirection(false);

  CTimer timer(replyTimer);
  while (!Owner->isTREQ()) {
    if (timer.expired()) {
      SC_TRACE(TRACE_ERROR,
               "CMessage::receive() ***** ERROR Device timeout [TREQ not asserted]; transaction aborted\n");
      return STATUS_UNSUCCESSFUL;
    }
  }

  NTSTATUS result = STATUS_SUCCESS;
  bool complete = false;
  UCHAR response = 0;
  UCHAR sum = 0;
  Owner->setHostRequest(true);
  do {
    if (!NT_SUCCESS(result = Owner->readByte(&Frame[0]))) {
      SC_TRACE(TRACE_ERROR, "CMessage::receive() ***** ERROR Failed to read 1st byte; transaction aborted\n");
      break;
    }
    UCHAR length = Frame[0];
    if (length < kMinReply || length > kMaxReply) {
      SC_TRACE(TRACE_ERROR,
               "CMessage::receive() ***** ERROR Invalid message length [%d]; transaction aborted\n", length);
      result = STATUS_UNSUCCESSFUL;
      break;
    }
    if (length - kReplyOverhead > *replySize) {
      SC_TRACE(TRACE_ERROR,
               "CMessage::receive() ***** ERROR Message too long; data length [%d]; buffer size [%d]\n",
               length, *replySize);
      result = STATUS_UNSUCCESSFUL;
      break;
    }
    *replySize = static_cast<UCHAR>(length - kReplyOverhead);

    if (!NT_SUCCESS(result = Owner->readByte(&Frame[1]))) {
      SC_TRACE(TRACE_ERROR,
               "CMessage::receive() ***** ERROR Failed to read 'Response' byte; transaction aborted\n");
      break;
    }
    response = Frame[1];
    if (!NT_SUCCESS(result = Owner->readByte(status))) {
      SC_TRACE(TRACE_ERROR,
               "CMessage::receive() ***** ERROR Failed to read 'Status' byte; transaction aborted\n");
      break;
    }
    UCHAR k = 0;
    for (; k < *replySize; k++) {
      if (!NT_SUCCESS(result = Owner->readByte(&replyBuffer[k]))) {
        break;
      }
    }
    if (!NT_SUCCESS(result)) {
      SC_TRACE(TRACE_ERROR,
               "CMessage::receive() ***** ERROR Incomplete data bytes received [%d]; transaction aborted\n",
               k);
      break;
    }
    UCHAR check = 0;
    if (!NT_SUCCESS(result = Owner->readByte(&check))) {
      SC_TRACE(TRACE_ERROR,
               "CMessage::receive() ***** ERROR Failed to read checksum byte; transaction aborted\n");
      break;
    }
    sum = static_cast<UCHAR>(check + length + response + *status);
    complete = true;
  } while (false);
  Owner->setHostRequest(false);

  if (complete) {
    for (UCHAR k = 0; k < *replySize; k++) {
      sum = static_cast<UCHAR>(sum + replyBuffer[k]);
    }
    if (sum != 0) {
      SC_TRACE(TRACE_ERROR, "CMessage::receive() ***** ERROR Invalid checksum [%d]\n", sum);
      *replySize = 0;
      result = STATUS_UNSUCCESSFUL;
    }
  }

  // The controller releases TREQ once it has seen the frame taken.
  timer.start(kHandshakeUs);
  while (Owner->isTREQ()) {
    if (timer.expired()) {
      SC_TRACE(TRACE_WARNING,
               "CMessage::receive() !!!!! WARNING Device timeout on exit [TREQ still asserted]\n");
      break;
    }
  }
  return result;
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
