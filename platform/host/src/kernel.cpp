#include "sim/kernel.h"

#include <cstdio>
#include <stdexcept>

namespace sim {
std::string statusText(int32_t status) { return hex(static_cast<uint32_t>(status)); }

std::string hex(uint64_t value, int digits) {
  char text[24];
  snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

void Debugger::print(const std::string& text) {
  size_t from = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', from)) {
    pending_.append(text, from, end - from);
    lines_.push_back(pending_);
    for (auto& listener : listeners_) {
      listener(pending_);
    }
    pending_.clear();
    from = end + 1;
  }
  pending_.append(text, from, std::string::npos);
}

const char* ruleName(Rule rule) {
  switch (rule) {
#define SIM_RULE_NAME(rule, name) \
  case Rule::rule: return name;
    SIM_VERIFIER_RULES(SIM_RULE_NAME)
#undef SIM_RULE_NAME
  }
  return "?";
}

void Verifier::report(Rule rule, const std::string& detail) {
  violations_.push_back({rule, detail});
  for (auto& listener : listeners_) {
    listener(violations_.back());
  }
}

Kernel::Scope::Scope(Kernel& kernel) : previous_(active_) { active_ = &kernel; }

Kernel::Scope::~Scope() { active_ = previous_; }

Kernel::Kernel() {
  SystemSpace::reset();
  translate = [](uint64_t busAddress, uint32_t* space, uint64_t* translated) {
    (void)space;
    *translated = busAddress;
    return true;
  };
  // Timers expire at clock interrupts; a call they queue is deferred work
  // for the next processor whose level allows it.
  clock.onAlarm([this](Ticks) { dispatcher.expireDue(); });
  dispatcher.onQueued([this] { scheduler.workQueued(); });
  irql.attachClock([this] { return clock.now(); });
  irql.attachProcessor(scheduler.processorSlot());
  bus.setScheduler(&scheduler);
  // A processor that drops below DISPATCH_LEVEL may take the deferred
  // calls that wait, and at PASSIVE_LEVEL the work items.
  irql.onLower([this](uint8_t level) {
    if (level < Irql::kDispatch) scheduler.point(Point::Call);
  });
  irql.onLongStretch([this](int processor, Ticks length) {
    verifier.report(Rule::DpcWatchdogViolation,
                    "processor " + std::to_string(processor) + " stayed at DISPATCH_LEVEL or above for " +
                        std::to_string(length / kTicksPerUs) + " us in one stretch; the limit is " +
                        std::to_string(irql.stretchLimit() / kTicksPerMs) + " ms");
  });
}

void Kernel::enforceClaims() {
  bus.setGuard([this](const BusAccess& access) {
    if (!accessAllowed(access)) {
      verifier.report(sim::Rule::UnclaimedRegisterAccess,
                      std::string(access.write ? "write to " : "read of ") +
                          (access.space == Space::Port ? "port " : "physical address ") +
                          hex(access.address, 4) + ", which no claimed and translated range covers");
    }
    return true;
  });
}

bool Kernel::accessAllowed(const BusAccess& access) const {
  bool port = access.space == Space::Port;
  for (const auto& t : translations) {
    bool inRange = access.address >= t.translatedStart && access.address - t.translatedStart < t.length;
    if (inRange && t.space == (port ? 1u : 0u) && resources.claimed(t.busStart, true)) {
      return true;
    }
  }
  return false;
}

Kernel::~Kernel() = default;

uint8_t Kernel::registerRead(uintptr_t virt) {
  uint64_t physical = 0;
  if (virt > UINT32_MAX || !bus.translate(static_cast<uint32_t>(virt), &physical)) {
    verifier.report(sim::Rule::PageFaultInNonpagedArea, "register read at unmapped address " + hex(virt));
    return 0xFF;
  }
  return bus.read(Space::Memory, static_cast<uint32_t>(physical));
}

void Kernel::registerWrite(uintptr_t virt, uint8_t value) {
  uint64_t physical = 0;
  if (virt > UINT32_MAX || !bus.translate(static_cast<uint32_t>(virt), &physical)) {
    verifier.report(sim::Rule::PageFaultInNonpagedArea, "register write at unmapped address " + hex(virt));
    return;
  }
  bus.write(Space::Memory, static_cast<uint32_t>(physical), value);
}

bool Kernel::checkIrql(const char* routine, uint8_t maximum) {
  if (irql.level() <= maximum) {
    return true;
  }
  verifier.report(sim::Rule::IrqlNotLessOrEqual, std::string(routine) + " called at IRQL " +
                                                     std::to_string(irql.level()) + ", above " +
                                                     std::to_string(maximum));
  return false;
}

bool Kernel::checkAlive(const char* routine, const volatile void* object) {
  std::string freed = io.freedObject(const_cast<const void*>(object));
  if (freed.empty()) return true;
  verifier.report(Rule::PageFaultInFreedPool,
                  std::string(routine) + " on " + hex(reinterpret_cast<uintptr_t>(object)) + ", in " + freed);
  return false;
}

void Kernel::checkNoSpinLockHeld(const char* routine) {
  for (const auto& [lock, processor] : spinLockOwners) {
    if (processor != scheduler.processor()) continue;
    verifier.report(Rule::IoCallWithSpinLockHeld, std::string(routine) + " called with spin lock " +
                                                      hex(reinterpret_cast<uintptr_t>(lock)) + " held");
  }
}

Kernel::DriverFrame::DriverFrame(Kernel& kernel, const char* routine) : kernel_(kernel) {
  Scheduler::Stack& stack = kernel.scheduler.stack();
  stack.frames++;
  const int bytes = kThreadEntryBytes + stack.frames * kDriverFrameBytes;
  if (bytes > kKernelStackBytes && !stack.overflowed) {
    stack.overflowed = true;
    kernel.verifier.report(Rule::KernelStackOverflow,
                           std::string(routine) + " entered " + std::to_string(stack.frames) +
                               " driver routines deep, about " + std::to_string(bytes) + " bytes of a " +
                               std::to_string(kKernelStackBytes) + "-byte kernel stack");
  }
}

Kernel::DriverFrame::~DriverFrame() {
  Scheduler::Stack& stack = kernel_.scheduler.stack();
  if (--stack.frames == 0) stack.overflowed = false;
}

void Kernel::noneActive() { throw std::logic_error("no simulated kernel is active"); }

}  // namespace sim
