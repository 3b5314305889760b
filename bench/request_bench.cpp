// Whole device-control round trips through the simulated I/O manager and
// the driver, and the virtual time each kind of request holds the processor
// at DISPATCH_LEVEL, next to the bound the driver's time-outs imply.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "Machine.h"
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
  int frameBytes;     // command frame length
  int attempts;       // attempts with the default of 3 retries
  int64_t replyUs;    // reply timer
};

constexpr int64_t kTickUs = 15625;  // default clock increment
constexpr int64_t kBusUs = 1;       // one LPC bus cycle
constexpr int64_t kRetryDelayUs = 1000;

// The longest a wait of `us` can last: counted 5 us or 20 us stalls with a
// register sample each, or, beyond one clock tick, the deadline one tick
// past the interval, seen at the clock interrupt after it.
int64_t waitBound(int64_t us) {
  if (us <= 500) return us / 5 * (5 + kBusUs) + kBusUs;
  if (us <= kTickUs) return us / 20 * (20 + kBusUs) + kBusUs;
  return us + 2 * kTickUs;
}

// A controller that takes the command and never answers: the whole command
// frame (15 accesses a byte, 13 around it), the lines turned to input, then
// the reply timer; a retry delay between attempts.
int64_t noReplyBound(const Kind& k) {
  int64_t attempt = (13 + 15 * k.frameBytes + 8) * kBusUs + waitBound(k.replyUs);
  return k.attempts * attempt + (k.attempts - 1) * kRetryDelayUs;
}

// A silent controller: each attempt ends at the first byte, when TRDY has
// not come within 200 us.
int64_t silentBound(const Kind& k) {
  int64_t attempt = 13 * kBusUs + waitBound(200);
  return k.attempts * attempt + (k.attempts - 1) * kRetryDelayUs;
}

void report() {
  const Kind kinds[] = {
      {"HD_STATUS_QUERY", IOCTL_SC_HD_STATUS_QUERY, 12, 12, 0, 3, 3, 5000},
      {"HD_MESSAGE_ADD", IOCTL_SC_HD_MESSAGE_ADD, 12, 12, 0, 8, 3, 5000},
      {"SWITCH_CONNECT", IOCTL_SC_SWITCH_CONNECT, 12, 12, CS_CURRENT, 6, 3, 5000},
      {"STATUS_LED_ON", IOCTL_SC_STATUS_LED_ON, 0, 0, 0, 3, 1, 5000},
      {"COMMAND4", IOCTL_SC_COMMAND4, 0, 0, 0, 3, 1, 1000000},
      {"FIRMWARE_VERSION", IOCTL_SC_FIRMWARE_VERSION, 0, 72, 0, 0, 0, 0},
  };
  std::printf("\nVirtual time at DISPATCH_LEVEL per request (us), default parameters\n");
  std::printf("%-18s %10s %10s %10s %10s %10s\n", "request", "prompt", "no-reply", "bound", "silent",
              "bound");
  for (const Kind& k : kinds) {
    Bench prompt;
    int64_t promptUs = dispatchUs(prompt, k.code, k.in, k.out, k.firstByte);
    Bench noReply;
    noReply.machine.board.controller.faults().noReplyCount = 1000;
    int64_t noReplyUs = dispatchUs(noReply, k.code, k.in, k.out, k.firstByte);
    Bench silent;
    silent.machine.board.controller.setSilent(true);
    int64_t silentUs = dispatchUs(silent, k.code, k.in, k.out, k.firstByte);
    std::printf("%-18s %10lld %10lld %10lld %10lld %10lld\n", k.name, static_cast<long long>(promptUs),
                static_cast<long long>(noReplyUs), static_cast<long long>(k.attempts ? noReplyBound(k) : 0),
                static_cast<long long>(silentUs), static_cast<long long>(k.attempts ? silentBound(k) : 0));
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
