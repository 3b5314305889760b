// The HAL's own exports (WINEHAL_HAL_ROUTINES), its state, its spin locks
// and its output. The exports take and give the plain types of the i386
// HAL's declarations, so this file needs neither header set.
#include "Hal.h"

#include <cstring>
#include <map>

#include "Control.h"

#define HAL_EXPORT extern "C" __attribute__((dllexport))
#define HAL_STDCALL __attribute__((stdcall))
#define HAL_FASTCALL __attribute__((fastcall))

namespace winehal {
namespace {
// Who holds each spin lock, under the board lock.
std::map<const volatile uintptr_t*, uint32_t>& holders() {
  static std::map<const volatile uintptr_t*, uint32_t> map;
  return map;
}

constexpr uint32_t kBusDataPci = 4;  // PCIConfiguration

// The calling thread's IRQL: a thread the HAL has not seen yet is at
// PASSIVE_LEVEL.
thread_local uint8_t t_irql = kPassiveLevel;

BoardModel& board() { return *hal().board; }

// The clock's interval is the kernel's: the driver sizes its waits by
// KeQueryTimeIncrement, and the interrupt time moves in those steps.
void knowIncrement() {
  Hal& h = hal();
  if (h.incrementKnown) return;
  using Increment = uint32_t(HAL_STDCALL*)();
  if (auto query = reinterpret_cast<Increment>(wineRoutine("KeQueryTimeIncrement"))) {
    h.board->setClockIncrement(query());
  }
  h.incrementKnown = true;
}
}  // namespace

Hal& hal() {
  static Hal state;
  return state;
}

void output(const std::string& line) { win32::appendLine(kOutputFile, line); }

void takeSpinLock(volatile uintptr_t* lock) {
  while (!tryTakeSpinLock(lock)) win32::yieldProcessor();
}

bool tryTakeSpinLock(volatile uintptr_t* lock) {
  if (__sync_val_compare_and_swap(lock, 0, 1) != 0) return false;
  win32::Hold hold(hal().boardLock);
  holders()[lock] = win32::currentThread();
  return true;
}

void releaseSpinLock(volatile uintptr_t* lock) {
  {
    win32::Hold hold(hal().boardLock);
    holders().erase(lock);
  }
  __sync_lock_release(lock);
}

uint8_t currentIrql() { return t_irql; }

void reportRule(const char* rule, const std::string& what) {
  win32::Hold hold(hal().boardLock);
  output(std::string("verifier: ") + rule + ": " + what);
}

// KfRaiseIrql to a level below the current one is the bug check
// IRQL_NOT_GREATER_OR_EQUAL; KfLowerIrql to one above it
// IRQL_NOT_LESS_OR_EQUAL.
uint8_t raiseIrql(uint8_t level, const char* routine) {
  const uint8_t old = t_irql;
  if (level < old) {
    reportRule("IRQL_NOT_GREATER_OR_EQUAL",
               std::string(routine) + " to " + std::to_string(level) + " from " + std::to_string(old));
  }
  t_irql = level;
  return old;
}

void lowerIrql(uint8_t level, const char* routine) {
  if (level > t_irql) {
    reportRule("IRQL_NOT_LESS_OR_EQUAL",
               std::string(routine) + " to " + std::to_string(level) + " from " + std::to_string(t_irql));
  }
  t_irql = level;
}

bool holdsSpinLock(uint32_t thread) {
  for (const auto& holder : holders()) {
    if (holder.second == thread) return true;
  }
  return false;
}

// The clock, for the kernel-side gaps (KeQueryInterruptTime).
int64_t readInterruptTime() {
  win32::Hold hold(hal().boardLock);
  knowIncrement();
  return board().readInterruptTime();
}

}  // namespace winehal

using winehal::board;
using winehal::hal;

// A return of 0 tells the caller that the bus does not exist; the real HAL
// answers 0 for bus data types the machine does not have too.
HAL_EXPORT uint32_t HAL_STDCALL HalGetBusData(uint32_t busDataType, uint32_t busNumber, uint32_t slotNumber,
                                              void* buffer, uint32_t length) {
  if (busDataType != winehal::kBusDataPci) return 0;
  win32::Hold hold(hal().boardLock);
  return board().pciRead(busNumber, slotNumber, buffer, length);
}

HAL_EXPORT uint8_t HAL_STDCALL HalTranslateBusAddress(uint32_t interfaceType, uint32_t busNumber,
                                                      int64_t busAddress, uint32_t* addressSpace,
                                                      int64_t* translatedAddress) {
  win32::Hold hold(hal().boardLock);
  uint32_t space = *addressSpace;
  uint64_t translated = 0;
  if (!board().translate(interfaceType, busNumber, static_cast<uint64_t>(busAddress), &space, &translated)) {
    return 0;
  }
  *addressSpace = space;
  *translatedAddress = static_cast<int64_t>(translated);
  return 1;
}

HAL_EXPORT void HAL_STDCALL KeStallExecutionProcessor(uint32_t microseconds) {
  win32::Hold hold(hal().boardLock);
  winehal::knowIncrement();
  board().stallUs(microseconds);
}

// Port numbers are 16 bits on x86; the HAL takes the low word of the pointer.
HAL_EXPORT uint8_t HAL_STDCALL READ_PORT_UCHAR(uint8_t* port) {
  win32::Hold hold(hal().boardLock);
  return board().portRead(static_cast<uint16_t>(reinterpret_cast<uintptr_t>(port)));
}

HAL_EXPORT void HAL_STDCALL WRITE_PORT_UCHAR(uint8_t* port, uint8_t value) {
  win32::Hold hold(hal().boardLock);
  board().portWrite(static_cast<uint16_t>(reinterpret_cast<uintptr_t>(port)), value);
}

HAL_EXPORT uint8_t HAL_FASTCALL KfRaiseIrql(uint8_t newIrql) {
  return winehal::raiseIrql(newIrql, "KfRaiseIrql");
}

HAL_EXPORT void HAL_FASTCALL KfLowerIrql(uint8_t newIrql) { winehal::lowerIrql(newIrql, "KfLowerIrql"); }

// Taking a spin lock raises to DISPATCH_LEVEL first, and gives back the
// level the caller was at; letting it go lowers to the level given.
HAL_EXPORT uint8_t HAL_FASTCALL KfAcquireSpinLock(volatile uintptr_t* lock) {
  const uint8_t old = winehal::raiseIrql(winehal::kDispatchLevel, "KfAcquireSpinLock");
  winehal::takeSpinLock(lock);
  return old;
}

HAL_EXPORT void HAL_FASTCALL KfReleaseSpinLock(volatile uintptr_t* lock, uint8_t newIrql) {
  winehal::releaseSpinLock(lock);
  winehal::lowerIrql(newIrql, "KfReleaseSpinLock");
}

HAL_EXPORT void HAL_STDCALL KeAcquireSpinLock(volatile uintptr_t* lock, uint8_t* oldIrql) {
  *oldIrql = KfAcquireSpinLock(lock);
}

HAL_EXPORT void HAL_STDCALL KeReleaseSpinLock(volatile uintptr_t* lock, uint8_t newIrql) {
  KfReleaseSpinLock(lock, newIrql);
}
