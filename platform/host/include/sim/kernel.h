// The simulated NT kernel behind platform.h.
//
// One Kernel object is the machine's kernel and HAL: a virtual clock, the
// I/O and memory buses, the debugger's output and the verifier. The exported
// kernel routines act on the active Kernel: the one that a Kernel::Scope
// has made active, for as long as that scope lives. Nothing here sleeps or reads the host clock:
// virtual time moves only by stalls, bus cycles and explicit advances.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/dispatcher.h"
#include "sim/executive.h"
#include "sim/iomanager.h"
#include "sim/routines.h"
#include "sim/scheduler.h"
#include "sim/ticks.h"

namespace sim {

// A register block that answers byte accesses at an offset from its base.
class IoDevice {
 public:
  virtual ~IoDevice() = default;
  virtual uint8_t read(uint32_t offset) = 0;
  virtual void write(uint32_t offset, uint8_t value) = 0;
};

enum class Space { Port, Memory };

struct BusAccess {
  Space space;
  uint32_t address;  // port number, or physical address for memory
  bool write;
  uint8_t value;
};

// The I/O port space and the physical memory space, with the system virtual
// addresses that MmMapIoSpace hands out for memory-space blocks.
class Bus {
 public:
  // An LPC I/O cycle costs about a microsecond.
  static constexpr Ticks kDefaultCycle = 1 * kTicksPerUs;

  explicit Bus(Clock& clock) : clock_(clock) {}

  void attach(Space space, uint32_t base, uint32_t length, IoDevice* device);
  void detach(IoDevice* device);

  uint8_t read(Space space, uint32_t address);
  void write(Space space, uint32_t address, uint8_t value);

  // System virtual addresses for memory-space blocks, all below 4 GiB so
  // that a 32-bit driver field can hold them as on the real machine.
  uint32_t map(uint64_t physical, uint32_t length);
  bool unmap(uint32_t virt, uint32_t length);
  bool translate(uint32_t virt, uint64_t* physical) const;
  bool isMapped(uint32_t virt) const;
  size_t mappingCount() const { return views_.size(); }

  void setCycle(Ticks cycle) { cycle_ = cycle; }
  // Each access is a point where another processor may get in first.
  void setScheduler(Scheduler* scheduler) { scheduler_ = scheduler; }
  uint64_t accessCount() const { return accesses_; }
  void onAccess(std::function<void(const BusAccess&)> listener) { listeners_.push_back(std::move(listener)); }

  // A guard that may refuse an access (the verifier's claim check).
  void setGuard(std::function<bool(const BusAccess&)> guard) { guard_ = std::move(guard); }

 private:
  struct Window {
    Space space;
    uint32_t base;
    uint32_t length;
    IoDevice* device;
  };
  struct View {
    uint64_t physical;
    uint32_t length;
  };
  const Window* find(Space space, uint32_t address) const;

  Clock& clock_;
  Scheduler* scheduler_ = nullptr;
  Ticks cycle_ = kDefaultCycle;
  uint64_t accesses_ = 0;
  std::vector<Window> windows_;
  std::map<uint32_t, View> views_;  // by virtual address
  uint32_t nextView_ = 0xF0000000u;
  std::vector<std::function<void(const BusAccess&)>> listeners_;
  std::function<bool(const BusAccess&)> guard_;
};

// The kernel debugger: collects DbgPrint output and hands it on line by
// line, as the debugger shows it.
class Debugger {
 public:
  void print(const std::string& text);
  const std::vector<std::string>& lines() const { return lines_; }
  void clear() { lines_.clear(); }
  void onLine(std::function<void(const std::string&)> listener) { listeners_.push_back(std::move(listener)); }

 private:
  std::string pending_;
  std::vector<std::string> lines_;
  std::vector<std::function<void(const std::string&)>> listeners_;
};

// Every kernel rule the simulation checks, with the name a verifier gives
// it; the one list from which the enumeration and the names both come.
#define SIM_VERIFIER_RULES(X)                                            \
  X(BadPoolCaller, "BAD_POOL_CALLER")                                    \
  X(BadUnmap, "BAD_UNMAP")                                               \
  X(BufferOverrun, "BUFFER_OVERRUN")                                     \
  X(ClaimLeftBehind, "CLAIM_LEFT_BEHIND")                                \
  X(DbgprintUnicodeAtRaisedIrql, "DBGPRINT_UNICODE_AT_RAISED_IRQL")      \
  X(DeviceLeftBehind, "DEVICE_LEFT_BEHIND")                              \
  X(DpcWatchdogViolation, "DPC_WATCHDOG_VIOLATION")                      \
  X(DriverUnloadedWithoutCancellingPendingOperations,                    \
    "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS")             \
  X(HandleLeftOpen, "HANDLE_LEFT_OPEN")                                  \
  X(InterleavedConversation, "INTERLEAVED_CONVERSATION")                 \
  X(InvalidDeviceObject, "INVALID_DEVICE_OBJECT")                        \
  X(InvalidKernelHandle, "INVALID_KERNEL_HANDLE")                        \
  X(InvalidResourceList, "INVALID_RESOURCE_LIST")                        \
  X(InvalidTimerPeriod, "INVALID_TIMER_PERIOD")                          \
  X(IoCallWithSpinLockHeld, "IO_CALL_WITH_SPIN_LOCK_HELD")               \
  X(IoErrorLogEntry, "IO_ERROR_LOG_ENTRY")                               \
  X(IoErrorLogLeak, "IO_ERROR_LOG_LEAK")                                 \
  X(IoErrorLogOverrun, "IO_ERROR_LOG_OVERRUN")                           \
  X(IrpCompletedPending, "IRP_COMPLETED_PENDING")                        \
  X(IrpNeverCompleted, "IRP_NEVER_COMPLETED")                            \
  X(IrpNotCompleted, "IRP_NOT_COMPLETED")                                \
  X(IrqlNotGreaterOrEqual, "IRQL_NOT_GREATER_OR_EQUAL")                  \
  X(IrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL")                        \
  X(IrqlUnexpectedValue, "IRQL_UNEXPECTED_VALUE")                        \
  X(KernelStackOverflow, "KERNEL_STACK_OVERFLOW")                        \
  X(LinkLeftBehind, "LINK_LEFT_BEHIND")                                  \
  X(MappingLeftBehind, "MAPPING_LEFT_BEHIND")                            \
  X(MultipleIrpCompleteRequests, "MULTIPLE_IRP_COMPLETE_REQUESTS")       \
  X(PageFaultInFreedPool, "PAGE_FAULT_IN_FREED_SPECIAL_POOL")            \
  X(PageFaultInNonpagedArea, "PAGE_FAULT_IN_NONPAGED_AREA")              \
  X(PendingMarkedNotReturned, "PENDING_MARKED_NOT_RETURNED")             \
  X(PendingWithoutMark, "PENDING_WITHOUT_MARK")                          \
  X(PoolNotFreed, "POOL_NOT_FREED")                                      \
  X(RegistryDirectOverrun, "REGISTRY_DIRECT_OVERRUN")                    \
  X(ShutdownRegistrationLeftBehind, "SHUTDOWN_REGISTRATION_LEFT_BEHIND") \
  X(SpinLockAlreadyOwned, "SPIN_LOCK_ALREADY_OWNED")                     \
  X(SpinLockNotOwned, "SPIN_LOCK_NOT_OWNED")                             \
  X(StartIoReentered, "START_IO_REENTERED")                              \
  X(StatusMismatch, "STATUS_MISMATCH")                                   \
  X(UnclaimedRegisterAccess, "UNCLAIMED_REGISTER_ACCESS")                \
  X(WorkerInvalid, "WORKER_INVALID")                                     \
  X(WorkerThreadReturnedAtBadIrql, "WORKER_THREAD_RETURNED_AT_BAD_IRQL")

enum class Rule {
#define SIM_RULE_ENUMERATOR(rule, name) rule,
  SIM_VERIFIER_RULES(SIM_RULE_ENUMERATOR)
#undef SIM_RULE_ENUMERATOR
};

const char* ruleName(Rule rule);

// A kernel rule broken by the driver, and the object it was broken on.
struct Violation {
  Rule rule;
  std::string detail;
};

class Verifier {
 public:
  void report(Rule rule, const std::string& detail);
  const std::vector<Violation>& violations() const { return violations_; }
  void clear() { violations_.clear(); }
  void onViolation(std::function<void(const Violation&)> listener) {
    listeners_.push_back(std::move(listener));
  }

 private:
  std::vector<Violation> violations_;
  std::vector<std::function<void(const Violation&)>> listeners_;
};

// PCI configuration space as the HAL reads it. A slot number is a
// PCI_SLOT_NUMBER as a ULONG: the device number in bits 0-4, the function
// number in bits 5-7, the rest reserved; slot number 32 is device 0,
// function 1.
class PciConfigSpace {
 public:
  virtual ~PciConfigSpace() = default;
  // Copies up to `length` bytes of the function's configuration space and
  // returns the count copied: 0 for a bus that does not exist, and for an
  // empty slot a count that is not 0 with vendor 0xFFFF.
  virtual uint32_t read(uint32_t bus, uint32_t slot, void* buffer, uint32_t length) = 0;
  // Whether the PCI bus exists, as the HAL knows its buses.
  virtual bool hasBus(uint32_t bus) const = 0;
};

// The buses the HAL of this board knows, by INTERFACE_TYPE: one internal
// and one ISA bus, number 0 each (the LPC bus behind the bridge), and the
// PCI buses `pci` has. The HAL refuses any other bus; the simulated kernel
// and the HAL for Wine both ask here.
inline bool busExists(uint32_t interfaceType, uint32_t bus, const PciConfigSpace* pci) {
  switch (interfaceType) {
    case Internal:
    case Isa: return bus == 0;
    case PCIBus: return pci != nullptr && pci->hasBus(bus);
    default: return false;
  }
}

class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // Makes a kernel the one the exported routines act on, and the one made
  // active before it again at its end. A machine activates its kernel for
  // its whole life; a kernel does not become active by being built.
  class Scope {
   public:
    explicit Scope(Kernel& kernel);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    Kernel* previous_;
  };

  // The active kernel; a routine called with none active is a fault of the
  // test bench. Every exported routine asks, so the answer is inline.
  static Kernel& current() {
    if (active_ == nullptr) noneActive();
    return *active_;
  }

  // Spins the processor: time passes, nothing else happens on it.
  void stall(Ticks delta) { clock.advance(delta); }

  // Byte access through a system virtual address that MmMapIoSpace gave.
  // An address outside every mapping is a page fault in non-paged area.
  uint8_t registerRead(uintptr_t virt);
  void registerWrite(uintptr_t virt, uint8_t value);

  // The rule that a routine may be called only at or below an IRQL.
  bool checkIrql(const char* routine, uint8_t maximum);
  // The rule that no memory of a deleted device is touched: `object` is
  // what `routine` was handed. True when it is still alive.
  bool checkAlive(const char* routine, const volatile void* object);
  // The rule that the I/O manager is not called with a spin lock held.
  void checkNoSpinLockHeld(const char* routine);

  // A driver routine's frame on the running thread's kernel stack, from
  // entry to return. The depth is an estimate: a thread's way into the
  // driver, then a fixed cost per nested driver routine; x86 kernel
  // stacks are 12 KB.
  class DriverFrame {
   public:
    DriverFrame(Kernel& kernel, const char* routine);
    ~DriverFrame();
    DriverFrame(const DriverFrame&) = delete;
    DriverFrame& operator=(const DriverFrame&) = delete;

   private:
    Kernel& kernel_;
  };
  static constexpr int kKernelStackBytes = 12 * 1024;
  static constexpr int kThreadEntryBytes = 2048;
  static constexpr int kDriverFrameBytes = 100;

  // HalTranslateBusAddress: where a bus address lands and in which space
  // (1 I/O, 0 memory). Boards replace the identity translation.
  struct Translation {
    uint64_t busStart;
    uint32_t length;
    uint32_t space;
    uint64_t translatedStart;
  };
  std::function<bool(uint64_t busAddress, uint32_t* space, uint64_t* translated)> translate;
  std::vector<Translation> translations;

  // From now on every register access must fall in a range that a driver
  // has claimed and translated; the machine turns this on for the driver.
  void enforceClaims();
  bool accessAllowed(const BusAccess& access) const;

  Clock clock;
  Bus bus{clock};
  Debugger debugger;
  Verifier verifier;
  Irql irql;
  Pool pool{verifier};
  Registry registry;
  ErrorLog errorLog{verifier};
  ObjectNames names;
  FailurePlan failures;
  PciConfigSpace* pci = nullptr;  // the board's PCI buses, when it has any
  Dispatcher dispatcher{clock, irql, verifier};
  ResourceMap resources;
  // The processor that holds each spin lock.
  std::map<const volatile void*, int> spinLockOwners;
  IoManager io{*this};
  // Last, so that its threads end before anything they use goes.
  Scheduler scheduler{*this};

 private:
  [[noreturn]] static void noneActive();
  static inline Kernel* active_ = nullptr;
};

// The opening of every export (sim/routines.h), inline here where the
// kernel is known.
inline Kernel& Entry::currentKernel() { return Kernel::current(); }

inline void Entry::overtake() {
  kernel_.scheduler.point(row_.overtake == Overtake::AtClock ? Point::Clock : Point::Call);
}

// "0x" and upper-case hex digits, at least the given number of them.
std::string hex(uint64_t value, int digits = 8);
// An NTSTATUS as every transcript line shows it: "0x" and eight hex digits.
std::string statusText(int32_t status);

// Formats like the kernel's DbgPrint: %ls and %ws take 16-bit wide text,
// %hs and %hS narrow text, %S wide text.
// *usedUnicode tells whether a Unicode conversion was among them.
std::string formatKernel(const char* format, va_list args, bool* usedUnicode = nullptr);

}  // namespace sim
