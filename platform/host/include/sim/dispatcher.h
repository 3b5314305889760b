// Kernel timers, deferred procedure calls and the resource map of the
// simulated kernel.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/ticks.h"

// The kernel's own structure tags (platform.h).
struct _KTIMER;  // NOLINT(bugprone-reserved-identifier)
struct _KDPC;    // NOLINT(bugprone-reserved-identifier)

namespace sim {

class Irql;
class Verifier;

// Timers expire at the clock interrupt that follows their due time, as on
// the real machine; an expired timer with a deferred call queues it. The
// queued calls run on a processor whose level drops below DISPATCH_LEVEL:
// the scheduler decides which, and when (sim/scheduler.h).
class Dispatcher {
 public:
  Dispatcher(Clock& clock, Irql& irql, Verifier& verifier);

  void initTimer(_KTIMER* timer);
  bool setTimer(_KTIMER* timer, int64_t dueTime, int32_t periodMs, _KDPC* dpc);
  bool cancelTimer(_KTIMER* timer);
  void initDpc(_KDPC* dpc);
  bool queueDpc(_KDPC* dpc);
  bool removeDpc(_KDPC* dpc);

  // Told whenever a call is queued.
  void onQueued(std::function<void()> listener) { queued_ = std::move(listener); }

  // Expiries due by now. Cheap when none is: the next one is the clock's
  // alarm.
  void expireDue() {
    if (clock_.alarm() >= 0 && clock_.now() >= clock_.alarm()) expire(clock_.now());
  }
  bool hasQueued() const { return !dpcs_.empty(); }
  // Runs the queued calls on the current processor at DISPATCH_LEVEL, one
  // after the other in one stretch, as the dispatch interrupt drains the
  // queue without lowering the level; expiries that come due meanwhile
  // queue theirs behind.
  void drain();
  // Runs one call at DISPATCH_LEVEL on the current processor.
  void runCall(_KDPC* dpc);
  // The clock interrupt at which the next armed timer expires, or -1.
  Ticks nextInterrupt() const { return clock_.alarm(); }

  // While a processor idles until a moment, the calls it runs stop there.
  class IdleLimit {
   public:
    IdleLimit(Dispatcher& d, Ticks until) : d_(d), outer_(d.idleLimit_) { d.idleLimit_ = until; }
    ~IdleLimit() { d_.idleLimit_ = outer_; }
    IdleLimit(const IdleLimit&) = delete;
    IdleLimit& operator=(const IdleLimit&) = delete;

   private:
    Dispatcher& d_;
    Ticks outer_;
  };

  bool isArmed(const _KTIMER* timer) const;
  std::vector<_KTIMER*> armedTimers() const { return timers_; }
  const std::deque<_KDPC*>& queuedDpcs() const { return dpcs_; }
  uint64_t dpcsRun() const { return dpcsRun_; }

 private:
  static Ticks dueOf(const _KTIMER* timer);
  Ticks interruptAfter(Ticks time) const;
  void expire(Ticks now);
  // Sets the clock's alarm to the clock interrupt of the next expiry:
  // called whenever the armed timers or their due times change.
  void updateNextDue();
  _KDPC* takeQueued();

  Clock& clock_;
  Irql& irql_;
  Verifier& verifier_;
  std::vector<_KTIMER*> timers_;  // armed
  std::deque<_KDPC*> dpcs_;       // queued
  // Orders timers that expire at the same time: the one set first, first.
  std::map<const _KTIMER*, uint64_t> order_;
  uint64_t sequence_ = 0;
  uint64_t dpcsRun_ = 0;
  Ticks idleLimit_ = -1;
  std::function<void()> queued_;
};

// One range of a resource list.
struct ResourceRange {
  uint64_t start;
  uint32_t length;
  bool port;
};

// What the I/O manager answers a resource report: its status, and whether
// it saw a conflict (then nothing is recorded).
struct ResourceVerdict {
  int32_t status;
  bool conflict;
};

// The resources each driver has reported, as IoReportResourceUsage keeps
// them: one list per driver, each report replacing the last.
class ResourceMap {
 public:
  ResourceVerdict report(const void* driver, const std::vector<ResourceRange>& ranges);
  const std::vector<ResourceRange>& claims(const void* driver) const;
  bool claimed(uint64_t address, bool port) const { return find(address, port) != nullptr; }
  // The claimed range that holds an address, or null.
  const ResourceRange* find(uint64_t address, bool port) const;
  bool anyClaims() const;

  // The board's answer to a report before it is recorded: a conflict with
  // another driver's resources, or a failure.
  std::function<ResourceVerdict(const ResourceRange&)> policy;

  // Reports as they were made, for tests: an empty list withdraws.
  std::vector<std::vector<ResourceRange>> history;

 private:
  std::vector<std::pair<const void*, std::vector<ResourceRange>>> lists_;
};

}  // namespace sim
