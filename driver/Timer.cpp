#include "Timer.h"

CTimer::CTimer(ULONG microseconds) { start(microseconds); }

void CTimer::start(ULONG microseconds) {
  Timeout = microseconds;
  ClockTick = KeQueryTimeIncrement() / 10;
  ShortCount = Timeout / kShortStallUs;
  MediumCount = Timeout / kMediumStallUs;

  // The interval is formed as a signed 32-bit count of 100 ns units. Beyond
  // its limit the deadline saturates at the largest interval that fits
  // instead of wrapping into the past; no caller asks for that much.
  ULONG span = kDeadlineLimitUs;
  if (Timeout <= kDeadlineLimitUs && ClockTick <= kDeadlineLimitUs - Timeout) {
    span = Timeout + ClockTick;
  }
  Deadline = now() + static_cast<LONGLONG>(static_cast<LONG>(span * 10));
}

LONGLONG CTimer::now() { return static_cast<LONGLONG>(KeQueryInterruptTime()); }

bool CTimer::expired() {
  if (Timeout <= kShortLimitUs) {
    return expiredShort();
  }
  if (Timeout > ClockTick) {
    return expiredLong();
  }
  return expiredMedium();
}

void CTimer::wait(ULONG microseconds) {
  start(microseconds);
  while (!expired()) {
  }
}

bool CTimer::expiredShort() {
  if (ShortCount == 0) {
    return true;
  }
  KeStallExecutionProcessor(kShortStallUs);
  ShortCount--;
  return false;
}

bool CTimer::expiredMedium() {
  if (MediumCount == 0) {
    return true;
  }
  if (now() >= Deadline) {
    MediumCount = 0;
    return true;
  }
  MediumCount--;
  KeStallExecutionProcessor(kMediumStallUs);
  return false;
}

bool CTimer::expiredLong() { return now() >= Deadline; }
