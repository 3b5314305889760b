// Spin locks on one processor: taking one means running at DISPATCH_LEVEL,
// so a lock found held can never be released: the machine would hang.
#include "platform.h"
#include "sim/kernel.h"

using sim::Kernel;

namespace {
constexpr KSPIN_LOCK kFree = 0;
constexpr KSPIN_LOCK kHeld = 1;

void take(Kernel& k, PKSPIN_LOCK lock) {
  if (*lock != kFree) {
    k.verifier.report(
        sim::Rule::SpinLockAlreadyOwned,
        "spin lock " + sim::hex(reinterpret_cast<uintptr_t>(lock)) + " acquired while held: a deadlock");
  }
  *lock = kHeld;
}

void give(Kernel& k, PKSPIN_LOCK lock) {
  if (*lock != kHeld) {
    k.verifier.report(
        sim::Rule::SpinLockNotOwned,
        "spin lock " + sim::hex(reinterpret_cast<uintptr_t>(lock)) + " released while not held");
  }
  *lock = kFree;
}
// The DPC-level forms expect the caller at DISPATCH_LEVEL already.
void requireDispatch(Kernel& k, const char* routine) {
  if (k.irql.level() < DISPATCH_LEVEL) {
    k.verifier.report(sim::Rule::IrqlNotGreaterOrEqual,
                      std::string(routine) + " at IRQL " + std::to_string(k.irql.level()));
  }
}
}  // namespace

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = kFree; }

extern "C" VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  Kernel& k = Kernel::current();
  requireDispatch(k, "KeAcquireSpinLockAtDpcLevel");
  take(k, SpinLock);
}

extern "C" VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Kernel& k = Kernel::current();
  requireDispatch(k, "KeReleaseSpinLockFromDpcLevel");
  give(k, SpinLock);
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  Kernel& k = Kernel::current();
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  take(k, SpinLock);
  return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  give(Kernel::current(), SpinLock);
  KfLowerIrql(NewIrql);
}
