#include "sim/scheduler.h"

#include <pthread.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "sim/kernel.h"

namespace sim {

// A host thread with a stack of a set size. A thread made without one gets
// the process's stack limit (8 MB here), and a few hundred simulated
// threads at that size use up a 32-bit host's address space; the driver's
// paths, with the deferred calls delivered inside them, need far less.
class HostThread {
 public:
  static constexpr size_t kStackBytes = 2u << 20;

  void start(std::function<void()> body) {
    auto* heap = new std::function<void()>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackBytes);
    const int error = pthread_create(&id_, &attr, &HostThread::main, heap);
    pthread_attr_destroy(&attr);
    if (error != 0) {
      delete heap;
      throw std::system_error(error, std::generic_category(), "host thread");
    }
    started_ = true;
  }
  bool joinable() const { return started_; }
  void join() {
    pthread_join(id_, nullptr);
    started_ = false;
  }
  void detach() {
    pthread_detach(id_);
    started_ = false;
  }

 private:
  static void* main(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
  }

  pthread_t id_{};
  bool started_ = false;
};

struct Scheduler::Context {
  enum State {
    Ready,     // can run: on a processor, or waiting in the ready queue
    Waiting,   // a thread waiting for a condition or a moment, off its processor
    Spinning,  // spinning on a held lock, on its processor
    Parked,    // an idle loop with no work to deliver
    Done,      // a thread whose body has returned
  };
  uint32_t id = 0;
  bool idle = false;  // a processor's idle loop, not a thread
  State state = Ready;
  int cpu = -1;
  uint32_t activity = 0;         // what it runs when it gets the baton back
  bool deliverOnResume = false;  // its processor takes due work when it resumes
  std::function<void()> body;
  std::function<bool()> wakeWhen;
  Ticks wakeAt = -1;
  volatile KSPIN_LOCK* spinLock = nullptr;
  std::condition_variable cv;
  HostThread host;
  bool started = false;
};

Scheduler::Scheduler(Kernel& kernel) : kernel_(kernel) { enter(0); }

void Scheduler::enter(uint32_t activity) {
  activity_ = activity;
  stack_ = &stacks_[activity];
}

// Threads that ended, and idle loops with nothing to deliver, are ended and
// joined. A thread still inside the driver (a request that never
// completed, a spin that never ended) cannot be unwound through driver
// code: it stays parked for good, with its context and the lock it waits
// on left in memory.
Scheduler::~Scheduler() {
  closing_ = true;
  bool stranded = false;
  for (auto& c : contexts_) {
    if (!c->started || c.get() == running_) continue;
    if (c->state == Context::Parked || c->state == Context::Done) {
      if (c->state == Context::Parked) {
        std::lock_guard<std::mutex> lock(*mutex_);
        running_ = c.get();
        c->cv.notify_one();
      }
      if (c->host.joinable()) c->host.join();
    } else {
      c->host.detach();
      static_cast<void>(c.release());  // the stranded thread keeps its context
      stranded = true;
    }
  }
  if (!stranded) delete mutex_;
}

void Scheduler::setProcessors(int count) {
  processors_ = std::clamp(count, 1, kMaxProcessors);
  if (processors_ > 1) engage();
}

void Scheduler::setSeed(uint64_t seed) {
  state_ = seed;
  quantum_ = 0;
}

bool Scheduler::deferredWorkIdle() const {
  for (int p = 0; p < processors_; p++) {
    if (cpus_[p].inCalls || cpus_[p].inWork) return false;
  }
  return true;
}

size_t Scheduler::liveThreads() const {
  size_t n = 0;
  for (const auto& c : contexts_) {
    if (!c->idle && c->id != 0 && c->state != Context::Done) n++;
  }
  return n;
}

// splitmix64: small, and the same sequence on every host.
uint64_t Scheduler::random() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Scheduler::Context* Scheduler::makeContext(bool idle) {
  contexts_.push_back(std::make_unique<Context>());
  Context* c = contexts_.back().get();
  c->id = static_cast<uint32_t>(contexts_.size() - 1);
  c->activity = c->id;
  c->idle = idle;
  return c;
}

// From here on the script's thread is one thread among others, on
// processor 0, and the processors' deferred work waits for a choice.
void Scheduler::engage() {
  if (engaged_) return;
  engaged_ = true;
  Context* main = makeContext(false);
  main->started = true;
  main->cpu = 0;
  main->activity = activity_;
  cpus_[0].thread = main;
  running_ = main;
  processor_ = 0;
}

void Scheduler::spawn(std::function<void()> body) {
  engage();
  // Threads that have ended give their host thread back, so that a long
  // run does not keep one host thread, and its stack, per thread it made.
  for (auto& done : contexts_) {
    if (done->state == Context::Done && done->host.joinable() && done.get() != running_) done->host.join();
  }
  Context* c = makeContext(false);
  c->body = std::move(body);
  ready_.push_back(c);
}

// Deferred work ------------------------------------------------------------------

template <typename Work>
void Scheduler::asActivity(Work work) {
  const uint32_t outer = activity_;
  enter(nextActivity_++);
  work();
  stacks_.erase(activity_);
  enter(outer);
}

// The deferred calls run at DISPATCH_LEVEL while the processor's level is
// below it; the work items at PASSIVE_LEVEL, one after the other, while the
// processor is at that level. A deferred call interrupts a work item as it
// interrupts a thread; neither kind nests within itself.
void Scheduler::deliverHere() {
  const int p = processor_;
  Dispatcher& calls = kernel_.dispatcher;
  IoManager& io = kernel_.io;
  calls.expireDue();
  if (!cpus_[p].inCalls && kernel_.irql.level() < Irql::kDispatch && calls.hasQueued()) {
    cpus_[p].inCalls = true;
    asActivity([&calls] { calls.drain(); });
    cpus_[p].inCalls = false;
  }
  if (!cpus_[p].inWork && kernel_.irql.level() == Irql::kPassive && io.workQueued()) {
    cpus_[p].inWork = true;
    while (kernel_.irql.level() == Irql::kPassive) {
      PIO_WORKITEM item = io.takeQueuedWork();
      if (item == nullptr) break;
      asActivity([&io, item] { io.runWorkItem(item); });
    }
    cpus_[p].inWork = false;
  }
  due_ = calls.hasQueued() || io.workQueued();
}

// The only thread waits: nothing else can run, so its processor idles in
// place, taking its deferred work as it comes due, with time jumping to the
// next timer expiry. Deferred calls that would keep the processor busy past
// the deadline (a poll re-queued by its own periodic timer) stop there; the
// rest run at the next point.
bool Scheduler::idleInPlace(const std::function<bool()>& done, Ticks deadline) {
  Dispatcher& calls = kernel_.dispatcher;
  Dispatcher::IdleLimit limit(calls, deadline);
  Clock& clock = kernel_.clock;
  for (;;) {
    deliverHere();
    if (done()) return true;
    const Ticks next = calls.nextInterrupt();
    if (deadline >= 0 && (next < 0 || next > deadline)) {
      if (deadline > clock.now()) clock.advance(deadline - clock.now());
      deliverHere();
      return done();
    }
    if (next < 0) return done();  // nothing will ever happen
    if (next > clock.now()) clock.advance(next - clock.now());
  }
}

// Choices --------------------------------------------------------------------------

Scheduler::Context* Scheduler::runnerOf(int cpu) const {
  return cpus_[cpu].idleRuns ? cpus_[cpu].idle : cpus_[cpu].thread;
}

bool Scheduler::runnable(const Context* c) const {
  if (c == nullptr) return false;
  if (c->state == Context::Ready) return true;
  return c->state == Context::Spinning && *c->spinLock == 0;
}

bool Scheduler::dueFor(int cpu) const {
  const uint8_t level = kernel_.irql.levelOf(cpu);
  return (!cpus_[cpu].inCalls && level < Irql::kDispatch && kernel_.dispatcher.hasQueued()) ||
         (!cpus_[cpu].inWork && level == Irql::kPassive && kernel_.io.workQueued());
}

// Every way the machine can go on from here: each processor's runner goes
// on; a processor whose level allows takes the deferred work that is due,
// nested in whatever runs on it; a processor that is idle, or whose thread
// runs at PASSIVE_LEVEL and may be preempted, takes the first ready thread.
void Scheduler::options(std::vector<Option>* out) {
  out->clear();
  kernel_.dispatcher.expireDue();
  // Idle processors are alike: only the first of them is offered work.
  bool idleOffered = false;
  for (int p = 0; p < processors_; p++) {
    const Cpu& cpu = cpus_[p];
    Context* runner = runnerOf(p);
    if (runnable(runner)) out->push_back({Option::Run, p, runner});
    if (runner == nullptr) {
      if (idleOffered) continue;
      idleOffered = true;
    }
    if (dueFor(p)) out->push_back({Option::Deliver, p, runner});
    const bool delivering = cpu.inCalls || cpu.inWork || cpu.idleRuns;
    if (!ready_.empty() && !delivering && (runner == nullptr || kernel_.irql.levelOf(p) == Irql::kPassive)) {
      out->push_back({Option::Place, p, ready_.front()});
    }
  }
}

void Scheduler::wakeWaiters() {
  const Ticks now = kernel_.clock.now();
  for (auto& c : contexts_) {
    if (c->state != Context::Waiting) continue;
    bool due = c->wakeAt >= 0 && now >= c->wakeAt;
    if (due || (c->wakeWhen && c->wakeWhen())) {
      c->state = Context::Ready;
      c->wakeWhen = nullptr;
      c->wakeAt = -1;
      ready_.push_back(c.get());
    }
  }
}

// No processor can run: time passes to the next timer interrupt or the
// next moment a thread waits for. False when nothing will ever happen.
bool Scheduler::advanceIdle() {
  const Ticks now = kernel_.clock.now();
  Ticks next = kernel_.dispatcher.nextInterrupt();
  for (const auto& c : contexts_) {
    if (c->state == Context::Waiting && c->wakeAt >= 0 && (next < 0 || c->wakeAt < next)) next = c->wakeAt;
  }
  if (next < 0) return false;
  kernel_.clock.advance(std::max<Ticks>(next - now, 1));
  return true;
}

size_t Scheduler::pick(const std::vector<Option>& opts, size_t preferred, bool preemptive) {
  if (chooser_) {
    // The search sees the preferred way first.
    size_t k = chooser_(Choice{opts.size(), preemptive});
    if (k >= opts.size()) k = 0;
    if (k == 0) return preferred;
    return k <= preferred ? k - 1 : k;
  }
  // A random way, then a random stretch of points before the next choice:
  // from one point to a few thousand, so that both fine and coarse
  // interleavings come up.
  size_t k = static_cast<size_t>(random() % opts.size());
  // Two draws in two statements: the order of two calls in one expression
  // is the compiler's choice, and the run must not depend on it.
  const uint64_t scale = random() % 12;
  quantum_ = 1 + static_cast<int64_t>(random() % (uint64_t{1} << scale));
  return k;
}

Scheduler::Context* Scheduler::apply(const Option& o, Context* self) {
  (void)self;
  Cpu& cpu = cpus_[o.cpu];
  if (o.kind == Option::Deliver) {
    Context* runner = o.context;
    if (runner == nullptr) {
      if (cpu.idle == nullptr) {
        cpu.idle = makeContext(true);
        cpu.idle->cpu = o.cpu;
      }
      cpu.idleRuns = true;
      cpu.idle->state = Context::Ready;
      runner = cpu.idle;
    }
    runner->deliverOnResume = true;
    return runner;
  }
  if (o.kind == Option::Place) {
    ready_.pop_front();
    if (cpu.thread != nullptr) {
      cpu.thread->cpu = -1;
      ready_.push_back(cpu.thread);
    }
    o.context->cpu = o.cpu;
    cpu.thread = o.context;
  }
  return o.context;
}

void Scheduler::pickAndSwitch(Context* self, bool selfRunnable, bool exiting) {
  std::vector<Option> opts;
  for (;;) {
    wakeWaiters();
    options(&opts);
    if (!opts.empty()) break;
    if (advanceIdle()) continue;
    // Only spinners are left, and no one holds a way to free their locks.
    for (auto& c : contexts_) {
      if (c->state == Context::Spinning) {
        kernel_.verifier.report(Rule::SpinLockAlreadyOwned,
                                "spin lock " + hex(reinterpret_cast<uintptr_t>(c->spinLock)) +
                                    " is held and no processor can release it: a deadlock");
        *c->spinLock = 0;
        break;
      }
    }
    options(&opts);
    if (opts.empty()) throw std::logic_error("simulated machine: nothing can run and nothing will happen");
    break;
  }
  size_t preferred = 0;
  if (selfRunnable) {
    for (size_t i = 0; i < opts.size(); i++) {
      if (opts[i].kind == Option::Run && opts[i].context == self) preferred = i;
    }
  }
  size_t k = opts.size() == 1 ? 0 : pick(opts, preferred, selfRunnable);
  handOver(self, apply(opts[k], self), exiting);
}

void Scheduler::reschedule(Point kind) {
  busy_ = true;
  Context* self = running_;
  bool choice = chooser_ ? (kind == Point::Call || kind == Point::BusWrite) : --quantum_ <= 0;
  if (choice || !runnable(self)) pickAndSwitch(self, runnable(self), false);
  busy_ = false;
  resumed(self);
}

// A context back from a switch delivers the work its processor was chosen
// to take.
void Scheduler::resumed(Context* self) {
  if (!self->deliverOnResume) return;
  self->deliverOnResume = false;
  deliverHere();
}

// Host threads --------------------------------------------------------------------

void Scheduler::handOver(Context* self, Context* next, bool exiting) {
  std::unique_lock<std::mutex> lock(*mutex_);
  processor_ = next->cpu;
  if (next == self) return;
  switches_++;
  self->activity = activity_;
  running_ = next;
  enter(next->activity);
  if (!next->started) {
    next->started = true;
    next->host.start([this, next] {
      if (next->idle) {
        idleMain(next);
      } else {
        threadMain(next);
      }
    });
  } else {
    next->cv.notify_one();
  }
  if (exiting) return;
  self->cv.wait(lock, [&] { return running_ == self; });
  processor_ = self->cpu;
  enter(self->activity);
}

void Scheduler::awaitBaton(Context* self) {
  std::unique_lock<std::mutex> lock(*mutex_);
  self->cv.wait(lock, [&] { return running_ == self; });
  processor_ = self->cpu;
  enter(self->activity);
}

void Scheduler::threadMain(Context* self) {
  awaitBaton(self);
  busy_ = false;
  self->body();
  busy_ = true;
  cpus_[self->cpu].thread = nullptr;
  self->cpu = -1;
  self->state = Context::Done;
  pickAndSwitch(self, false, true);
}

// A processor's idle loop: given the baton, it delivers the work its
// processor was chosen to take, then parks until it is chosen again.
void Scheduler::idleMain(Context* self) {
  for (;;) {
    awaitBaton(self);
    if (closing_) return;
    busy_ = false;
    resumed(self);
    busy_ = true;
    cpus_[self->cpu].idleRuns = false;
    self->state = Context::Parked;
    pickAndSwitch(self, false, false);
  }
}

bool Scheduler::waitUntil(std::function<bool()> done, Ticks deadline) {
  if (done()) return true;
  if (!engaged_) return idleInPlace(done, deadline);
  Context* self = running_;
  if (self->idle || cpus_[processor_].inCalls) throw std::logic_error("a deferred call cannot wait");
  busy_ = true;
  self->state = Context::Waiting;
  self->wakeWhen = done;
  self->wakeAt = deadline;
  cpus_[self->cpu].thread = nullptr;
  self->cpu = -1;
  pickAndSwitch(self, false, false);
  busy_ = false;
  return done();
}

Ticks Scheduler::spin(volatile KSPIN_LOCK* lock) {
  Context* self = running_;
  const Ticks start = kernel_.clock.now();
  busy_ = true;
  while (*lock != 0) {
    self->state = Context::Spinning;
    self->spinLock = lock;
    pickAndSwitch(self, false, false);
  }
  self->state = Context::Ready;
  self->spinLock = nullptr;
  busy_ = false;
  const Ticks spun = kernel_.clock.now() - start;
  longestSpin_ = std::max(longestSpin_, spun);
  return spun;
}

}  // namespace sim
