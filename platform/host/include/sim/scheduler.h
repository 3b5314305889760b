// Processors, threads and deferred work of the simulated machine: the one
// executor through which deferred calls, work items, timers and threads
// run, whether the machine has one processor or four.
//
// Deferred work runs on a processor, nested in whatever runs there, as an
// interrupt runs it: the deferred calls at DISPATCH_LEVEL once the
// processor's level is below it, the work items at PASSIVE_LEVEL as a
// system worker thread of real-time priority takes the processor from a
// thread at that level. Each delivery is an activity of its own, with a
// kernel stack of its own, so that conversations and stacks are told apart.
//
// With one processor and only the script's thread, everything runs in
// that thread: the processor takes the work due for it at the next point
// its level allows, and a thread that waits idles its processor in place.
// Once the machine has more processors or a second thread, every thread of
// the simulated machine (the script's, each request thread) and each
// processor's idle loop is a host thread, but only one runs at a time: it
// holds the baton until it reaches a point where real processors
// interleave (a kernel or HAL call, a bus access, a spin-lock attempt),
// where the scheduler picks who goes on, and which processor takes the
// deferred work that is due. The picks come from a seeded generator, or
// from a search that enumerates them, so a run is a function of its script
// and its seed.
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

  // The processor that runs now, and the activity: a thread, or a delivery
  // of deferred work nested in one (0 for the script's thread).
  int processor() const { return processor_; }
  const int* processorSlot() const { return &processor_; }
  uint32_t context() const { return activity_; }

  // A point where the running thread may be overtaken, and where its
  // processor takes the deferred work that is due for it.
  [[gnu::always_inline]] void point(Point kind) {
    if (busy_) return;
    if (engaged_) {
      reschedule(kind);
    } else if (due_) {
      deliverHere();
    }
  }
  // Deferred work has been queued or timers may have expired: a processor
  // takes it at its next point.
  void workQueued() { due_ = true; }

  // Starts a thread at PASSIVE_LEVEL that runs `body`; it runs when the
  // scheduler first gives it a processor. The caller goes on.
  void spawn(std::function<void()> body);

  // The running thread waits at PASSIVE_LEVEL, without its processor,
  // until `done` holds or virtual time reaches `deadline` (none when
  // negative); meanwhile timers expire and the processors take their
  // deferred work. Returns done().
  bool waitUntil(std::function<bool()> done, Ticks deadline);

  // The spin of a processor on a held spin lock, until `lock` reads free.
  // Returns the virtual time it spun.
  Ticks spin(volatile KSPIN_LOCK* lock);
  // Spin locks do not exclude: a test's way to take a lock's exclusion
  // away and see what the lock was for. Acquiring still raises the IRQL.
  bool spinLocksIgnored = false;
  // The longest spin on any lock so far.
  Ticks longestSpin() const { return longestSpin_; }

  // No processor is running deferred work.
  bool deferredWorkIdle() const;
  // Threads that have not ended yet, the script's apart.
  size_t liveThreads() const;
  uint64_t switches() const { return switches_; }

  // The driver routines nested on the running activity's kernel stack.
  struct Stack {
    int frames = 0;
    bool overflowed = false;
    int locks = 0;  // spin locks taken and not yet released
  };
  Stack& stack() { return *stack_; }
  // Whether the activity holds a spin lock (counted even while spin locks
  // exclude nothing). An activity at DISPATCH_LEVEL never leaves its
  // processor, so the count is the activity's own.
  bool holdsSpinLock(uint32_t activity) const {
    if (activity == activity_) return stack_->locks > 0;
    auto it = stacks_.find(activity);
    return it != stacks_.end() && it->second.locks > 0;
  }

 private:
  struct Context;
  struct Cpu {
    Context* thread = nullptr;  // the thread on it, when it has one
    Context* idle = nullptr;    // its idle loop, once made
    bool idleRuns = false;      // the idle loop delivers work on it
    bool inCalls = false;       // it is running deferred calls
    bool inWork = false;        // it is running work items
  };
  struct Option {
    enum Kind { Run, Deliver, Place } kind;
    int cpu;
    Context* context;
  };

  // The running activity becomes `activity`.
  void enter(uint32_t activity);
  void engage();
  void reschedule(Point kind);
  // Picks who runs next and hands over, with the caller in `self`;
  // `selfRunnable` when the caller could go on.
  void pickAndSwitch(Context* self, bool selfRunnable, bool exiting);
  void options(std::vector<Option>* out);
  bool dueFor(int cpu) const;
  Context* runnerOf(int cpu) const;
  bool runnable(const Context* c) const;
  bool advanceIdle();
  void wakeWaiters();
  // Returns the context that goes on.
  Context* apply(const Option& option, Context* self);
  void handOver(Context* self, Context* next, bool exiting);
  void awaitBaton(Context* self);
  void resumed(Context* self);
  void threadMain(Context* self);
  void idleMain(Context* self);
  Context* makeContext(bool idle);
  size_t pick(const std::vector<Option>& opts, size_t preferred, bool preemptive);
  uint64_t random();
  // Runs the deferred work due on this processor, nested here.
  void deliverHere();
  template <typename Work>
  void asActivity(Work work);
  // The only thread waits: its processor idles in place.
  bool idleInPlace(const std::function<bool()>& done, Ticks deadline);

  Kernel& kernel_;
  int processors_ = 1;
  bool engaged_ = false;
  bool busy_ = false;
  bool due_ = false;
  int processor_ = 0;
  uint32_t activity_ = 0;
  // The running activity's stack, its entry in stacks_: every change of
  // activity goes through enter(), which looks it up once, and an entry is
  // erased only once its activity has ended.
  Stack* stack_ = nullptr;
  uint32_t nextActivity_ = 1u << 20;  // deliveries, apart from the threads' ids
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
