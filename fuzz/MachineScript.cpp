// The machine fuzzer's decoder: its bytes as a scsim script. Rows of the
// fault catalogue, routines a script can make fail and requests are chosen
// by fixed ids, so that adding one changes only the inputs that choose it.
#include "MachineScript.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Bytes.h"
#include "FaultCatalogue.h"
#include "Machine.h"
#include "Script.h"
#include "scioctl.h"
#include "sim/kernel.h"

namespace fuzz {
namespace {

// The device's requests are told apart by their function number, from
// 0x800 on: a byte picks the function, and with it a request of the public
// header or a code beside them, so that a request added later leaves the
// choices of existing inputs be.
constexpr uint32_t kFirstFunction = 0x800;
constexpr uint8_t kFunctionSpace = 32;

const char* const kValueNames[] = {
    "DebugLevel",         "OptionResetNoPoll", "OptionShowCommErrors",
    "DevTimeoutCommMS",   "DevTimeoutPollS",   "DevTimeoutWatchdogMS",
    "CmdReplyTimerUS",    "CmdRetryDelayUS",   "CmdMaxRetries",
    "TimerPollCardlanMS", "TimerPollNormalMS", "CardID",
    "SignallingType",     "TNMappingType",     "Unused",
};

template <typename T, size_t N>
const T& pick(Bytes& in, const T (&table)[N]) {
  return table[in.next() % N];
}

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", v);
  return text;
}

// A quoted word of `count` bytes, every byte as \xHH.
std::string quoted(Bytes& in, size_t count) {
  std::string w = "\"";
  for (size_t i = 0; i < count; i++) {
    char e[8];
    std::snprintf(e, sizeof(e), "\\x%02X", in.next());
    w += e;
  }
  return w + "\"";
}

void byteList(std::ostream& s, Bytes& in, size_t count) {
  for (size_t i = 0; i < count; i++) s << ' ' << hex(in.next());
}

// Lengths of a request buffer: mostly around the record sizes, sometimes
// anything up to a page.
uint32_t length(Bytes& in) {
  static const uint32_t kNear[] = {0, 1, 4, 11, 12, 13, 16, 71, 72, 73, 4, 12};
  const uint8_t c = in.next();
  if (c < 0xC0) return kNear[c % 12];
  if (c < 0xF0) return in.next();
  return in.next16() % 0x1001;
}

void ioctl(std::ostream& s, Bytes& in, bool threads) {
  const uint8_t c = in.next();
  uint32_t code;
  if (c < 0xD0) {
    code = SC_CTL_CODE(kFirstFunction + c % kFunctionSpace);
  } else if (c < 0xF0) {
    // The device's other functions and methods.
    const uint32_t function = in.next();
    code = 0x222000 + function * 4u + (in.next() & 3);
  } else {
    code = in.next32();
  }
  const uint8_t mode = in.next();
  s << "ioctl " << hex(code);
  uint32_t inLength = length(in);
  s << " in=" << inLength;
  if (mode & 1) s << " out=" << length(in);
  if (mode & 2) s << " nobuffer";
  if (threads && (mode & 4)) s << " async";
  size_t given = in.next() % 17;
  if (given > inLength) given = inLength;
  byteList(s, in, given);
  s << '\n';
}

// Registry value types as the kernel numbers them: REG_NONE, REG_SZ,
// REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_MULTI_SZ,
// REG_QWORD.
const uint32_t kValueTypes[] = {0, 1, 2, 3, 4, 5, 7, 11};

void registry(std::ostream& s, Bytes& in) {
  const uint8_t c = in.next() % 9;
  const char* name = pick(in, kValueNames);
  switch (c) {
    case 0:
    case 1:
    case 2: s << "registry set " << name << ' ' << hex(in.next32()) << '\n'; break;
    case 3: s << "registry set-string " << name << ' ' << quoted(in, in.next() % 24) << '\n'; break;
    case 4:
    case 5: {
      const uint8_t n = in.next();
      s << "registry set-binary " << name;
      byteList(s, in, n < 0xF0 ? n % 12 : 1 + in.next());
      s << '\n';
      break;
    }
    case 6: {
      const uint8_t t = in.next();
      s << "registry set-typed " << name << ' ' << (t < 0xF0 ? kValueTypes[t % 8] : in.next32());
      const uint8_t n = in.next();
      byteList(s, in, n < 0xF0 ? n % 12 : 1 + in.next());
      s << '\n';
      break;
    }
    case 7: s << "registry delete " << name << '\n'; break;
    default: s << "registry remove-key\n"; break;
  }
}

// The routine whose id is in the byte: the ids of scsim's list are fixed,
// so a routine added to it takes a new id and leaves existing inputs be.
const char* failable(uint8_t choice) {
  for (const scsim::FailableRoutine& r : scsim::failableRoutines()) {
    if (r.id == choice % scsim::kFailableIdSpace) return r.name;
  }
  return nullptr;
}

// After the first load a resource report may be the withdrawal of the
// driver's claim. The driver reports the withdrawal once more when it fails;
// two failures in a row leave the claim in the resource map, which no driver
// can mend (the verifier rightly reports it at unload), so a failure injected
// there fails one report only.
void kernel(std::ostream& s, Bytes& in, bool beforeLoad) {
  const uint8_t c = in.next();
  if (c >= 0xF0) {
    s << "kernel registry-typecheck " << (c & 1 ? "on" : "off") << '\n';
    return;
  }
  const char* name = failable(in.next());
  if (name == nullptr) return;
  const bool once = !beforeLoad && std::strcmp(name, "IoReportResourceUsage") == 0;
  s << "kernel fail " << name;
  const uint8_t how = in.next();
  if (how & 1) {
    s << ' ' << hex(0xC0000000u | in.next16());
    if ((how & 2) && !once) s << ' ' << 1 + in.next() % 4;
  }
  s << '\n';
}

// The ranges the fuzzer draws each kind of argument from: counts and
// command codes a little beyond what matters, byte positions a little
// beyond the longest frame.
void argument(std::ostream& s, Bytes& in, const scsim::FaultArg& arg) {
  using scsim::ArgKind;
  switch (arg.kind) {
    case ArgKind::Byte: s << ' ' << hex(in.next()); break;
    case ArgKind::Code: s << ' ' << in.next() % 22; break;
    case ArgKind::Count: s << ' ' << in.next() % 4; break;
    case ArgKind::Micros: s << ' ' << in.next16() * 16u; break;
    case ArgKind::Index: s << ' ' << in.next() % 72; break;
    case ArgKind::Text: s << ' ' << quoted(in, in.next() % 65); break;
    case ArgKind::Data: byteList(s, in, in.next() % 65); break;
    case ArgKind::Word: {
      const std::vector<std::string> words = scsim::wordsOf(arg);
      s << ' ' << (words.size() == 1 ? words[0] : words[in.next() % words.size()]);
      break;
    }
    case ArgKind::ByteOrWord:
      if (in.next() & 1) {
        s << ' ' << arg.words;
      } else {
        s << ' ' << hex(in.next());
      }
      break;
  }
}

// A row of the fault catalogue, chosen by its id. An optional argument is
// given when the high bit of a byte is set; a command code then comes from
// that same byte.
void controller(std::ostream& s, Bytes& in) {
  const scsim::ControllerFault* fault = scsim::faultWithId(in.next() % scsim::kFaultIdSpace);
  if (fault == nullptr) return;
  s << "controller " << fault->sub;
  for (const scsim::FaultArg& arg : fault->args) {
    if (!arg.optional || arg.kind == scsim::ArgKind::Data) {
      argument(s, in, arg);
      continue;
    }
    const uint8_t given = in.next();
    if (!(given & 0x80)) continue;
    if (arg.kind == scsim::ArgKind::Code) {
      s << ' ' << given % 22;
    } else {
      argument(s, in, arg);
    }
  }
  s << '\n';
}

void time(std::ostream& s, Bytes& in) {
  const uint8_t c = in.next();
  if (c < 0xC0) {
    s << "advance " << static_cast<uint32_t>(in.next()) * (c % 4 == 0 ? 100 : 4) << '\n';
  } else if (c < 0xF0) {
    s << "clock step " << static_cast<int32_t>(in.next32()) / 16;
    if (c & 1) s << " after " << in.next() * 10;
    s << '\n';
  } else {
    s << "advance " << in.next16() % 60001 << '\n';
  }
}

// Set-up of the board before the driver loads, for the start-up paths that
// meet an unusual machine.
void setup(std::ostream& s, Bytes& in) {
  switch (in.next() % 10) {
    case 0: s << "pci bridge none\n"; break;
    case 1:
      s << "pci bridge " << (in.next() & 1 ? "0x24C0" : "0x2410") << " bus " << in.next() % 4 << " slot "
        << in.next() % 32 << " function " << in.next() % 8 << '\n';
      break;
    case 2: s << "pci buses " << 1 + in.next() % 8 << '\n'; break;
    case 3: s << "superio base " << hex(in.next16()) << '\n'; break;
    case 4: s << "superio space memory\n"; break;
    case 5: s << "resources conflict " << (in.next() & 1 ? "config" : "gpio") << '\n'; break;
    case 6:
      s << "resources fail " << (in.next() & 1 ? "config " : "gpio ") << hex(0xC0000000u | in.next16())
        << '\n';
      break;
    case 7: s << "map fail\n"; break;
    default: s << "clock increment " << 1 + in.next16() * 4u << '\n'; break;
  }
}

constexpr size_t kMaxSteps = 24;
constexpr uint32_t kSpinReads = 1000;
constexpr sim::Ticks kSlowRead = sim::kTicksPerMs;

}  // namespace

std::string machineScript(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  std::ostringstream s;
  const uint8_t flags = in.next();
  // Requests from threads of their own in one input of four: once a thread
  // runs beside the script, every kernel call and bus access is a point
  // where the scheduler switches, which costs most of the speed.
  const bool threads = (flags & 0x60) == 0x60;
  if (flags & 0x01) {
    for (int n = 1 + in.next() % 3; n > 0; n--) setup(s, in);
  }
  for (int n = (flags >> 1) & 3; n > 0; n--) registry(s, in);
  if (flags & 0x08) kernel(s, in, true);
  s << "load\n";
  if (!(flags & 0x10)) s << "open\n";
  for (size_t step = 0; step < kMaxSteps && !in.exhausted(); step++) {
    const uint8_t c = in.next();
    switch (c % 16) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
      case 5: ioctl(s, in, threads); break;
      case 6:
      case 7: registry(s, in); break;
      case 8: kernel(s, in, false); break;
      case 9:
      case 10: controller(s, in); break;
      case 11:
      case 12: time(s, in); break;
      case 13:
        if (c & 0x20) {
          static const char* const kCallers[] = {"user", "admin", "system"};
          s << "caller " << pick(in, kCallers) << '\n';
        } else {
          s << (c & 0x10 ? "close\n" : "open\n");
        }
        break;
      // The I/O manager unloads no driver while its requests are in flight;
      // a shutdown comes whatever runs.
      case 14: s << (c & 0x10 ? "shutdown\n" : "wait\nunload\n"); break;
      default: s << "load\n"; break;
    }
  }
  // The driver leaves: whatever it left behind is the verifier's to see.
  s << "wait\nunload\n";
  return s.str();
}

int runMachineScript(const std::string& script, std::string* out, std::string* err) {
  std::ostringstream o;
  std::ostringstream e;
  int status = 0;
  {
    scsim::Script runner(o, e);
    sim::Kernel& kernel = runner.machine().kernel;
    struct Spin {
      sim::BusAccess last{};
      uint32_t repeats = 0;
    } spin;
    kernel.bus.onAccess([&kernel, &spin](const sim::BusAccess& a) {
      const bool same = !a.write && !spin.last.write && a.space == spin.last.space &&
                        a.address == spin.last.address && a.value == spin.last.value;
      spin.repeats = same ? spin.repeats + 1 : 0;
      spin.last = a;
      if (spin.repeats >= kSpinReads) kernel.clock.advance(kSlowRead);
    });
    std::istringstream in(script);
    status = runner.run(in);
  }
  *out = o.str();
  *err = e.str();
  return status;
}

}  // namespace fuzz
