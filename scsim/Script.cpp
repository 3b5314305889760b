#include "Script.h"

#include <cstdio>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "FaultCatalogue.h"
#include "Machine.h"
#include "Scctl.h"
#include "scioctl.h"

namespace scsim {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads one quoted part starting after its opening quote; `i` ends past the
// closing quote.
bool readQuoted(const std::string& line, size_t* i, std::string* word, std::string* error) {
  size_t n = line.size();
  while (*i < n) {
    char c = line[(*i)++];
    if (c == '"') return true;
    if (c != '\\') {
      *word += c;
      continue;
    }
    if (*i >= n) break;
    char e = line[(*i)++];
    if (e == '\\' || e == '"') {
      *word += e;
    } else if (e == 'x') {
      if (*i + 2 > n || hexDigit(line[*i]) < 0 || hexDigit(line[*i + 1]) < 0) {
        *error = "the escape \\x needs two hex digits";
        return false;
      }
      *word += static_cast<char>(hexDigit(line[*i]) * 16 + hexDigit(line[*i + 1]));
      *i += 2;
    } else {
      *error = std::string("unknown escape \\") + e + " in a quoted word";
      return false;
    }
  }
  *error = "a quoted word is not closed";
  return false;
}

}  // namespace

bool splitLine(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  size_t i = 0;
  size_t n = line.size();
  for (;;) {
    while (i < n && isBlank(line[i])) i++;
    if (i >= n || line[i] == '#') return true;
    std::string word;
    while (i < n && !isBlank(line[i]) && line[i] != '#') {
      if (line[i] != '"') {
        word += line[i++];
        continue;
      }
      i++;
      if (!readQuoted(line, &i, &word, error)) return false;
    }
    words->push_back(word);
  }
}

bool parseNumber(const std::string& word, int64_t* value) {
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  if (word.size() > 2 && word[0] == '0' && word[1] == 'x') {
    uint64_t v = 0;
    for (size_t i = 2; i < word.size(); i++) {
      int d = hexDigit(word[i]);
      if (d < 0 || v > (kMax >> 4)) return false;
      v = v * 16 + static_cast<uint64_t>(d);
    }
    *value = static_cast<int64_t>(v);
    return true;
  }
  size_t i = word.size() > 1 && word[0] == '-' ? 1 : 0;
  if (i >= word.size()) return false;
  uint64_t v = 0;
  for (; i < word.size(); i++) {
    char c = word[i];
    if (c < '0' || c > '9') return false;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (kMax - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = word[0] == '-' ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  return true;
}

namespace {

using Words = std::vector<std::string>;

[[noreturn]] void fail(const std::string& message) { throw ScriptError(message); }

std::string bound(int64_t value) {
  char text[32];
  if (value > 0xFFFF) {
    snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  } else {
    snprintf(text, sizeof(text), "%lld", static_cast<long long>(value));
  }
  return text;
}

}  // namespace

int64_t scriptNumber(const std::string& word, int64_t min, int64_t max, const std::string& what) {
  int64_t v = 0;
  if (!parseNumber(word, &v)) fail(what + ": '" + word + "' is not a number");
  if (v < min || v > max)
    fail(what + ": " + word + " is out of range (" + bound(min) + " to " + bound(max) + ")");
  return v;
}

namespace {

int64_t number(const std::string& word, int64_t min, int64_t max, const std::string& what) {
  return scriptNumber(word, min, max, what);
}

uint8_t byteArg(const std::string& word, const std::string& what) {
  return static_cast<uint8_t>(number(word, 0, 0xFF, what));
}

uint32_t u32Arg(const std::string& word, int64_t min, const std::string& what) {
  return static_cast<uint32_t>(number(word, min, 0xFFFFFFFFLL, what));
}

// A 32-bit value that may also be written as a negative number.
uint32_t dwordArg(const std::string& word, const std::string& what) { return u32Arg(word, INT32_MIN, what); }

using sim::statusText;

// What NtLoadDriver answers for a driver that is already loaded.
constexpr NTSTATUS kImageAlreadyLoaded = static_cast<NTSTATUS>(0xC000010E);
constexpr NTSTATUS kNoDevice = static_cast<NTSTATUS>(0xC0000034);
constexpr int32_t kDefaultFailure = static_cast<int32_t>(0xC000009A);
// Buffer lengths a script may ask for; far above every record the driver
// knows, small enough for the simulated system space.
constexpr int64_t kMaxBufferLength = 0x100000;
// Virtual time a single advance may cover, well inside the clock's range.
constexpr int64_t kMaxAdvanceMs = 1000000000000LL;
// How long `wait` lets virtual time pass before it gives up.
constexpr int64_t kWaitLimitMs = 60000;
// Bytes a script may store in one binary registry value.
constexpr size_t kMaxBinaryValue = 256;
// How far one clock step may move the system time: a century either way.
constexpr int64_t kMaxClockStepMs = 100LL * 366 * 24 * 3600 * 1000;

// The request names of the public header's request table.
#define SC_REQUEST_NAME(name, function, subject, input, output, path, reply) \
  {"IOCTL_SC_" #name, IOCTL_SC_##name},
const std::pair<const char*, uint32_t> kRequests[] = {SC_REQUESTS(SC_REQUEST_NAME)};
#undef SC_REQUEST_NAME

// A request code as a number or as its name in the public header.
uint32_t requestCode(const std::string& word) {
  for (const auto& [name, code] : kRequests) {
    if (word == name) return code;
  }
  if (word.rfind("IOCTL_", 0) == 0) fail("ioctl: '" + word + "' is not a request of the public header");
  return u32Arg(word, 0, "ioctl CODE");
}

}  // namespace

const std::vector<FailableRoutine>& failableRoutines() {
  static const std::vector<FailableRoutine> routines = [] {
    std::vector<FailableRoutine> out;
    for (const sim::RoutineRow& row : sim::kRoutineRows) {
      if (row.failure != sim::Failure::None) out.push_back({row.failureId, row.exported});
    }
    return out;
  }();
  return routines;
}

class Interpreter {
 public:
  Interpreter(std::ostream& out, std::ostream& err)
      : out_(out), err_(err), machine_([this](const std::string& line) { print(line); }) {}

  Machine& machine() { return machine_; }

  int run(std::istream& in) {
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
      lineNumber++;
      try {
        Words words;
        std::string error;
        if (!splitLine(line, &words, &error)) fail(error);
        if (!words.empty()) execute(words);
      } catch (const ScriptError& e) {
        out_.flush();
        err_ << "scsim: line " << lineNumber << ": " << e.what() << '\n';
        return 2;
      }
    }
    // An error-log entry taken and never written is a leak the driver left.
    machine_.kernel.errorLog.reportUnwritten();
    out_.flush();
    return machine_.violated() ? 1 : 0;
  }

 private:
  using Handler = void (Interpreter::*)(const Words&);
  struct Place {
    uint32_t bus;
    uint32_t device;
    uint32_t function;
  };

  // Each line is handed on as it is made, so that a run stopped early
  // keeps what it printed.
  void print(const std::string& line) {
    out_ << line << '\n';
    out_.flush();
  }

  // One form of a command: its words, its arguments as the usage shows
  // them, how many words may follow the form's words, whether it sets up
  // the board (and so must come before 'load'), and its handler, which
  // gets the whole line.
  // The forms of `controller` are the rows of the fault catalogue.
  struct Form {
    const char* command;
    const char* sub;  // empty for a command without subcommands
    std::string args;
    size_t minArgs;
    size_t maxArgs;
    bool setup;
    Handler handler;
    const ControllerFault* fault = nullptr;
  };
  static constexpr size_t kAny = SIZE_MAX;

  static const std::vector<Form>& forms() {
    static const std::vector<Form> table = withFaults({
        {"registry", "set", "NAME VALUE", 2, 2, false, &Interpreter::registrySet},
        {"registry", "set-string", "NAME TEXT", 2, 2, false, &Interpreter::registrySetString},
        {"registry", "set-binary", "NAME BYTE... (at most 256 bytes)", 1, 1 + kMaxBinaryValue, false,
         &Interpreter::registrySetBinary},
        {"registry", "set-typed", "NAME TYPE BYTE... (at most 256 bytes)", 2, 2 + kMaxBinaryValue, false,
         &Interpreter::registrySetTyped},
        {"registry", "delete", "NAME", 1, 1, false, &Interpreter::registryDelete},
        {"registry", "remove-key", "", 0, 0, false, &Interpreter::registryRemoveKey},
        {"processors", "", "N (1 to 4)", 1, 1, true, &Interpreter::processors},
        {"schedule", "seed", "S", 1, 1, true, &Interpreter::scheduleSeed},
        {"pci", "bridge", "none|DEVICE [bus B] [slot S] [function F]", 1, 7, true, &Interpreter::pciBridge},
        {"pci", "buses", "N|B,B,...", 1, 1, true, &Interpreter::pciBuses},
        {"superio", "base", "VALUE", 1, 1, true, &Interpreter::superioBase},
        {"superio", "space", "memory|io", 1, 1, true, &Interpreter::superioSpace},
        {"resources", "conflict", "config|gpio", 1, 1, true, &Interpreter::resourcesConflict},
        {"resources", "fail", "config|gpio STATUS", 2, 2, true, &Interpreter::resourcesFail},
        {"map", "fail", "", 0, 0, true, &Interpreter::mapFail},
        {"clock", "increment", "UNITS", 1, 1, true, &Interpreter::clockIncrement},
        {"clock", "step", "DELTA [after MS]", 1, 3, false, &Interpreter::clockStep},
        {"caller", "", "user|admin|system", 1, 1, false, &Interpreter::caller},
        {"kernel", "fail", "NAME [STATUS] [COUNT]", 1, 3, false, &Interpreter::kernelFail},
        {"kernel", "registry-typecheck", "on|off", 1, 1, false, &Interpreter::kernelTypecheck},
        {"kernel", "dispatch-limit", "MS (0: no limit)", 1, 1, false, &Interpreter::kernelDispatchLimit},
        {"controller", "", "", 0, 0, false, nullptr},  // the fault catalogue's rows
        {"load", "", "", 0, 0, false, &Interpreter::load},
        {"unload", "", "", 0, 0, false, &Interpreter::unload},
        {"shutdown", "", "", 0, 0, false, &Interpreter::shutdown},
        {"open", "", "", 0, 0, false, &Interpreter::open},
        {"close", "", "", 0, 0, false, &Interpreter::close},
        {"ioctl", "", "CODE|NAME [in=N] [out=M] [nobuffer] [async] [BYTE...]", 1, kAny, false,
         &Interpreter::ioctl},
        {"wait", "", "", 0, 0, false, &Interpreter::wait},
        {"advance", "", "MS", 1, 1, false, &Interpreter::advance},
        {"time", "", "", 0, 0, false, &Interpreter::time},
        {"note", "", "TEXT...", 0, kAny, false, &Interpreter::note},
        {"scctl", "", "ARG... (the control tool against the simulated device: scctl --help)", 0, kAny, false,
         &Interpreter::scctl},
    });
    return table;
  }

  // The table with the `controller` placeholder replaced by one form for
  // each row of the fault catalogue, in the catalogue's order.
  static std::vector<Form> withFaults(std::vector<Form> table) {
    std::vector<Form> out;
    for (Form& f : table) {
      if (f.handler != nullptr) {
        out.push_back(std::move(f));
        continue;
      }
      for (const ControllerFault& fault : faultCatalogue()) {
        out.push_back(Form{f.command, fault.sub, argsUsage(fault), minArgWords(fault), maxArgWords(fault),
                           false, &Interpreter::controllerFault, &fault});
      }
    }
    return out;
  }

 public:
  static std::string usageOf(const Form& f) {
    std::string u = f.command;
    if (*f.sub) u += std::string(" ") + f.sub;
    if (!f.args.empty()) u += " " + f.args;
    return u;
  }

  static std::string commandList() {
    std::string text;
    for (const Form& f : forms()) text += "  " + usageOf(f) + "\n";
    return text;
  }

 private:
  void execute(const Words& w) {
    std::string choices;
    bool known = false;
    for (const Form& f : forms()) {
      if (w[0] != f.command) continue;
      known = true;
      if (*f.sub) choices += std::string(choices.empty() ? "" : ", ") + f.sub;
    }
    if (!known) fail("unknown command '" + w[0] + "'");
    if (!choices.empty() && w.size() < 2) fail("'" + w[0] + "' needs one of: " + choices);
    for (const Form& f : forms()) {
      if (w[0] != f.command || (*f.sub && w[1] != f.sub)) continue;
      // The board is what the driver finds when it loads; changing it
      // under a driver that has looked at it would be a different machine.
      if (f.setup && loadRun_) fail("'" + w[0] + "' sets up the board, which must come before 'load'");
      size_t given = w.size() - (*f.sub ? 2 : 1);
      if (given < f.minArgs || given > f.maxArgs) fail("expected '" + usageOf(f) + "'");
      form_ = &f;
      (this->*f.handler)(w);
      return;
    }
    fail("'" + w[0] + " " + w[1] + "' is not a command; '" + w[0] + "' takes one of: " + choices);
  }

  // The usage of the command being run, for errors its handler finds.
  [[noreturn]] void usageError() const { fail("expected '" + usageOf(*form_) + "'"); }

  // Registry -------------------------------------------------------------

  void registrySet(const Words& w) {
    machine_.kernel.registry.setDword(Machine::kParametersKey, w[2], dwordArg(w[3], "registry set VALUE"));
  }

  void registrySetString(const Words& w) {
    machine_.kernel.registry.setString(Machine::kParametersKey, w[2], w[3]);
  }

  void registrySetBinary(const Words& w) {
    std::vector<uint8_t> bytes;
    for (size_t i = 3; i < w.size(); i++) bytes.push_back(byteArg(w[i], "registry set-binary BYTE"));
    machine_.kernel.registry.setBinary(Machine::kParametersKey, w[2], bytes);
  }

  // A value of any type, numbered as the kernel numbers them (REG_NONE 0,
  // REG_MULTI_SZ 7, REG_QWORD 11, or any other), holding the given bytes.
  void registrySetTyped(const Words& w) {
    uint32_t type = u32Arg(w[3], 0, "registry set-typed TYPE");
    std::vector<uint8_t> bytes;
    for (size_t i = 4; i < w.size(); i++) bytes.push_back(byteArg(w[i], "registry set-typed BYTE"));
    auto& registry = machine_.kernel.registry;
    registry.setBinary(Machine::kParametersKey, w[2], bytes);
    registry.key(Machine::kParametersKey)->values[sim::Registry::fold(w[2])].type = type;
  }

  void registryDelete(const Words& w) { machine_.kernel.registry.deleteValue(Machine::kParametersKey, w[2]); }

  void registryRemoveKey(const Words&) { machine_.kernel.registry.removeKey(Machine::kParametersKey); }

  // Board setup ----------------------------------------------------------

  void pciBridge(const Words& w) {
    auto& bus = machine_.board.pci;
    if (w[2] == "none") {
      if (w.size() != 3) usageError();
      if (bridge_) bus.removeFunction(bridge_->bus, bridge_->device, bridge_->function);
      bridge_.reset();
      return;
    }
    uint16_t id = static_cast<uint16_t>(number(w[2], 0, 0xFFFF, "pci bridge DEVICE"));
    Place place{0, board::PciBus::kLpcBridgeDevice, 0};
    std::map<std::string, bool> given;
    for (size_t i = 3; i < w.size(); i += 2) {
      const std::string& key = w[i];
      if (key != "bus" && key != "slot" && key != "function")
        fail("pci bridge: unknown option '" + key + "'");
      if (given[key]) fail("pci bridge: '" + key + "' given twice");
      given[key] = true;
      if (i + 1 >= w.size()) fail("pci bridge: '" + key + "' needs a number");
      const std::string what = "pci bridge " + key;
      if (key == "bus")
        place.bus = static_cast<uint32_t>(number(w[i + 1], 0, board::PciBus::kMaxBuses - 1, what));
      if (key == "slot") {
        place.device = static_cast<uint32_t>(number(w[i + 1], 0, board::PciBus::kDevicesPerBus - 1, what));
      }
      if (key == "function") {
        place.function =
            static_cast<uint32_t>(number(w[i + 1], 0, board::PciBus::kFunctionsPerDevice - 1, what));
      }
    }
    if (bridge_) bus.removeFunction(bridge_->bus, bridge_->device, bridge_->function);
    bus.addFunction(place.bus, place.device, place.function, board::PciBus::kVendorIntel, id,
                    board::PciBus::kClassIsaBridge);
    bridge_ = place;
  }

  void pciBuses(const Words& w) {
    const std::string& word = w[2];
    const std::string what = "pci buses";
    if (word.find(',') == std::string::npos) {
      machine_.board.pci.setBusCount(static_cast<uint32_t>(number(word, 0, board::PciBus::kMaxBuses, what)));
      return;
    }
    std::vector<uint32_t> buses;
    size_t start = 0;
    for (;;) {
      size_t comma = word.find(',', start);
      std::string item = word.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      buses.push_back(static_cast<uint32_t>(number(item, 0, board::PciBus::kMaxBuses - 1, what)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    machine_.board.pci.setBuses(buses);
  }

  void superioBase(const Words& w) {
    machine_.board.superIo.setGpioBase(static_cast<uint16_t>(number(w[2], 0, 0xFFFF, "superio base")));
  }

  void superioSpace(const Words& w) {
    if (w[2] == "memory") {
      machine_.board.setGpioSpace(sim::Space::Memory);
    } else if (w[2] == "io") {
      machine_.board.setGpioSpace(sim::Space::Port);
    } else {
      fail("superio space: '" + w[2] + "' is neither memory nor io");
    }
  }

  board::Board::Range range(const std::string& word, const std::string& what) {
    if (word == "config") return board::Board::Range::Config;
    if (word == "gpio") return board::Board::Range::Gpio;
    fail(what + ": '" + word + "' is neither config nor gpio");
  }

  void resourcesConflict(const Words& w) {
    machine_.board.setConflict(range(w[2], "resources conflict"), true);
  }

  void resourcesFail(const Words& w) {
    auto r = range(w[2], "resources fail");
    machine_.board.setReportFailure(r, static_cast<int32_t>(dwordArg(w[3], "resources fail STATUS")));
  }

  void mapFail(const Words&) { machine_.kernel.failures.arm("MmMapIoSpace", 0, 0xFFFFFFFF); }

  void clockIncrement(const Words& w) {
    machine_.kernel.clock.setIncrement(u32Arg(w[2], 1, "clock increment"));
  }

  void clockStep(const Words& w) {
    int64_t deltaMs = number(w[2], -kMaxClockStepMs, kMaxClockStepMs, "clock step DELTA");
    int64_t afterMs = 0;
    if (w.size() > 3) {
      if (w.size() != 5 || w[3] != "after") usageError();
      afterMs = number(w[4], 0, kMaxAdvanceMs, "clock step after MS");
    }
    auto& clock = machine_.kernel.clock;
    clock.step(deltaMs * sim::kTicksPerMs, clock.now() + afterMs * sim::kTicksPerMs);
  }

  // The identity of the process behind the open, ioctl and scctl commands
  // that follow.
  void caller(const Words& w) {
    static const std::pair<const char*, sim::Caller> kCallers[] = {
        {"user", sim::Caller::User}, {"admin", sim::Caller::Admin}, {"system", sim::Caller::System}};
    for (const auto& c : kCallers) {
      if (w[1] == c.first) {
        machine_.kernel.io.caller = c.second;
        return;
      }
    }
    fail("caller: 'user', 'admin' or 'system', not '" + w[1] + "'");
  }

  // Kernel faults --------------------------------------------------------

  void kernelTypecheck(const Words& w) {
    if (w[2] != "on" && w[2] != "off") fail("kernel registry-typecheck: 'on' or 'off', not '" + w[2] + "'");
    machine_.kernel.registry.honoursTypecheck = w[2] == "on";
  }

  void kernelDispatchLimit(const Words& w) {
    const uint32_t ms = u32Arg(w[2], 0, "kernel dispatch-limit MS");
    machine_.kernel.irql.setStretchLimit(static_cast<sim::Ticks>(ms) * sim::kTicksPerMs);
  }

  void kernelFail(const Words& w) {
    const sim::RoutineRow* row = sim::failableRow(w[2]);
    if (row == nullptr) {
      std::string names;
      for (const sim::RoutineRow& r : sim::kRoutineRows) {
        if (r.failure != sim::Failure::None) names += std::string(names.empty() ? "" : ", ") + r.exported;
      }
      fail("kernel fail: '" + w[2] + "' cannot be made to fail; these can: " + names);
    }
    int32_t status = kDefaultFailure;
    if (w.size() > 3) status = static_cast<int32_t>(dwordArg(w[3], "kernel fail STATUS"));
    // The real routines fail only with error statuses (severity 3, the two
    // top bits set): an IoCreateDevice that "failed" with a success status
    // would hand back no device, which the real one never does.
    if ((static_cast<uint32_t>(status) >> 30) != 3) {
      fail("kernel fail STATUS: " + statusText(status) + " is not an error status");
    }
    uint32_t count = 1;
    if (w.size() > 4) count = u32Arg(w[4], 1, "kernel fail COUNT");
    machine_.kernel.failures.arm(row->exported, status, count);
  }

  // Controller model -----------------------------------------------------

  void controllerFault(const Words& w) {
    const ControllerFault& fault = *form_->fault;
    fault.apply(machine_.board.controller, readArgs(fault, Words(w.begin() + 2, w.end())));
  }

  // Driver and machine ---------------------------------------------------

  void load(const Words&) {
    loadRun_ = true;
    NTSTATUS status = machine_.driverLoaded() ? kImageAlreadyLoaded : machine_.load();
    print("load: status=" + statusText(status));
  }

  void unload(const Words&) { print(machine_.unload() ? "unload: done" : "unload: no driver"); }

  void shutdown(const Words&) {
    NTSTATUS status = 0;
    print(machine_.shutdown(&status) ? "shutdown: status=" + statusText(status) : "shutdown: no device");
  }

  void open(const Words&) { print("open: status=" + statusText(machine_.open())); }

  void close(const Words&) { print("close: status=" + statusText(machine_.close())); }

  void ioctl(const Words& w) {
    uint32_t code = requestCode(w[1]);
    std::optional<int64_t> in;
    std::optional<int64_t> out;
    bool buffer = true;
    bool async = false;
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i < w.size(); i++) {
      const std::string& word = w[i];
      if (word == "async") {
        if (async) fail("ioctl: async given twice");
        async = true;
      } else if (word.rfind("in=", 0) == 0 || word.rfind("out=", 0) == 0) {
        bool isIn = word[0] == 'i';
        auto& slot = isIn ? in : out;
        if (slot) fail("ioctl: " + std::string(isIn ? "in=" : "out=") + " given twice");
        slot = number(word.substr(isIn ? 3 : 4), 0, kMaxBufferLength, isIn ? "ioctl in=" : "ioctl out=");
      } else if (word == "nobuffer") {
        if (!buffer) fail("ioctl: nobuffer given twice");
        buffer = false;
      } else {
        bytes.push_back(byteArg(word, "ioctl BYTE"));
      }
    }
    uint32_t inputLength = static_cast<uint32_t>(in.value_or(static_cast<int64_t>(bytes.size())));
    uint32_t outputLength = static_cast<uint32_t>(out.value_or(inputLength));
    bytes.resize(inputLength, 0);
    if (!async) {
      send(code, bytes, inputLength, outputLength, buffer, [] {});
      return;
    }
    // From a thread of its own: the script goes on at once, and the result
    // line comes when the request completes. The request is outstanding
    // until it has completed and its thread has also left the I/O manager:
    // a dispatch routine may complete the request and still run on.
    outstanding_++;
    auto left = std::make_shared<int>(2);
    auto finished = [this, left] {
      if (--*left == 0) outstanding_--;
    };
    machine_.kernel.scheduler.spawn([this, code, bytes, inputLength, outputLength, buffer, finished] {
      send(code, bytes, inputLength, outputLength, buffer, finished);
      finished();
    });
  }

  void send(uint32_t code, const std::vector<uint8_t>& bytes, uint32_t inputLength, uint32_t outputLength,
            bool buffer, std::function<void()> completed) {
    bool sent = machine_.ioctl(code, bytes, inputLength, outputLength, buffer,
                               [this, code, completed](const Machine::IoctlResult& r) {
                                 print(ioctlLine(code, r));
                                 completed();
                               });
    if (!sent) {
      Machine::IoctlResult none;
      none.completed = true;
      none.status = kNoDevice;
      print(ioctlLine(code, none));
      completed();
    }
  }

  // Every request sent with `async` has completed, or a minute of virtual
  // time has passed.
  void wait(const Words&) {
    sim::Kernel& k = machine_.kernel;
    bool done = k.scheduler.waitUntil([this] { return outstanding_ == 0; },
                                      k.clock.now() + kWaitLimitMs * sim::kTicksPerMs);
    print(done ? "wait: done" : "wait: timeout");
  }

  void processors(const Words& w) {
    machine_.kernel.scheduler.setProcessors(static_cast<int>(number(w[1], 1, 4, "processors")));
  }

  void scheduleSeed(const Words& w) {
    machine_.kernel.scheduler.setSeed(
        static_cast<uint64_t>(number(w[2], INT64_MIN, INT64_MAX, "schedule seed")));
  }

  void scctl(const Words& w) {
    runScctl(machine_, Words(w.begin() + 1, w.end()), [this](const std::string& line) { print(line); });
  }

  void advance(const Words& w) {
    int64_t ms = number(w[1], 0, kMaxAdvanceMs, "advance");
    if (!machine_.kernel.clock.canAdvance(ms * sim::kTicksPerMs)) {
      fail("advance: " + w[1] + " ms would take virtual time past its limit");
    }
    machine_.advanceMs(ms);
  }

  void time(const Words&) { print("time: " + std::to_string(machine_.timeUs()) + " us"); }

  // A line of the script's own on the output, to mark where a part of a
  // longer run begins.
  void note(const Words& w) {
    std::string text;
    for (size_t i = 1; i < w.size(); i++) text += (i > 1 ? " " : "") + w[i];
    print(text.empty() ? "note:" : "note: " + text);
  }

  std::ostream& out_;
  std::ostream& err_;
  Machine machine_;
  // Requests sent with `async` that have not completed.
  int outstanding_ = 0;
  bool loadRun_ = false;
  const Form* form_ = nullptr;
  std::optional<Place> bridge_ = Place{0, board::PciBus::kLpcBridgeDevice, 0};
};

Script::Script(std::ostream& out, std::ostream& err)
    : interpreter_(std::make_unique<Interpreter>(out, err)) {}

Script::~Script() = default;

int Script::run(std::istream& in) { return interpreter_->run(in); }

Machine& Script::machine() { return interpreter_->machine(); }

std::string usageText() {
  return "usage: scsim [--image DRIVER.sys] [--vcd WAVES.vcd] [FILE]\n"
         "       scsim --help\n"
         "Runs a board script from FILE, or from standard input when FILE is absent or '-'.\n"
         "--image runs the driver image DRIVER.sys instead of the driver compiled into scsim;\n"
         "only the 32-bit build of scsim (preset host32) can.\n"
         "--vcd writes the GPIO wires over virtual time to WAVES.vcd as a Value Change Dump.\n"
         "Exit status: 0 the script ran to its end, 1 the verifier reported a rule violation,\n"
         "2 a script error (named with its line on standard error).\n"
         "\n"
         "Commands:\n" +
         Interpreter::commandList();
}

int runScript(const std::string& text, std::string* out, std::string* err) {
  std::istringstream in(text);
  std::ostringstream o;
  std::ostringstream e;
  int status = 0;
  {
    Script script(o, e);
    status = script.run(in);
  }
  *out = o.str();
  *err = e.str();
  return status;
}

}  // namespace scsim
