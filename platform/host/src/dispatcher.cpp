#include "sim/dispatcher.h"

#include <algorithm>

#include "platform.h"
#include "sim/kernel.h"

namespace sim {

Dispatcher::Dispatcher(Clock& clock, Irql& irql, Verifier& verifier)
    : clock_(clock), irql_(irql), verifier_(verifier) {}

void Dispatcher::initTimer(_KTIMER* timer) {
  cancelTimer(timer);
  timer->Header.Type = 8;  // notification timer
  timer->Header.Inserted = FALSE;
  timer->DueTime.QuadPart = 0;
  timer->Dpc = nullptr;
  timer->Period = 0;
}

bool Dispatcher::isArmed(const _KTIMER* timer) const {
  return std::find(timers_.begin(), timers_.end(), timer) != timers_.end();
}

// A negative due time is relative, in 100 ns units; a positive one is an
// absolute system time. Setting an armed timer replaces its schedule.
bool Dispatcher::setTimer(_KTIMER* timer, int64_t dueTime, int32_t periodMs, _KDPC* dpc) {
  bool wasArmed = cancelTimer(timer);
  Ticks due = dueTime < 0 ? clock_.now() - dueTime : dueTime - clock_.systemOffset();
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  timer->Period = periodMs > 0 ? periodMs : 0;
  timer->Dpc = dpc;
  timer->Header.Inserted = TRUE;
  order_[timer] = ++sequence_;
  timers_.push_back(timer);
  updateNextDue();
  return wasArmed;
}

bool Dispatcher::cancelTimer(_KTIMER* timer) {
  auto it = std::find(timers_.begin(), timers_.end(), timer);
  if (it == timers_.end()) {
    return false;
  }
  timers_.erase(it);
  order_.erase(timer);
  timer->Header.Inserted = FALSE;
  updateNextDue();
  return true;
}

void Dispatcher::updateNextDue() {
  Ticks next = -1;
  for (_KTIMER* t : timers_) {
    Ticks at = interruptAfter(dueOf(t));
    if (next < 0 || at < next) next = at;
  }
  clock_.setAlarm(next);
}

void Dispatcher::initDpc(_KDPC* dpc) {
  removeDpc(dpc);
  dpc->DpcData = nullptr;
}

bool Dispatcher::queueDpc(_KDPC* dpc) {
  if (dpc->DpcData != nullptr) {
    return false;
  }
  dpc->DpcData = this;
  dpcs_.push_back(dpc);
  if (queued_) queued_();
  return true;
}

bool Dispatcher::removeDpc(_KDPC* dpc) {
  auto it = std::find(dpcs_.begin(), dpcs_.end(), dpc);
  if (it == dpcs_.end()) {
    return false;
  }
  dpcs_.erase(it);
  dpc->DpcData = nullptr;
  return true;
}

Ticks Dispatcher::dueOf(const _KTIMER* timer) { return static_cast<Ticks>(timer->DueTime.QuadPart); }

// The first clock interrupt at or after `time`.
Ticks Dispatcher::interruptAfter(Ticks time) const {
  Ticks tick = clock_.increment();
  if (time <= 0) return 0;
  return (time + tick - 1) / tick * tick;
}

void Dispatcher::expire(Ticks now) {
  struct Update {
    Dispatcher& d;
    ~Update() { d.updateNextDue(); }
  } update{*this};
  for (;;) {
    _KTIMER* next = nullptr;
    for (_KTIMER* t : timers_) {
      if (interruptAfter(dueOf(t)) > now) continue;
      if (next == nullptr || dueOf(t) < dueOf(next) ||
          (dueOf(t) == dueOf(next) && order_.at(t) < order_.at(next))) {
        next = t;
      }
    }
    if (next == nullptr) {
      return;
    }
    // The kernel re-inserts a periodic timer one period after the moment
    // its expiry is processed, not after its last due time: a deferred
    // call that overran its period is not owed the expiries it missed.
    if (next->Period != 0) {
      const Ticks due = now + static_cast<Ticks>(next->Period) * kTicksPerMs;
      next->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    } else {
      cancelTimer(next);
    }
    if (next->Dpc != nullptr) {
      queueDpc(next->Dpc);
    }
  }
}

_KDPC* Dispatcher::takeQueued() {
  if (dpcs_.empty()) return nullptr;
  _KDPC* dpc = dpcs_.front();
  dpcs_.pop_front();
  dpc->DpcData = nullptr;
  return dpc;
}

// Deferred calls run at DISPATCH_LEVEL and must return at that level.
void Dispatcher::runCall(_KDPC* dpc) {
  Kernel& kernel = Kernel::current();
  kernel.checkAlive("the deferred call", dpc);
  Kernel::DriverFrame frame(kernel, "a deferred routine");
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
  dpcsRun_++;
  if (irql_.level() != Irql::kDispatch) {
    verifier_.report(sim::Rule::IrqlUnexpectedValue, "deferred routine returned at IRQL " +
                                                         std::to_string(irql_.level()) + ", entered at " +
                                                         std::to_string(Irql::kDispatch));
  }
}

void Dispatcher::drain() {
  auto due = [this] { return !dpcs_.empty() && (idleLimit_ < 0 || clock_.now() < idleLimit_); };
  if (irql_.level() >= Irql::kDispatch || !due()) {
    return;
  }
  const uint8_t before = irql_.level();
  irql_.set(Irql::kDispatch);
  while (due()) {
    runCall(takeQueued());
    expireDue();
  }
  irql_.set(before);
}

ResourceVerdict ResourceMap::report(const void* driver, const std::vector<ResourceRange>& ranges) {
  history.push_back(ranges);
  for (const auto& range : ranges) {
    if (policy) {
      ResourceVerdict verdict = policy(range);
      if (verdict.status < 0 || verdict.conflict) {
        return verdict;
      }
    }
  }
  auto it = std::find_if(lists_.begin(), lists_.end(), [driver](const auto& l) { return l.first == driver; });
  if (ranges.empty()) {
    if (it != lists_.end()) lists_.erase(it);
  } else if (it != lists_.end()) {
    it->second = ranges;
  } else {
    lists_.push_back({driver, ranges});
  }
  return {0, false};
}

const std::vector<ResourceRange>& ResourceMap::claims(const void* driver) const {
  static const std::vector<ResourceRange> none;
  for (const auto& l : lists_) {
    if (l.first == driver) return l.second;
  }
  return none;
}

const ResourceRange* ResourceMap::find(uint64_t address, bool port) const {
  for (const auto& l : lists_) {
    for (const auto& r : l.second) {
      if (r.port == port && address >= r.start && address - r.start < r.length) return &r;
    }
  }
  return nullptr;
}

bool ResourceMap::anyClaims() const { return !lists_.empty(); }

}  // namespace sim
