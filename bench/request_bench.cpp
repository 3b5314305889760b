// Whole device-control round trips through the simulated I/O manager and
// the driver, and the virtual time each kind of request holds the processor
// at DISPATCH_LEVEL, next to the bound the driver's time-outs imply.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "DeviceExt.h"
#include "Machine.h"
#include "request_bounds.h"
#include "scioctl.h"

namespace {

constexpr int64_t kUs = sim::kTicksPerUs;

// A loaded driver on the default board, Cardlan disconnected so that the
// display takes requests, trace level 0 so that tracing costs nothing.
class Bench {
 public:
  Bench() : machine([](const std::string&) {}) {
    machine.load();
    request(IOCTL_SC_DEBUG_LEVEL, std::vector<uint8_t>{0, 0, 0, 0}, 4, 4);
    request(IOCTL_SC_SWITCH_DISCONNECT, std::vector<uint8_t>(12, 0), 12, 12);
  }
  NTSTATUS request(uint32_t code, const std::vector<uint8_t>& input, uint32_t in, uint32_t out) {
    NTSTATUS status = -1;
    machine.ioctl(code, input, in, out, true,
                  [&](const scsim::Machine::IoctlResult& r) { status = r.status; });
    return status;
  }
  scsim::Machine machine;
};

void roundTrips(benchmark::State& state, uint32_t code, uint32_t in, uint32_t out) {
  Bench bench;
  std::vector<uint8_t> input(in, 0);
  int64_t failures = 0;
  for (auto _ : state) {
    if (bench.request(code, input, in, out) != 0) failures++;
  }
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_HexDisplayStatusQuery(benchmark::State& state) {
  roundTrips(state, IOCTL_SC_HD_STATUS_QUERY, 12, 12);
}
void BM_DebugLevel(benchmark::State& state) { roundTrips(state, IOCTL_SC_DEBUG_LEVEL, 4, 4); }
void BM_FirmwareVersion(benchmark::State& state) { roundTrips(state, IOCTL_SC_FIRMWARE_VERSION, 0, 72); }
BENCHMARK(BM_HexDisplayStatusQuery);
BENCHMARK(BM_DebugLevel);
BENCHMARK(BM_FirmwareVersion);

// Virtual microseconds at DISPATCH_LEVEL for one request, up to its
// completion: a poll that the request held back runs after it and is not
// the request's own time.
int64_t dispatchUs(Bench& bench, uint32_t code, uint32_t in, uint32_t out, uint8_t firstByte) {
  std::vector<uint8_t> input(in, 0);
  if (in != 0) input[0] = firstByte;
  sim::Irql& irql = bench.machine.kernel.irql;
  int64_t before = irql.dispatchTicks();
  int64_t atCompletion = before;
  bench.machine.ioctl(code, input, in, out, true,
                      [&](const scsim::Machine::IoctlResult&) { atCompletion = irql.dispatchTicks(); });
  return (atCompletion - before) / kUs;
}

struct Kind {
  const char* name;
  uint32_t code;
  uint32_t in, out;
  uint8_t firstByte;  // of the request record
};

// The driver's own bound for the request on the bench's record: what a
// test holds every measured time to.
int64_t boundUs(Bench& bench, uint32_t code) {
  PDEVICE_OBJECT device = bench.machine.kernel.io.lookup(scsim::Machine::kLinkName);
  return test::requestBoundUs(*static_cast<const CDeviceExt*>(device->DeviceExtension), code);
}

void report() {
  const Kind kinds[] = {
      {"HD_STATUS_QUERY", IOCTL_SC_HD_STATUS_QUERY, 12, 12, 0},
      {"HD_MESSAGE_ADD", IOCTL_SC_HD_MESSAGE_ADD, 12, 12, 0},
      {"SWITCH_CONNECT", IOCTL_SC_SWITCH_CONNECT, 12, 12, CS_CURRENT},
      {"STATUS_LED_ON", IOCTL_SC_STATUS_LED_ON, 0, 0, 0},
      {"COMMAND4", IOCTL_SC_COMMAND4, 0, 0, 0},
      {"FIRMWARE_VERSION", IOCTL_SC_FIRMWARE_VERSION, 0, 72, 0},
  };
  std::printf(
      "\nVirtual time at DISPATCH_LEVEL per request (us), default parameters, beside the driver's "
      "bound\n");
  std::printf("%-18s %10s %10s %10s %10s\n", "request", "prompt", "no-reply", "silent", "bound");
  for (const Kind& k : kinds) {
    Bench prompt;
    int64_t promptUs = dispatchUs(prompt, k.code, k.in, k.out, k.firstByte);
    Bench noReply;
    noReply.machine.board.controller.faults().noReplyCount = 1000;
    int64_t noReplyUs = dispatchUs(noReply, k.code, k.in, k.out, k.firstByte);
    Bench silent;
    silent.machine.board.controller.setSilent(true);
    int64_t silentUs = dispatchUs(silent, k.code, k.in, k.out, k.firstByte);
    std::printf("%-18s %10lld %10lld %10lld %10lld\n", k.name, static_cast<long long>(promptUs),
                static_cast<long long>(noReplyUs), static_cast<long long>(silentUs),
                static_cast<long long>(boundUs(prompt, k.code)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  report();
  return 0;
}
