// The controller link under a controller that does anything: every command
// of the driver, through the functions that send it, against a controller
// whose timing, replies and faults come from the fuzzer's bytes.
//
// Input: a header, then operations, then the controller's script.
//   byte 0  trace level: 0 below 0xC0, else mod 6
//   byte 1  attempts per command (mod 4); bits 2-3 the retry delay
//           (1000, 0, 20 or 100 us)
//   byte 2  reply timer (index, mod 6)  byte 3  operations, 1 + (mod 6)
//   then 8 bytes per operation (code, 7 arguments), then the script that
//   ScriptedController reads its choices from; past its end it works.
// Operations, by a fixed number (code mod 32): 0 to 19 the functions that
// send the twenty command codes (DRIVER_CONNECT ... HD_MESSAGE_DELETE, the
// poll with its state change among them), 20 one transaction with any code,
// payload length and reply capacity, 21 a message the controller posts, 22
// new attempts, reply timer, trace level and noise on the unused control
// bits; 23 to 31 do nothing yet.
//
// Checked after each operation: no byte of the device extension changed
// other than the message frame, the dump buffer and the fields the command
// itself keeps its result in; the caller's buffers are allocated to their
// exact size, so that AddressSanitizer sees a byte past them; the status is
// one the link can return; the virtual time spent is bounded; the verifier
// saw nothing. After the last operation the controller works again, and a
// poll must then succeed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "DeviceExt.h"
#include "Registers.h"
#include "ScriptedController.h"
#include "sim/kernel.h"
#include "tamrixsc.h"

namespace {

constexpr uint32_t kGpioBase = 0x0A00;
constexpr ULONG kReplyTimers[] = {0, 50, 200, 1000, 5000, 20000};
constexpr ULONG kRetryDelays[] = {1000, 0, 20, 100};
constexpr size_t kHeader = 4;
constexpr size_t kOperationSize = 8;
constexpr uint8_t kOperationSpace = 32;
constexpr uint8_t kLastOperation = 22;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "link_fuzzer: FINDING: %s\n", what);
  std::abort();
}

struct Bench {
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
  fuzz::Bytes script;
  fuzz::ScriptedController controller{kernel.clock, script};
  DRIVER_OBJECT driverObject;
  DEVICE_OBJECT deviceObject;
  // The extension alone in a heap block of its size: a byte written past
  // either end of it is AddressSanitizer's to see.
  unsigned char* storage = new unsigned char[sizeof(CDeviceExt)];
  CDeviceExt* ext;

  Bench() {
    std::memset(&driverObject, 0, sizeof(driverObject));
    std::memset(&deviceObject, 0, sizeof(deviceObject));
    kernel.names.set(&driverObject, "\\Driver\\TAMRIXSC");
    kernel.names.set(&deviceObject, "\\Device\\8051SC0");
    kernel.bus.attach(sim::Space::Port, kGpioBase, Gpio::kBlockLength, &controller);
    ext = reinterpret_cast<CDeviceExt*>(storage);
  }

  // An extension as start-up leaves it, with the lines idle.
  void reset(LONG retries, ULONG retryDelay, ULONG replyTimer) {
    std::memset(storage, 0, sizeof(CDeviceExt));
    new (&ext->Message) CMessage(ext);
    ext->DriverObject = &driverObject;
    ext->DeviceObject = &deviceObject;
    ext->PortBase = kGpioBase;
    ext->AddressSpace = 1;
    ext->DevTimeoutComm = 60;
    ext->DevTimeoutPoll = 62;
    ext->DevTimeoutWatchdog = 600;
    ext->CmdReplyTimer = replyTimer;
    ext->CmdRetryDelay = retryDelay;
    ext->CmdMaxRetries = retries;
    ext->TimerPollCardlan = 1000;
    ext->TimerPollNormal = 30000;
    // The bound on a stretch at DISPATCH_LEVEL as start-up sets it, which
    // the deferred poll keeps to.
    ext->ClockIncrement = kernel.clock.increment();
    ext->DispatchBoundUs = CDeviceExt::dispatchBoundUs(ext->ClockIncrement);
    ext->setDefaultSwitchParams();
    ext->setDefaultFirmwareVersion();
    KeInitializeTimer(&ext->PollTimer);
    KeInitializeDpc(&ext->PollDpc, CDeviceExt::pollDpc, ext);
    controller.powerOn();
    ext->setDataDirection(false);
    ext->idleLines();
    controller.heal();
  }

  void tidy() {
    KeCancelTimer(&ext->PollTimer);
    KeRemoveQueueDpc(&ext->PollDpc);
    kernel.irql.set(sim::Irql::kPassive);
    kernel.debugger.clear();
    kernel.errorLog.clear();
    if (kernel.errorLog.unwritten() != 0) finding("error-log entry never written");
    if (!kernel.verifier.violations().empty()) {
      const sim::Violation& v = kernel.verifier.violations().front();
      std::fprintf(stderr, "verifier: %s: %s\n", sim::ruleName(v.rule), v.detail.c_str());
      finding("verifier report");
    }
    if (!kernel.pool.outstanding().empty()) finding("pool block left allocated");
  }
};

Bench& bench() {
  static Bench* b = new Bench;
  return *b;
}

// The bytes of the extension that an operation may change, as [begin, end)
// offsets.
struct Range {
  size_t begin;
  size_t end;
};

struct Ranges {
  Range ranges[12];
  size_t count = 0;
  void push_back(Range r) {
    if (count == sizeof(ranges) / sizeof(ranges[0])) std::abort();  // more fields than room: grow it
    ranges[count++] = r;
  }
};

template <typename T>
Range fieldOf(const CDeviceExt* ext, const T& field) {
  size_t begin = static_cast<size_t>(reinterpret_cast<const unsigned char*>(&field) -
                                     reinterpret_cast<const unsigned char*>(ext));
  return {begin, begin + sizeof(field)};
}

// A caller's buffer of exactly `size` bytes on the heap, where a byte past
// it is AddressSanitizer's to see.
template <typename T>
std::unique_ptr<T[]> exact(size_t count) {
  return std::unique_ptr<T[]>(new T[count]());
}

bool linkStatus(NTSTATUS s) {
  return s == STATUS_SUCCESS || s == STATUS_UNSUCCESSFUL || s == STATUS_INVALID_PARAMETER;
}

void runOperation(Bench& b, const uint8_t* op) {
  CDeviceExt* ext = b.ext;
  // The message's buffers, and the timer and deferred call the kernel
  // itself writes when the poll timer expires.
  Ranges allowed;
  allowed.push_back(fieldOf(ext, ext->Message.Frame));
  allowed.push_back(fieldOf(ext, ext->Message.DumpBuffer));
  allowed.push_back(fieldOf(ext, ext->PollTimer));
  allowed.push_back(fieldOf(ext, ext->PollDpc));
  // The measure of the stretch at DISPATCH_LEVEL that each transaction
  // keeps, so that the next one is admitted only within the bound.
  allowed.push_back(fieldOf(ext, ext->InStretch));
  allowed.push_back(fieldOf(ext, ext->StretchTransactions));
  allowed.push_back(fieldOf(ext, ext->StretchStart));
  allowed.push_back(fieldOf(ext, ext->LastTransactionBoundUs));
  // Operations keep their numbers; those above the last are free for
  // operations added later and do nothing until then, so that adding one
  // leaves what existing inputs do be.
  const uint8_t code = op[0] % kOperationSpace;
  if (code > kLastOperation) return;
  const uint8_t* p = op + 1;

  // Inputs of the extension that some commands send, set before the snapshot.
  if (code == 6) {
    ext->CardID = p[0];
    ext->SignType = p[1];
    ext->TNMapType = p[2];
  }
  if (code == 9 || code == 19) ext->CardlanState = p[0] % 6;
  if (code == 22) {
    ext->CmdMaxRetries = p[0] % 4;
    ext->CmdReplyTimer = kReplyTimers[p[1] % 6];
    g_DebugLevel = p[2] % 6;
    b.controller.setNoise(p[3]);
    return;
  }
  if (code == 21) {
    if (p[0] & 1) {
      b.controller.post({p[1], p[2], p[3], p[4], p[5], p[6]});
    } else {
      std::vector<uint8_t> data(p[1] % 65, p[3]);
      b.controller.post(fuzz::ScriptedController::frameOf(p[4], p[2], data));
    }
    return;
  }

  unsigned char before[sizeof(CDeviceExt)];
  std::memcpy(before, b.storage, sizeof(before));
  const sim::Ticks start = b.kernel.clock.now();
  NTSTATUS status = STATUS_SUCCESS;
  ULONG result = 0;
  b.kernel.irql.set(sim::Irql::kDispatch);
  switch (code) {
    case 0: status = ext->hcDriverConnect(); break;
    case 1: {
      const char reason[4] = {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2]),
                              static_cast<char>(p[3])};
      ext->hcDriverDisconnect(reason, p[4] & 1);
      break;
    }
    case 2:
      allowed.push_back(fieldOf(ext, ext->FirmwareVersion));
      allowed.push_back(fieldOf(ext, ext->FirmwareVersionLength));
      ext->hcFirmwareVersion();
      if (ext->FirmwareVersionLength > CDeviceExt::kFirmwareVersionSize) finding("firmware version too long");
      if (ext->FirmwareVersion[CDeviceExt::kFirmwareVersionSize - 1] != 0) finding("version text not ended");
      break;
    case 3: {
      auto cardlan = exact<UCHAR>(1);
      auto report = exact<UCHAR>(4);
      status = ext->hcPoll(cardlan.get(), report.get());
      break;
    }
    case 4: status = ext->hcCommand4(); break;
    case 5: status = ext->hcStatusLED(p[0] & 1); break;
    case 6:
      allowed.push_back(fieldOf(ext, ext->CardlanState));
      status = ext->clSwitchConnect();
      break;
    case 7:
      allowed.push_back(fieldOf(ext, ext->CardlanState));
      status = ext->clSwitchDisconnect();
      break;
    case 8: status = ext->hdWrite(p[0], p[1], p[2], p[3]); break;
    case 9: status = ext->hdReset(); break;
    case 10: status = ext->hdSetStatus(true, p[1]); break;
    case 11: status = ext->hdSetStatus(false, p[1]); break;
    case 12: {
      auto display = exact<UCHAR>(1);
      status = ext->hdStatusQuery(display.get());
      break;
    }
    case 13: status = ext->hdSetRefreshRate(p[0]); break;
    case 14: {
      auto group = exact<UCHAR>(1);
      auto code16 = exact<ULONG>(1);
      status = ext->hdGroupAdd(group.get(), code16.get());
      result = *code16.get();
      break;
    }
    case 15: status = ext->hdGroupDelete(p[0], &result); break;
    case 16: {
      auto message = exact<UCHAR>(1);
      status = ext->hdMessageAdd(p[0], p[1], p[2], p[3], p[4], message.get(), &result);
      break;
    }
    case 17: status = ext->hdMessageExchange(p[0], p[1], p[2], p[3], p[4], &result); break;
    case 18: status = ext->hdMessageDelete(p[0], &result); break;
    case 19:
      allowed.push_back(fieldOf(ext, ext->CardlanState));
      ext->runPoll();
      break;
    case 20: {
      // One transaction alone, with any code, payload length and capacity.
      const UCHAR payloadLength = p[1] % 8;
      const UCHAR capacity = p[2];
      auto payload = exact<UCHAR>(payloadLength);
      for (UCHAR i = 0; i < payloadLength; i++) payload[i] = p[4 + i % 3];
      auto reply = exact<UCHAR>(capacity);
      UCHAR size = capacity;
      UCHAR replyStatus = 0;
      status = ext->Message.transact(p[0], payloadLength ? payload.get() : nullptr, payloadLength,
                                     kReplyTimers[p[3] % 6], capacity ? reply.get() : nullptr, &size,
                                     &replyStatus);
      if (size > capacity) finding("reply size beyond the capacity");
      if (NT_SUCCESS(status) && size > CMessage::kMaxReply - CMessage::kReplyOverhead) {
        finding("reply size beyond a frame");
      }
      break;
    }
  }
  // Everything is checked before the level drops: a poll timer that
  // expired during the operation has its deferred call run by the kernel
  // as soon as the processor leaves DISPATCH_LEVEL, and what that poll
  // writes is not the operation's doing.
  if (!linkStatus(status)) finding("status the link cannot return");
  if (NT_SUCCESS(status) && result != HD_RESULT_OK && result != HD_RESULT_NOT_DONE &&
      result != HD_RESULT_ADD_REFUSED && result != HD_RESULT_GROUP_REFUSED &&
      result != HD_RESULT_MESSAGE_REFUSED) {
    finding("display result code outside the public header's");
  }
  // The bytes the operation may change are taken over into the snapshot;
  // then the whole extension must match it.
  for (size_t i = 0; i < allowed.count; i++) {
    const Range& r = allowed.ranges[i];
    std::memcpy(before + r.begin, b.storage + r.begin, r.end - r.begin);
  }
  if (std::memcmp(before, b.storage, sizeof(CDeviceExt)) != 0) {
    std::fprintf(stderr, "link_fuzzer: operation %u changed the extension\n", code);
    finding("extension written outside the frame, the dump buffer and the reply");
  }
  // Each attempt of each transaction a command makes (at most two
  // transactions, as a poll and its display update) waits at most its reply
  // timer, a second for COMMAND_4, and a bounded time per byte.
  const LONG attempts = ext->CmdMaxRetries > 0 ? ext->CmdMaxRetries : 1;
  const sim::Ticks bound = 2 * attempts * (1000000 + 300000) * sim::kTicksPerUs;
  if (b.kernel.clock.now() - start > bound) finding("a wait did not end in bounded virtual time");
  b.kernel.irql.set(sim::Irql::kPassive);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  Bench& b = bench();
  // Tracing costs a formatted line per call; three inputs in four go
  // without.
  g_DebugLevel = data[0] < 0xC0 ? 0 : data[0] % 6;
  b.reset(data[1] % 4, kRetryDelays[(data[1] >> 2) % 4], kReplyTimers[data[2] % 6]);
  const size_t operations = 1 + data[3] % 6;
  const uint8_t* ops = data + kHeader;
  size_t opBytes = operations * kOperationSize;
  size_t available = size - kHeader;
  if (opBytes > available) opBytes = available - available % kOperationSize;
  b.script.reset(ops + opBytes, available - opBytes);
  b.controller.arm();

  for (size_t i = 0; i + kOperationSize <= opBytes; i += kOperationSize) {
    runOperation(b, ops + i);
  }

  // A working controller again: a poll succeeds.
  b.controller.heal();
  b.ext->CmdMaxRetries = 3;
  b.ext->CmdReplyTimer = 5000;
  b.kernel.irql.set(sim::Irql::kDispatch);
  UCHAR cardlan = 0xEE;
  UCHAR report[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  if (b.ext->hcPoll(&cardlan, report) != STATUS_SUCCESS) finding("poll failed on a working controller");
  if (cardlan != 0 || report[0] != 0 || report[1] != 0 || report[2] != 0 || report[3] != 0) {
    finding("poll on a working controller reported wrong bytes");
  }
  b.tidy();
  return 0;
}
