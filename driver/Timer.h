// Microsecond interval timer for busy waits.
#pragma once

#include "platform.h"

// A stack object that measures one busy wait. The waiting loop tests
// expired() after each unsuccessful look at the hardware; expired() picks its
// regime from the time-out and the clock tick:
//   - up to 500 us: counted in 5 us stalls, never reading the clock;
//   - above 500 us and up to one clock tick: 20 us stalls or the clock,
//     whichever ends first;
//   - above one clock tick: the clock alone, without stalling.
// The clock is the interrupt time: it counts from boot and nobody can set
// it, whereas the system time jumps when an administrator or a time service
// sets the clock, which would stretch a busy wait at DISPATCH_LEVEL by the
// size of the jump or end it early.
class CTimer {
 public:
  explicit CTimer(ULONG microseconds);

  void start(ULONG microseconds);
  bool expired();
  void wait(ULONG microseconds);

  // The longest a wait of `microseconds` can keep the processor when each
  // look between two tests of expired() costs lookUs (0 for wait()) and
  // the clock interrupt comes every `increment` 100 ns units: every stall,
  // look and clock read of its regime, and beyond one tick the deadline
  // one tick past the interval, which the interrupt time shows only at the
  // first tick after it. Saturates at the largest ULONG.
  static ULONG boundUs(ULONG microseconds, ULONG increment, ULONG lookUs);
  // A read of the interrupt time, rounded up to a whole microsecond.
  static constexpr ULONG kClockReadUs = 1;

  ULONG Timeout;      // microseconds
  ULONG ClockTick;    // microseconds per system clock tick
  ULONG ShortCount;   // 5 us stalls left in the short regime
  ULONG MediumCount;  // 20 us stalls left in the medium regime
  LONGLONG Deadline;  // interrupt time, 100 ns units

  static constexpr ULONG kShortLimitUs = 500;
  static constexpr ULONG kShortStallUs = 5;
  static constexpr ULONG kMediumStallUs = 20;
  // (Timeout + ClockTick) x 10 must stay a positive signed 32-bit number.
  static constexpr ULONG kDeadlineLimitUs = 214748364;

 private:
  bool expiredShort();
  bool expiredMedium();
  bool expiredLong();
  static LONGLONG now();
};
