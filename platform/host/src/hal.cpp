// Time, register access and debugger output: the routines the controller
// link needs from the kernel and the HAL.
#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

using sim::Entry;
using sim::Routine;

extern "C" ULONG NTAPI KeQueryTimeIncrement(VOID) {
  return Entry(Routine::KeQueryTimeIncrement).kernel().clock.increment();
}

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  sim::Kernel& k = Entry(Routine::KeQuerySystemTime).kernel();
  k.clock.advance(sim::Clock::kReadCost);
  CurrentTime->QuadPart = k.clock.systemTime();
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

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  bool unicode = false;
  std::string text = sim::formatKernel(Format, args, &unicode);
  va_end(args);
  sim::Kernel& k = Entry(Routine::DbgPrint).kernel();
  // Unicode conversions touch pageable tables: PASSIVE_LEVEL only.
  if (unicode && k.irql.level() > PASSIVE_LEVEL) {
    k.verifier.report(sim::Rule::DbgprintUnicodeAtRaisedIrql,
                      "Unicode format at IRQL " + std::to_string(k.irql.level()) + ": " + Format);
  }
  k.debugger.print(text);
  return STATUS_SUCCESS;
}
