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

// A look at the HAL's clock: the interrupt time in 100 ns units.
int64_t readInterruptTime();

// Wine's ntoskrnl.exe, and its export `name` as it was when the HAL loaded.
void* wineKernel();
void* wineRoutine(const char* name);

// Binds every row of WINEHAL_KERNEL_GAPS into ntoskrnl.exe's exports;
// false, with the reason, when that cannot be done.
bool bindGaps(std::string* error);

}  // namespace winehal
