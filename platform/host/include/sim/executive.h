// Executive services of the simulated kernel: processor level, pool,
// registry, error log, object names and injected failures.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/ticks.h"

namespace sim {

class Verifier;

// UTF-16 text as the kernel keeps it (WCHAR is 16 bits in this build).
using WText = std::u16string;
WText widen(const std::string& text);
std::string narrow(const WText& text);
WText fromWide(const wchar_t* text);
WText fromWide(const wchar_t* text, size_t units);

// System space for the I/O manager's buffers and device extensions: one
// fixed region below 4 GiB, handed out in the same order each run, so that
// the addresses a driver traces are the same every time and fit 32 bits.
class SystemSpace {
 public:
  static void* allocate(size_t size);
  static void free(void* p);
  // Starts handing out from the region's beginning again; only when
  // nothing is allocated.
  static void reset();
};

// The IRQL of the processor that runs now. Each processor has its own; the
// scheduler says which processor that is (processor 0 on a machine with
// one).
class Irql {
 public:
  static constexpr uint8_t kPassive = 0;
  static constexpr uint8_t kApc = 1;
  static constexpr uint8_t kDispatch = 2;
  static constexpr int kMaxProcessors = 4;

  uint8_t level() const { return levels_[*processor_]; }
  uint8_t levelOf(int processor) const { return levels_[processor]; }
  void set(uint8_t level);
  void onLower(std::function<void(uint8_t)> listener) { lowerListeners_.push_back(std::move(listener)); }

  // Virtual time spent at DISPATCH_LEVEL or above, given the clock.
  void attachClock(std::function<Ticks()> now) { now_ = std::move(now); }
  Ticks dispatchTicks() const;
  // Where the number of the running processor is kept.
  void attachProcessor(const int* processor) { processor_ = processor; }

  // A stretch is the time one processor stays at DISPATCH_LEVEL or above
  // without dropping below it. Kernels with the DPC watchdog stop the
  // machine (DPC_WATCHDOG_VIOLATION) when a processor stays there too long;
  // older ones lose that processor for as long. Each stretch longer than
  // the limit (0: no limit) is handed to the listener once, when it ends.
  static constexpr Ticks kDefaultStretchLimit = 1100 * kTicksPerMs;
  void setStretchLimit(Ticks limit) { stretchLimit_ = limit; }
  Ticks stretchLimit() const { return stretchLimit_; }
  void onLongStretch(std::function<void(int processor, Ticks length)> listener) {
    longStretch_ = std::move(listener);
  }
  // The longest stretch that has ended so far, on any processor.
  Ticks longestStretch() const { return longestStretch_; }

 private:
  static constexpr int kFirst = 0;
  std::function<Ticks()> now_;
  const int* processor_ = &kFirst;
  Ticks raisedAt_[kMaxProcessors] = {};
  Ticks dispatchTicks_ = 0;
  Ticks stretchLimit_ = kDefaultStretchLimit;
  Ticks longestStretch_ = 0;
  std::function<void(int, Ticks)> longStretch_;
  uint8_t levels_[kMaxProcessors] = {};
  std::vector<std::function<void(uint8_t)>> lowerListeners_;
};

// Pool with a ledger by tag: a leak shows as an outstanding block, a double
// or foreign free as a verifier report.
class Pool {
 public:
  struct Block {
    size_t size;
    uint32_t tag;
    bool paged;
  };
  explicit Pool(Verifier& verifier) : verifier_(verifier) {}
  ~Pool();
  void* allocate(bool paged, size_t size, uint32_t tag);
  void free(void* p, uint32_t tag);
  const std::map<void*, Block>& outstanding() const { return blocks_; }
  uint64_t allocations() const { return allocations_; }
  // Frees that named no tag: the kernel then cannot check that the block
  // is the caller's, which hides a free of someone else's memory.
  uint64_t untaggedFrees() const { return untaggedFrees_; }

 private:
  Verifier& verifier_;
  uint64_t untaggedFrees_ = 0;
  std::map<void*, Block> blocks_;
  uint64_t allocations_ = 0;
};

// The registry: keys by absolute path (case-insensitive), each with typed
// values.
class Registry {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };
  struct Key {
    std::map<std::string, Value> values;  // by upper-case name
  };

  static std::string fold(const std::string& name);
  // Whether two names are the same name: fold(a) == fold(b), without the
  // copies.
  static bool sameName(const std::string& a, const std::string& b);

  void createKey(const std::string& path) { keys_[fold(path)]; }
  void removeKey(const std::string& path) { keys_.erase(fold(path)); }
  Key* key(const std::string& path);
  void setDword(const std::string& path, const std::string& name, uint32_t value);
  void setString(const std::string& path, const std::string& name, const std::string& text);
  void setBinary(const std::string& path, const std::string& name, const std::vector<uint8_t>& bytes);
  void deleteValue(const std::string& path, const std::string& name);
  uint64_t queries() const { return queries_; }
  void countQuery() { queries_++; }

  // Kernels that predate RTL_QUERY_REGISTRY_TYPECHECK ignore the flag and
  // store whatever the value holds; false models one of them.
  bool honoursTypecheck = true;

 private:
  std::map<std::string, Key> keys_;
  uint64_t queries_ = 0;
};

// One entry written through IoWriteErrorLogEntry, as the event log keeps it.
struct LoggedEvent {
  std::string objectName;
  uint8_t majorFunction;
  uint8_t retryCount;
  uint16_t dumpDataSize;
  uint16_t numberOfStrings;
  uint16_t stringOffset;
  uint16_t eventCategory;
  uint32_t errorCode;
  uint32_t uniqueValue;
  uint32_t finalStatus;
  uint32_t sequenceNumber;
  uint32_t ioControlCode;
  int64_t deviceOffset;
  uint8_t entrySize;
  std::vector<std::string> strings;
};

// The I/O manager's error log: entries handed out, entries written.
class ErrorLog {
 public:
  explicit ErrorLog(Verifier& verifier) : verifier_(verifier) {}
  ~ErrorLog();
  void* allocate(const std::string& objectName, uint8_t size);
  void write(void* entry);
  void free(void* entry);
  // Entries handed out and not yet written: each one is a driver fault once
  // the driver is done with them.
  size_t unwritten() const { return open_.size(); }
  void reportUnwritten();
  const std::vector<LoggedEvent>& events() const { return events_; }
  void clear() { events_.clear(); }
  void onEvent(std::function<void(const LoggedEvent&)> listener) {
    listeners_.push_back(std::move(listener));
  }

  // Guard bytes after each entry catch a write past its end.
  static constexpr size_t kGuardBytes = 16;
  static constexpr uint8_t kGuardFill = 0xE7;

 private:
  struct Open {
    std::unique_ptr<uint8_t[]> memory;
    uint8_t size;
    std::string objectName;
  };
  Verifier& verifier_;
  std::map<void*, Open> open_;
  std::vector<LoggedEvent> events_;
  std::vector<std::function<void(const LoggedEvent&)>> listeners_;
};

// Names of driver and device objects, as the object manager knows them.
class ObjectNames {
 public:
  void set(const void* object, const std::string& name) { names_[object] = name; }
  void remove(const void* object) { names_.erase(object); }
  std::string of(const void* object) const;

 private:
  std::map<const void*, std::string> names_;
};

// Failures injected into kernel routines by name: the next COUNT calls fail
// with STATUS (or return no pointer, or 0, as the routine's shape says).
class FailurePlan {
 public:
  void arm(const std::string& routine, int32_t status, uint32_t count);
  // True when this call of the routine is to fail; *status gets its status.
  // `caller` is the address in the calling code that the call returns to.
  // Asked at every call of a routine that can fail: it looks the name up
  // without making a string of it.
  bool take(const char* routine, int32_t* status = nullptr, const void* caller = nullptr);
  void clear() { plans_.clear(); }

  // Sees every call that take() is asked about and no armed plan fails,
  // with its caller; returning true fails that one call with
  // STATUS_INSUFFICIENT_RESOURCES. A test that fails each call site of the
  // driver in turn watches and chooses through this.
  using Observer = std::function<bool(const std::string& routine, const void* caller)>;
  void observe(Observer observer) { observer_ = std::move(observer); }

 private:
  Observer observer_;
  struct Plan {
    int32_t status;
    uint32_t count;
  };
  std::map<std::string, Plan, std::less<>> plans_;
};

}  // namespace sim
