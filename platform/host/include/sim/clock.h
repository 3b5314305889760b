// The virtual clock of the simulated machine.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "sim/ticks.h"

namespace sim {

class Clock {
 public:
  // The clock interrupt interval that KeQueryTimeIncrement reports, in
  // 100 ns units; 156,250 is the 15.625 ms tick of a uniprocessor PC HAL.
  static constexpr uint32_t kDefaultIncrement = 156250;
  // System time at boot: 2026-01-01 00:00 UTC as 100 ns units since 1601.
  static constexpr Ticks kBootSystemTime = 134115840000000000LL;
  // Virtual time stays far inside the signed 64-bit range; an advance that
  // would pass this is refused (about 29,000 years).
  static constexpr Ticks kMaxTime = INT64_MAX / 1024;
  // A look at the interrupt time or the system time costs the processor a
  // few memory reads of the shared data page; the simulation charges one
  // unit of the clock (100 ns) so that a loop that only watches the clock
  // still moves time forward and ends, as it does on the machine.
  static constexpr Ticks kReadCost = 1;

  Ticks now() const { return now_; }
  uint32_t increment() const { return increment_; }
  void setIncrement(uint32_t units) { increment_ = units ? units : 1; }

  // The interrupt time counts from boot and advances only at clock
  // interrupts, in whole increments; setting the clock never moves it.
  Ticks interruptTime() const { return (now_ / increment_) * increment_; }
  // The system time is the interrupt time plus the boot time and every
  // step an administrator or a time service made.
  Ticks systemTime() const { return systemOffset() + interruptTime(); }
  // What an absolute system time is on the interrupt time's scale.
  Ticks systemOffset() const;

  // The system time jumps by `delta` at virtual time `at` (or at once when
  // `at` is not in the future).
  void step(Ticks delta, Ticks at);

  // True when the clock can move by `delta` without leaving its range.
  bool canAdvance(Ticks delta) const { return delta <= kMaxTime - now_; }
  // Every stall, bus cycle and clock read moves the clock, so this is the
  // simulation's most frequent operation: it only adds, and calls out only
  // once the time reaches the alarm.
  [[gnu::always_inline]] void advance(Ticks delta) {
    if (delta <= 0) return;
    if (!canAdvance(delta)) refuse();
    now_ += delta;
    if (alarm_ >= 0 && now_ >= alarm_) ring();
  }

  // The alarm: the moment from which each advance calls the alarm's
  // listeners with the new time, until the alarm is moved (-1: none). The
  // kernel's timer queue keeps it at the clock interrupt of its next
  // expiry, so that an advance that expires no timer costs nothing more.
  void setAlarm(Ticks at) { alarm_ = at; }
  Ticks alarm() const { return alarm_; }
  void onAlarm(std::function<void(Ticks)> listener) { listeners_.push_back(std::move(listener)); }

 private:
  [[noreturn]] static void refuse();
  void ring();

  struct Step {
    Ticks at;
    Ticks delta;
  };
  Ticks now_ = 0;
  Ticks alarm_ = -1;
  uint32_t increment_ = kDefaultIncrement;
  std::vector<Step> steps_;
  std::vector<std::function<void(Ticks)>> listeners_;
};

}  // namespace sim
