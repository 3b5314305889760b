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

namespace {
ULONG saturate(ULONGLONG us) { return us > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(us); }
}  // namespace

ULONG CTimer::boundUs(ULONG microseconds, ULONG increment, ULONG lookUs) {
  const ULONGLONG look = lookUs;
  const ULONGLONG clock = kClockReadUs;
  // start() reads the clock once; the regime is the one expired() picks.
  if (microseconds <= kShortLimitUs) {
    const ULONGLONG stalls = microseconds / kShortStallUs;
    return saturate(clock + stalls * (look + kShortStallUs) + look);
  }
  const ULONG regimeTick = increment / 10;
  if (microseconds <= regimeTick) {
    // Each round: a look, a clock read, a stall; the last test reads the
    // clock once more.
    const ULONGLONG rounds = microseconds / kMediumStallUs;
    return saturate(clock + rounds * (look + clock + kMediumStallUs) + look + clock);
  }
  // The deadline lies `span` after the interrupt time at the start, which
  // is not later than the true time; the interrupt time moves only at
  // clock interrupts, so it shows the deadline at most one tick late; the
  // round that sees it began before.
  const ULONGLONG tickUs = (static_cast<ULONGLONG>(increment) + 9) / 10;
  const ULONGLONG span = microseconds <= kDeadlineLimitUs && regimeTick <= kDeadlineLimitUs - microseconds
                             ? static_cast<ULONGLONG>(microseconds) + regimeTick
                             : kDeadlineLimitUs;
  return saturate(clock + span + tickUs + look + clock);
}
