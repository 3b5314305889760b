// The longest a request may keep its processor at DISPATCH_LEVEL: the
// driver's own bounds of the transactions its start-I/O routine makes for
// it, with the record's settings. A test holds measured times to these,
// and the request benchmark prints them beside what it measures.
#pragma once

#include "DeviceExt.h"
#include "scioctl.h"

namespace test {

// The stretch reads the clock as it begins, and again as each transaction
// after its first is admitted.
inline ULONG requestBoundUs(const CDeviceExt& r, ULONG code) {
  auto once = [&r](UCHAR cmd, UCHAR payload, UCHAR capacity) {
    return CMessage::boundUs(cmd, payload, capacity, r.CmdReplyTimer, r.ClockIncrement);
  };
  const ULONG start = CTimer::kClockReadUs;
  switch (code) {
    case IOCTL_SC_HD_CLEAR_STATUS: return start + r.retriedBoundUs(HD_CLEAR_STATUS, 1, 0);
    case IOCTL_SC_HD_SET_STATUS: return start + r.retriedBoundUs(HD_SET_STATUS, 1, 0);
    case IOCTL_SC_HD_SET_REFRESH_RATE: return start + r.retriedBoundUs(HD_SET_REFRESH_RATE, 1, 0);
    case IOCTL_SC_HD_GROUP_ADD: return start + r.retriedBoundUs(HD_GROUP_ADD, 0, 1);
    case IOCTL_SC_HD_GROUP_DELETE: return start + r.retriedBoundUs(HD_GROUP_DELETE, 1, 0);
    case IOCTL_SC_HD_MESSAGE_ADD: return start + r.retriedBoundUs(HD_MESSAGE_ADD, 5, 1);
    case IOCTL_SC_HD_MESSAGE_EXCHANGE: return start + r.retriedBoundUs(HD_MESSAGE_EXCHANGE, 5, 0);
    case IOCTL_SC_HD_MESSAGE_DELETE: return start + r.retriedBoundUs(HD_MESSAGE_DELETE, 1, 0);
    case IOCTL_SC_HD_STATUS_QUERY: return start + r.retriedBoundUs(HD_STATUS_QUERY, 0, 1);
    case IOCTL_SC_HD_RESET: return start + r.retriedBoundUs(HD_RESET, 5, 0);
    case IOCTL_SC_SWITCH_CONNECT: return start + r.retriedBoundUs(SWITCH_CONNECT, 3, 0);
    // The disconnect, then the display's "DMIN", each once.
    case IOCTL_SC_SWITCH_DISCONNECT:
      return start + once(SWITCH_DISCONNECT, 0, 0) + CTimer::kClockReadUs + once(HD_WRITE, 4, 0);
    case IOCTL_SC_STATUS_LED_ON: return start + once(STATUS_LED_ON, 0, 0);
    case IOCTL_SC_STATUS_LED_OFF: return start + once(STATUS_LED_OFF, 0, 0);
    case IOCTL_SC_COMMAND4: return r.DispatchBoundUs;
    default: return start;  // the firmware version comes from the record
  }
}

}  // namespace test
