// The routines the driver calls at every look at the controller's lines:
// the register accesses, the stall and the clock. None of them reads or
// writes memory of the driver's: a port number or a register address in, a
// byte or a time out.
#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

using sim::Entry;
using sim::Routine;

extern "C" ULONG NTAPI KeQueryTimeIncrement(VOID) {
  return Entry(Routine::KeQueryTimeIncrement).kernel().clock.increment();
}

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
  sim::Kernel& k = Entry(Routine::KeQueryInterruptTime).kernel();
  k.clock.advance(sim::Clock::kReadCost);
  return static_cast<ULONGLONG>(k.clock.interruptTime());
}

extern "C" VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  sim::Kernel& k = Entry(Routine::KeStallExecutionProcessor).kernel();
  k.stall(static_cast<sim::Ticks>(MicroSeconds) * sim::kTicksPerUs);
}

// Port numbers are 16 bits on x86; the HAL takes the low word of the pointer.
extern "C" UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) {
  return Entry(Routine::READ_PORT_UCHAR)
      .kernel()
      .bus.read(sim::Space::Port, static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(Port)));
}

extern "C" VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  Entry(Routine::WRITE_PORT_UCHAR)
      .kernel()
      .bus.write(sim::Space::Port, static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(Port)), Value);
}

extern "C" UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR* Register) {
  return Entry(Routine::READ_REGISTER_UCHAR).kernel().registerRead(reinterpret_cast<ULONG_PTR>(Register));
}

extern "C" VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) {
  Entry(Routine::WRITE_REGISTER_UCHAR).kernel().registerWrite(reinterpret_cast<ULONG_PTR>(Register), Value);
}
