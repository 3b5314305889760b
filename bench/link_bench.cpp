// Controller-link throughput on the simulated board: host transactions per
// second, bus accesses and virtual microseconds per transaction, for a
// controller that answers at once.
#include <benchmark/benchmark.h>

#include <cstring>
#include <new>

#include "Board.h"
#include "DeviceExt.h"
#include "tamrixsc.h"

namespace {

class Link {
 public:
  Link() : board_(kernel_) {
    std::memset(storage_, 0, sizeof(storage_));
    ext_ = reinterpret_cast<CDeviceExt*>(storage_);
    new (&ext_->Message) CMessage(ext_);
    ext_->PortBase = board::Board::kDefaultGpioBase;
    ext_->AddressSpace = 1;
    g_DebugLevel = 0;
  }
  NTSTATUS transact(UCHAR code, UCHAR capacity) {
    UCHAR size = capacity;
    UCHAR status = 0;
    return ext_->Message.transact(code, nullptr, 0, 5000, reply_, &size, &status);
  }
  sim::Kernel& kernel() { return kernel_; }

 private:
  sim::Kernel kernel_;
  sim::Kernel::Scope activeKernel_{kernel_};
  board::Board board_;
  CDeviceExt* ext_;
  UCHAR reply_[64];
  alignas(16) unsigned char storage_[sizeof(CDeviceExt)];
};

void run(benchmark::State& state, UCHAR code, UCHAR capacity) {
  Link link;
  uint64_t accesses = link.kernel().bus.accessCount();
  sim::Ticks start = link.kernel().clock.now();
  int64_t failures = 0;
  for (auto _ : state) {
    if (!NT_SUCCESS(link.transact(code, capacity))) failures++;
  }
  double n = static_cast<double>(state.iterations());
  state.counters["transactions_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["bus_accesses_per_tx"] = static_cast<double>(link.kernel().bus.accessCount() - accesses) / n;
  state.counters["virtual_us_per_tx"] =
      static_cast<double>(link.kernel().clock.now() - start) / sim::kTicksPerUs / n;
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_Poll(benchmark::State& state) { run(state, POLL, 4); }
void BM_FirmwareVersion(benchmark::State& state) { run(state, FIRMWARE_VERSION, 64); }

BENCHMARK(BM_Poll);
BENCHMARK(BM_FirmwareVersion);

}  // namespace

BENCHMARK_MAIN();
