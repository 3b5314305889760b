// The simulated clock and bus alone, below the driver: a port read and a
// port write through the HAL exports to the board model, with and without
// the claim check that a loaded driver's accesses pass, and a stall that
// only moves the clock, with timers armed. Every register access and every
// busy wait of the driver costs at least this much host time.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "Board.h"
#include "Registers.h"
#include "platform.h"
#include "sim/kernel.h"

namespace {

// A kernel and the default board, nothing loaded: the GPIO block at its
// port base, the controller idle behind it. With `claimed`, every access
// is checked against a claimed and translated range, as the machine checks
// a loaded driver's.
class Rig {
 public:
  explicit Rig(bool claimed) : board_(kernel_) {
    if (!claimed) return;
    const uint32_t base = board::Board::kDefaultGpioBase;
    kernel_.resources.report(this, {{base, Gpio::kBlockLength, true}});
    kernel_.translations.push_back({base, Gpio::kBlockLength, 1, base});
    kernel_.enforceClaims();
  }
  // Periodic timers without a deferred call, each due a second from now
  // and every second after.
  void armTimers(int count) {
    timers_.resize(static_cast<size_t>(count));
    for (KTIMER& timer : timers_) {
      KeInitializeTimer(&timer);
      LARGE_INTEGER due;
      due.QuadPart = -1000 * sim::kTicksPerMs;
      KeSetTimerEx(&timer, due, 1000, nullptr);
    }
  }
  sim::Kernel& kernel() { return kernel_; }
  // A port of the GPIO block, as the driver names it.
  static PUCHAR port(uint32_t offset) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a port number travels as a pointer
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(board::Board::kDefaultGpioBase + offset));
  }

 private:
  sim::Kernel kernel_;
  sim::Kernel::Scope activeKernel_{kernel_};
  board::Board board_;
  std::vector<KTIMER> timers_;
};

void report(benchmark::State& state, Rig& rig, uint64_t accessesBefore, sim::Ticks start) {
  const double n = static_cast<double>(state.iterations());
  state.counters["ops_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["bus_accesses_per_op"] =
      static_cast<double>(rig.kernel().bus.accessCount() - accessesBefore) / n;
  state.counters["virtual_us_per_op"] =
      static_cast<double>(rig.kernel().clock.now() - start) / sim::kTicksPerUs / n;
  state.counters["violations"] = static_cast<double>(rig.kernel().verifier.violations().size());
}

// A look at the handshake lines: what every wait of the driver repeats.
void BM_PortRead(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  const uint64_t accesses = rig.kernel().bus.accessCount();
  const sim::Ticks start = rig.kernel().clock.now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(READ_PORT_UCHAR(Rig::port(Gpio::kRegControl)));
  }
  report(state, rig, accesses, start);
}

// A line-configuration write that changes no line: the bus, the block and
// the controller's look at the lines, and nothing that the controller does.
void BM_PortWrite(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  const uint64_t accesses = rig.kernel().bus.accessCount();
  const sim::Ticks start = rig.kernel().clock.now();
  for (auto _ : state) {
    WRITE_PORT_UCHAR(Rig::port(Gpio::kRegLineConfig), Gpio::kLineInput);
  }
  report(state, rig, accesses, start);
}

// The shortest stall, with this many timers armed: the clock moves, the
// timers are looked at when one may be due.
void BM_Stall(benchmark::State& state) {
  Rig rig(false);
  rig.armTimers(static_cast<int>(state.range(0)));
  const uint64_t accesses = rig.kernel().bus.accessCount();
  const sim::Ticks start = rig.kernel().clock.now();
  for (auto _ : state) {
    KeStallExecutionProcessor(1);
  }
  report(state, rig, accesses, start);
}

BENCHMARK(BM_PortRead)->ArgName("claims")->Arg(0)->Arg(1);
BENCHMARK(BM_PortWrite)->ArgName("claims")->Arg(0)->Arg(1);
BENCHMARK(BM_Stall)->ArgName("timers")->Arg(0)->Arg(1)->Arg(8);

}  // namespace

BENCHMARK_MAIN();
