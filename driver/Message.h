// Framed, checksummed transactions with the 8051 System Controller: one
// command frame out, one reply frame in.
#pragma once

#include "platform.h"

class CDeviceExt;

// Command codes of the controller protocol. Codes 10 to 20 form the hex
// display family.
enum CmdCode : UCHAR {
  DRIVER_CONNECT = 1,
  DRIVER_DISCONNECT = 2,
  POLL = 3,
  COMMAND_4 = 4,
  STATUS_LED_ON = 5,
  STATUS_LED_OFF = 6,
  FIRMWARE_VERSION = 7,
  SWITCH_CONNECT = 8,
  SWITCH_DISCONNECT = 9,
  HD_WRITE = 10,
  HD_RESET = 11,
  HD_SET_STATUS = 12,
  HD_CLEAR_STATUS = 13,
  HD_STATUS_QUERY = 14,
  HD_SET_REFRESH_RATE = 15,
  HD_GROUP_ADD = 16,
  HD_GROUP_DELETE = 17,
  HD_MESSAGE_ADD = 18,
  HD_MESSAGE_EXCHANGE = 19,
  HD_MESSAGE_DELETE = 20,
};

// One command frame out, one reply frame in.
//
// Command frame: length (payload + 3), command code, 0 to 5 payload bytes,
// checksum. Reply frame: length L (4..68), response, status, L - 4 data
// bytes, checksum. Every frame sums to 0 modulo 256.
class CMessage {
 public:
  static constexpr UCHAR kFrameSize = 8;
  static constexpr UCHAR kMaxPayload = 5;
  static constexpr UCHAR kCommandOverhead = 3;  // length, code, checksum
  static constexpr UCHAR kReplyOverhead = 4;    // length, response, status, checksum
  static constexpr UCHAR kMinReply = 4;
  static constexpr UCHAR kMaxReply = 68;
  static constexpr UCHAR kDumpSize = kMaxReply;
  static constexpr ULONG kHandshakeUs = 200;  // controller's TREQ release

  explicit CMessage(CDeviceExt* owner);

  // The longest one transaction can take with the clock interrupt every
  // `increment` 100 ns units: the drain of a pending message of the most
  // bytes, the command frame, the wait for the reply and a reply of up to
  // replyCapacity data bytes, every byte taking its whole handshake time.
  static ULONG boundUs(UCHAR cmdCode, UCHAR payloadLength, UCHAR replyCapacity, ULONG replyTimerUs,
                       ULONG increment);
  static ULONG frameOutBoundUs(UCHAR frameLength, ULONG increment);
  static ULONG frameInBoundUs(UCHAR dataCapacity, ULONG replyTimerUs, ULONG increment);
  static UCHAR frameLength(UCHAR cmdCode, UCHAR payloadLength);

  NTSTATUS transact(UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength, ULONG replyTimer,
                    UCHAR* replyBuffer, UCHAR* replySize, UCHAR* status);
  NTSTATUS send(UCHAR cmdCode, const UCHAR* payload, UCHAR payloadLength);
  NTSTATUS receive(UCHAR* status, UCHAR* replyBuffer, UCHAR* replySize, ULONG replyTimer);
  NTSTATUS readFrame(UCHAR* status, UCHAR* replyBuffer, UCHAR* replySize, UCHAR* check);
  NTSTATUS readField(UCHAR* value, const char* what);
  NTSTATUS judgeFrame(UCHAR status, const UCHAR* replyBuffer, UCHAR* replySize, UCHAR check);
  NTSTATUS doSend();
  void checksum();
  void prepareTarget();

  CDeviceExt* Owner;
  UCHAR Frame[kFrameSize];
  UCHAR DumpBuffer[kDumpSize];
};
