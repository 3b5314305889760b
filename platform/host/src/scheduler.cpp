#include "sim/scheduler.h"

#include <algorithm>
#include <stdexcept>

#include "sim/kernel.h"

namespace sim {

struct Scheduler::Context {
  enum State {
    Ready,     // can run: on a processor, or waiting in the ready queue
    Waiting,   // a thread waiting for a condition or a moment, off its processor
    Spinning,  // spinning on a held lock, on its processor
    Parked,    // a deferred-call context with no call to run
    Done,      // a thread whose body has returned
  };
  uint32_t id = 0;
  bool dpc = false;
  State state = Ready;
  int cpu = -1;
  std::function<void()> body;
  std::function<bool()> wakeWhen;
  Ticks wakeAt = -1;
  volatile KSPIN_LOCK* spinLock = nullptr;
  std::condition_variable cv;
  std::thread host;
  bool started = false;
};

Scheduler::Scheduler(Kernel& kernel) : kernel_(kernel) {}

// Threads that ended, and deferred-call contexts with nothing to run, are
// ended and joined. A thread still inside the driver (a request that never
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
      c->host.join();
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

uint32_t Scheduler::context() const { return running_ == nullptr ? 0 : running_->id; }

bool Scheduler::inDeferredCall() const { return engaged_ && cpus_[processor_].inDpc; }

bool Scheduler::deferredCallsIdle() const {
  for (int p = 0; p < processors_; p++) {
    if (cpus_[p].inDpc) return false;
  }
  return true;
}

size_t Scheduler::liveThreads() const {
  size_t n = 0;
  for (const auto& c : contexts_) {
    if (!c->dpc && c->id != 0 && c->state != Context::Done) n++;
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

Scheduler::Context* Scheduler::makeContext(bool dpc) {
  contexts_.push_back(std::make_unique<Context>());
  Context* c = contexts_.back().get();
  c->id = static_cast<uint32_t>(contexts_.size() - 1);
  c->dpc = dpc;
  return c;
}

// From here on the script's thread is one thread among others, on
// processor 0, and deferred calls wait for a processor to take them.
void Scheduler::engage() {
  if (engaged_) return;
  engaged_ = true;
  Context* main = makeContext(false);
  main->started = true;
  main->cpu = 0;
  cpus_[0].thread = main;
  running_ = main;
  processor_ = 0;
  kernel_.dispatcher.deferCalls();
}

void Scheduler::spawn(std::function<void()> body) {
  engage();
  Context* c = makeContext(false);
  c->body = std::move(body);
  ready_.push_back(c);
}

bool Scheduler::runnable(const Context* c) const {
  if (c == nullptr) return false;
  if (c->state == Context::Ready) return true;
  return c->state == Context::Spinning && *c->spinLock == 0;
}

// Every way the machine can go on from here: each processor's runner goes
// on; a processor below DISPATCH_LEVEL takes the first queued deferred
// call, interrupting its thread; a processor that is idle, or whose thread
// runs at PASSIVE_LEVEL and may be preempted, takes the first ready thread.
void Scheduler::options(std::vector<Option>* out) {
  out->clear();
  kernel_.dispatcher.expireDue();
  const bool dpcQueued = !kernel_.dispatcher.queuedDpcs().empty();
  // Idle processors are alike: only the first of them is offered work.
  bool idleOffered = false;
  for (int p = 0; p < processors_; p++) {
    Cpu& cpu = cpus_[p];
    Context* runner = cpu.inDpc ? cpu.dpc : cpu.thread;
    if (runnable(runner)) out->push_back({Option::Run, p, runner});
    if (cpu.inDpc) continue;
    if (runner == nullptr) {
      if (idleOffered) continue;
      idleOffered = true;
    }
    const uint8_t level = kernel_.irql.levelOf(p);
    if (dpcQueued && level < Irql::kDispatch) out->push_back({Option::TakeDpc, p, nullptr});
    if (!ready_.empty() && (runner == nullptr || level == Irql::kPassive)) {
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

void Scheduler::apply(const Option& o) {
  Cpu& cpu = cpus_[o.cpu];
  if (o.kind == Option::TakeDpc) {
    // A deferred call runs at DISPATCH_LEVEL on the processor that takes
    // it, on top of whatever that processor was doing.
    cpu.pending = kernel_.dispatcher.takeQueued();
    cpu.inDpc = true;
    processor_ = o.cpu;
    cpu.levelBeforeDpc = kernel_.irql.level();
    kernel_.irql.set(Irql::kDispatch);
    if (cpu.dpc == nullptr) {
      cpu.dpc = makeContext(true);
      cpu.dpc->cpu = o.cpu;
    }
    cpu.dpc->state = Context::Ready;
  } else if (o.kind == Option::Place) {
    ready_.pop_front();
    if (cpu.thread != nullptr) {
      cpu.thread->cpu = -1;
      ready_.push_back(cpu.thread);
    }
    o.context->cpu = o.cpu;
    cpu.thread = o.context;
  }
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
  const Option& o = opts[k];
  apply(o);
  Context* next = o.kind == Option::TakeDpc ? cpus_[o.cpu].dpc : o.context;
  handOver(self, next, exiting);
}

void Scheduler::reschedule(Point kind) {
  busy_ = true;
  Context* self = running_;
  bool choice = chooser_ ? (kind == Point::Call || kind == Point::BusWrite) : --quantum_ <= 0;
  if (choice || !runnable(self)) pickAndSwitch(self, runnable(self), false);
  busy_ = false;
}

void Scheduler::handOver(Context* self, Context* next, bool exiting) {
  std::unique_lock<std::mutex> lock(*mutex_);
  processor_ = next->cpu;
  if (next == self) return;
  switches_++;
  running_ = next;
  if (!next->started) {
    next->started = true;
    next->host = std::thread(next->dpc ? &Scheduler::dpcMain : &Scheduler::threadMain, this, next);
  } else {
    next->cv.notify_one();
  }
  if (exiting) return;
  self->cv.wait(lock, [&] { return running_ == self; });
  processor_ = self->cpu;
}

void Scheduler::awaitBaton(Context* self) {
  std::unique_lock<std::mutex> lock(*mutex_);
  self->cv.wait(lock, [&] { return running_ == self; });
  processor_ = self->cpu;
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

void Scheduler::dpcMain(Context* self) {
  for (;;) {
    awaitBaton(self);
    if (closing_) return;
    busy_ = false;
    Cpu& cpu = cpus_[self->cpu];
    kernel_.dispatcher.runCall(cpu.pending);
    busy_ = true;
    kernel_.irql.set(cpu.levelBeforeDpc);
    cpu.pending = nullptr;
    cpu.inDpc = false;
    self->state = Context::Parked;
    pickAndSwitch(self, false, false);
  }
}

bool Scheduler::waitUntil(std::function<bool()> done, Ticks deadline) {
  if (done()) return true;
  engage();
  Context* self = running_;
  if (self->dpc) throw std::logic_error("a deferred call cannot wait");
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
