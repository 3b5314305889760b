// Processors and threads of the simulated machine, and the scheduler that
// interleaves them.
//
// A machine starts with one processor and one thread, the script's, and
// runs everything in that thread: deferred calls run nested wherever the
// IRQL drops, as a uniprocessor kernel runs them. Once it is given more
// processors or a second thread, the scheduler takes over. Every thread of
// the simulated machine (the script's, each request thread, each
// processor's deferred-call context) is then a host thread, but only one
// runs at a time: it holds the baton until it reaches a point where real
// processors interleave (a kernel or HAL call, a bus access, a spin-lock
// attempt), where the scheduler picks who runs next. The picks come from a
// seeded generator, or from a search that enumerates them, so a run is a
// function of its script and its seed.
//
// Time: one virtual clock. Work on any processor moves it; a processor
// that spins on a held lock or sits idle does not run and moves nothing,
// and when no processor can run the clock jumps to the next timer or
// waiting thread. The time a processor spins is the time the lock's holder
// keeps working.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "sim/ticks.h"

namespace sim {

class Kernel;

// The kinds of point at which a thread may be overtaken.
enum class Point {
  Call,      // a kernel or HAL routine, a spin-lock attempt, an IRQL change
  BusWrite,  // a register or port write
  BusRead,   // a register or port read
  Clock,     // a look at the clock, a stall
};

// One choice the scheduler had to make: `count` ways to go on, the first of
// which is the one that keeps the running thread running (or, when it cannot
// run, the first of the others). `preemptive` when choosing anything but the
// first overtakes a thread that could have gone on.
struct Choice {
  size_t count;
  bool preemptive;
};

class Scheduler {
 public:
  static constexpr int kMaxProcessors = 4;
  static constexpr uint64_t kDefaultSeed = 1;

  explicit Scheduler(Kernel& kernel);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Board setup.
  void setProcessors(int count);
  int processors() const { return processors_; }
  void setSeed(uint64_t seed);
  // A search takes the choices instead of the generator: it is asked at
  // each call and bus write where there is more than one way to go on.
  void setChooser(std::function<size_t(const Choice&)> chooser) { chooser_ = std::move(chooser); }

  bool engaged() const { return engaged_; }
  // The processor and the thread that run now (0 and 0 before the
  // scheduler takes over: processor 0, the script's thread).
  int processor() const { return processor_; }
  const int* processorSlot() const { return &processor_; }
  uint32_t context() const;
  // True while a deferred call runs on the current processor.
  bool inDeferredCall() const;

  // A point where the running thread may be overtaken.
  void point(Point kind) {
    if (engaged_ && !busy_) reschedule(kind);
  }

  // Starts a thread at PASSIVE_LEVEL that runs `body`; it runs when the
  // scheduler first gives it a processor. The caller goes on.
  void spawn(std::function<void()> body);

  // The running thread waits at PASSIVE_LEVEL, without its processor,
  // until `done` holds or virtual time reaches `deadline` (none when
  // negative). Returns done().
  bool waitUntil(std::function<bool()> done, Ticks deadline);

  // The spin of a processor on a held spin lock, until `lock` reads free.
  // Returns the virtual time it spun.
  Ticks spin(volatile KSPIN_LOCK* lock);
  // Spin locks do not exclude: a test's way to take a lock's exclusion
  // away and see what the lock was for. Acquiring still raises the IRQL.
  bool spinLocksIgnored = false;
  // The longest spin on any lock so far.
  Ticks longestSpin() const { return longestSpin_; }

  // How many deferred calls have run and are running.
  bool deferredCallsIdle() const;
  // Threads that have not ended yet, the script's apart.
  size_t liveThreads() const;
  uint64_t switches() const { return switches_; }

  // The driver routines nested on the running thread's kernel stack (a
  // deferred call's on its processor's stack).
  struct Stack {
    int frames = 0;
    bool overflowed = false;
    int locks = 0;  // spin locks taken and not yet released
  };
  Stack& stack() { return stacks_[context()]; }
  // Whether the thread or deferred call CONTEXT holds a spin lock (counted
  // even while spin locks exclude nothing). A context at DISPATCH_LEVEL
  // never leaves its processor, so the count is the context's own.
  bool holdsSpinLock(uint32_t context) const {
    auto it = stacks_.find(context);
    return it != stacks_.end() && it->second.locks > 0;
  }

 private:
  struct Context;
  struct Cpu {
    Context* thread = nullptr;  // the thread on it, when not idle
    Context* dpc = nullptr;     // its deferred-call context, once made
    bool inDpc = false;
    _KDPC* pending = nullptr;  // the call the deferred-call context runs
    uint8_t levelBeforeDpc = 0;
  };
  struct Option {
    enum Kind { Run, TakeDpc, Place } kind;
    int cpu;
    Context* context;
  };

  void engage();
  void reschedule(Point kind);
  // Picks who runs next and hands over, with the caller in `self`;
  // `selfRunnable` when the caller could go on.
  void pickAndSwitch(Context* self, bool selfRunnable, bool choicePoint);
  void options(std::vector<Option>* out);
  bool runnable(const Context* c) const;
  bool advanceIdle();
  void wakeWaiters();
  void apply(const Option& option);
  void handOver(Context* self, Context* next, bool exiting);
  void awaitBaton(Context* self);
  void threadMain(Context* self);
  void dpcMain(Context* self);
  Context* makeContext(bool dpc);
  size_t pick(const std::vector<Option>& opts, size_t preferred, bool preemptive);
  uint64_t random();

  Kernel& kernel_;
  int processors_ = 1;
  bool engaged_ = false;
  bool busy_ = false;
  int processor_ = 0;
  Context* running_ = nullptr;
  std::vector<std::unique_ptr<Context>> contexts_;
  std::deque<Context*> ready_;  // threads waiting for a processor
  Cpu cpus_[kMaxProcessors];
  // Left in memory when a thread is stranded (see the destructor).
  std::mutex* mutex_ = new std::mutex;
  uint64_t state_ = kDefaultSeed;
  int64_t quantum_ = 0;
  std::function<size_t(const Choice&)> chooser_;
  Ticks longestSpin_ = 0;
  uint64_t switches_ = 0;
  std::map<uint32_t, Stack> stacks_;
  bool closing_ = false;
};

}  // namespace sim
