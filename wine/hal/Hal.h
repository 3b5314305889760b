// The state of the HAL for Wine, one per winedevice.exe process, in plain
// types: the kernel-side files (kernel headers) and the Win32 side both
// include it.
#pragma once

#include <cstdint>
#include <string>

#include "BoardModel.h"
#include "Win32.h"

namespace winehal {

struct Hal {
  // Held around every use of the board and its clock, and around each
  // output line, so that the lines come out in the order things happened.
  win32::Monitor boardLock;
  BoardModel* board = nullptr;
  // Wine's KeQueryTimeIncrement, which the interrupt time moves by; read at
  // the first look at the clock (the kernel is not initialised when the HAL
  // loads).
  bool incrementKnown = false;
};

Hal& hal();

// One channel line into the HAL's output; the caller holds boardLock.
void output(const std::string& line);

// Spin locks (KSPIN_LOCK is a ULONG_PTR): 0 free, 1 held, as Wine's own
// KeAcquireSpinLockAtDpcLevel keeps them, so that a lock taken by either
// is seen by both.
void takeSpinLock(volatile uintptr_t* lock);
bool tryTakeSpinLock(volatile uintptr_t* lock);
void releaseSpinLock(volatile uintptr_t* lock);
// Whether a thread holds a spin lock now (for the board model).
bool holdsSpinLock(uint32_t thread);

// IRQL. Wine has none: every thread runs as if at PASSIVE_LEVEL. The HAL
// keeps a level per thread, which starts at PASSIVE_LEVEL, so that the
// rules of the routines that change it can be held: a raise may only
// raise, a lower only lower (a breach is reported on the output as the
// bug check it is, and the level is set as asked).
constexpr uint8_t kPassiveLevel = 0;
constexpr uint8_t kDispatchLevel = 2;
uint8_t currentIrql();
// Raises the calling thread to `level` and returns the level it was at.
uint8_t raiseIrql(uint8_t level, const char* routine);
void lowerIrql(uint8_t level, const char* routine);
// One "verifier: RULE: what" line on the output.
void reportRule(const char* rule, const std::string& what);

// A look at the HAL's clock: the interrupt time in 100 ns units.
int64_t readInterruptTime();

// Wine's ntoskrnl.exe, and its export `name` as it was when the HAL loaded.
void* wineKernel();
void* wineRoutine(const char* name);

// From now on every work item waits until its driver's unload has been
// asked for (the board description's `hal hold-work-items`).
void holdWorkItems();

// Binds every row of WINEHAL_KERNEL_GAPS into ntoskrnl.exe's exports;
// false, with the reason, when that cannot be done.
bool bindGaps(std::string* error);

}  // namespace winehal
