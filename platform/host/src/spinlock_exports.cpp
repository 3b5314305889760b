// Spin locks. On one processor taking one means running at DISPATCH_LEVEL,
// so a lock found held can never be released: the machine would hang. With
// several, a processor that finds a lock held spins at DISPATCH_LEVEL until
// the holder on another processor releases it; the one that holds it must
// release it, and must not take it again.
#include <map>

#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

using sim::Entry;
using sim::Kernel;
using sim::Routine;

namespace {
constexpr KSPIN_LOCK kFree = 0;
constexpr KSPIN_LOCK kHeld = 1;

std::string lockName(PKSPIN_LOCK lock) { return "spin lock " + sim::hex(reinterpret_cast<uintptr_t>(lock)); }

// The lock is the caller's from here on.
void claim(Kernel& k, PKSPIN_LOCK lock) {
  k.scheduler.stack().locks++;
  if (k.scheduler.spinLocksIgnored) return;
  *lock = kHeld;
  k.spinLockOwners[lock] = k.scheduler.processor();
}

void take(Kernel& k, PKSPIN_LOCK lock, const char* routine) {
  k.scheduler.point(sim::Point::Call);
  k.checkAlive(routine, lock);
  if (!k.scheduler.spinLocksIgnored && *lock != kFree) {
    // The holder on this processor can never run again to release it.
    auto owner = k.spinLockOwners.find(lock);
    bool here = owner == k.spinLockOwners.end() || owner->second == k.scheduler.processor();
    if (here) {
      k.verifier.report(sim::Rule::SpinLockAlreadyOwned, lockName(lock) + " acquired again on processor " +
                                                             std::to_string(k.scheduler.processor()) +
                                                             ", which holds it: a deadlock");
    } else {
      k.scheduler.spin(lock);
      // The lock may have gone with its device while this processor spun.
      k.checkAlive(routine, lock);
    }
  }
  claim(k, lock);
}

void give(Kernel& k, PKSPIN_LOCK lock, const char* routine) {
  k.checkAlive(routine, lock);
  if (k.scheduler.stack().locks > 0) k.scheduler.stack().locks--;
  if (k.scheduler.spinLocksIgnored) return;
  if (*lock != kHeld) {
    k.verifier.report(sim::Rule::SpinLockNotOwned, lockName(lock) + " released while not held");
  } else {
    auto owner = k.spinLockOwners.find(lock);
    if (owner != k.spinLockOwners.end() && owner->second != k.scheduler.processor()) {
      k.verifier.report(sim::Rule::SpinLockNotOwned,
                        lockName(lock) + " released on processor " + std::to_string(k.scheduler.processor()) +
                            ", taken on processor " + std::to_string(owner->second));
    }
  }
  k.spinLockOwners.erase(lock);
  *lock = kFree;
}
}  // namespace

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  Entry(Routine::KeInitializeSpinLock).kernel().spinLockOwners.erase(SpinLock);
  *SpinLock = kFree;
}

extern "C" VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  take(Entry(Routine::KefAcquireSpinLockAtDpcLevel).kernel(), SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  give(Entry(Routine::KefReleaseSpinLockFromDpcLevel).kernel(), SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// Takes the lock only when it is free, without spinning; a held lock,
// even one this processor holds, gives FALSE. DISPATCH_LEVEL only.
extern "C" BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  Entry entry(Routine::KeTryToAcquireSpinLockAtDpcLevel);
  Kernel& k = entry.kernel();
  entry.alive(SpinLock);
  if (!k.scheduler.spinLocksIgnored && *SpinLock != kFree) return FALSE;
  claim(k, SpinLock);
  return TRUE;
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  Kernel& k = Entry(Routine::KfAcquireSpinLock).kernel();
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  take(k, SpinLock, "KeAcquireSpinLock");
  return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  give(Entry(Routine::KfReleaseSpinLock).kernel(), SpinLock, "KeReleaseSpinLock");
  KfLowerIrql(NewIrql);
}
