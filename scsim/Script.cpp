#include "Script.h"

#include <cstdio>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "Machine.h"

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

class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

int64_t number(const std::string& word, int64_t min, int64_t max, const std::string& what) {
  int64_t v = 0;
  if (!parseNumber(word, &v)) fail(what + ": '" + word + "' is not a number");
  if (v < min || v > max)
    fail(what + ": " + word + " is out of range (" + bound(min) + " to " + bound(max) + ")");
  return v;
}

uint8_t byteArg(const std::string& word, const std::string& what) {
  return static_cast<uint8_t>(number(word, 0, 0xFF, what));
}

uint32_t u32Arg(const std::string& word, int64_t min, const std::string& what) {
  return static_cast<uint32_t>(number(word, min, 0xFFFFFFFFLL, what));
}

// A 32-bit value that may also be written as a negative number.
uint32_t dwordArg(const std::string& word, const std::string& what) { return u32Arg(word, INT32_MIN, what); }

void arity(const Words& w, size_t min, size_t max, const std::string& usage) {
  if (w.size() < min || w.size() > max) fail("expected '" + usage + "'");
}

std::string statusText(NTSTATUS status) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

// What NtLoadDriver answers for a driver that is already loaded.
constexpr NTSTATUS kImageAlreadyLoaded = static_cast<NTSTATUS>(0xC000010E);
constexpr NTSTATUS kNoDevice = static_cast<NTSTATUS>(0xC0000034);
constexpr int32_t kDefaultFailure = static_cast<int32_t>(0xC000009A);
// Buffer lengths a script may ask for; far above every record the driver
// knows, small enough for the simulated system space.
constexpr int64_t kMaxBufferLength = 0x100000;
// Virtual time a single advance may cover, well inside the clock's range.
constexpr int64_t kMaxAdvanceMs = 1000000000000LL;
// Bytes a script may store in one binary registry value.
constexpr size_t kMaxBinaryValue = 256;
// How far one clock step may move the system time: a century either way.
constexpr int64_t kMaxClockStepMs = 100LL * 366 * 24 * 3600 * 1000;
// Data bytes of a controller message: the frame holds at most 64.
constexpr size_t kMaxMessageData = 64;

// The kernel and HAL routines whose failure a script can inject.
const char* const kFailable[] = {
    "IoCreateDevice",         "IoCreateSymbolicLink",    "IoRegisterShutdownNotification",
    "IoReportResourceUsage",  "IoAllocateErrorLogEntry", "ExAllocatePoolWithTag",
    "MmMapIoSpace",           "RtlQueryRegistryValues",  "HalGetBusData",
    "HalTranslateBusAddress",
};

}  // namespace

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

  void execute(const Words& w) {
    static const std::map<std::string, Handler> commands = {
        {"registry", &Interpreter::registry}, {"pci", &Interpreter::pci},
        {"superio", &Interpreter::superio},   {"resources", &Interpreter::resources},
        {"map", &Interpreter::map},           {"clock", &Interpreter::clock},
        {"kernel", &Interpreter::kernel},     {"controller", &Interpreter::controller},
        {"load", &Interpreter::load},         {"unload", &Interpreter::unload},
        {"shutdown", &Interpreter::shutdown}, {"open", &Interpreter::open},
        {"close", &Interpreter::close},       {"ioctl", &Interpreter::ioctl},
        {"advance", &Interpreter::advance},   {"time", &Interpreter::time},
        {"note", &Interpreter::note},
    };
    auto found = commands.find(w[0]);
    if (found == commands.end()) fail("unknown command '" + w[0] + "'");
    (this->*found->second)(w);
  }

  // The board is what the driver finds when it loads; changing it under a
  // driver that has looked at it would be a different machine.
  void boardSetup(const Words& w) {
    if (loadRun_) fail("'" + w[0] + "' sets up the board, which must come before 'load'");
  }

  static const std::string& sub(const Words& w, const std::string& choices) {
    if (w.size() < 2) fail("'" + w[0] + "' needs one of: " + choices);
    return w[1];
  }

  [[noreturn]] static void badSub(const Words& w, const std::string& choices) {
    fail("'" + w[0] + " " + w[1] + "' is not a command; '" + w[0] + "' takes one of: " + choices);
  }

  // Registry -------------------------------------------------------------

  void registry(const Words& w) {
    const std::string choices = "set, set-string, set-binary, delete, remove-key";
    const std::string& s = sub(w, choices);
    auto& reg = machine_.kernel.registry;
    if (s == "set") {
      arity(w, 4, 4, "registry set NAME VALUE");
      reg.setDword(Machine::kParametersKey, w[2], dwordArg(w[3], "registry set VALUE"));
    } else if (s == "set-string") {
      arity(w, 4, 4, "registry set-string NAME TEXT");
      reg.setString(Machine::kParametersKey, w[2], w[3]);
    } else if (s == "set-binary") {
      arity(w, 3, 3 + kMaxBinaryValue, "registry set-binary NAME BYTE... (at most 256 bytes)");
      std::vector<uint8_t> bytes;
      for (size_t i = 3; i < w.size(); i++) bytes.push_back(byteArg(w[i], "registry set-binary BYTE"));
      reg.setBinary(Machine::kParametersKey, w[2], bytes);
    } else if (s == "delete") {
      arity(w, 3, 3, "registry delete NAME");
      reg.deleteValue(Machine::kParametersKey, w[2]);
    } else if (s == "remove-key") {
      arity(w, 2, 2, "registry remove-key");
      reg.removeKey(Machine::kParametersKey);
    } else {
      badSub(w, choices);
    }
  }

  // Board setup ----------------------------------------------------------

  void pci(const Words& w) {
    const std::string choices = "bridge, buses";
    const std::string& s = sub(w, choices);
    if (s == "bridge") {
      boardSetup(w);
      pciBridge(w);
    } else if (s == "buses") {
      boardSetup(w);
      arity(w, 3, 3, "pci buses N|B,B,...");
      pciBuses(w[2]);
    } else {
      badSub(w, choices);
    }
  }

  void pciBridge(const Words& w) {
    const std::string usage = "pci bridge none|DEVICE [bus B] [slot S] [function F]";
    arity(w, 3, 9, usage);
    auto& bus = machine_.board.pci;
    if (w[2] == "none") {
      arity(w, 3, 3, usage);
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

  void pciBuses(const std::string& word) {
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

  void superio(const Words& w) {
    const std::string choices = "base, space";
    const std::string& s = sub(w, choices);
    if (s == "base") {
      boardSetup(w);
      arity(w, 3, 3, "superio base VALUE");
      machine_.board.superIo.setGpioBase(static_cast<uint16_t>(number(w[2], 0, 0xFFFF, "superio base")));
    } else if (s == "space") {
      boardSetup(w);
      arity(w, 3, 3, "superio space memory|io");
      if (w[2] == "memory") {
        machine_.board.setGpioSpace(sim::Space::Memory);
      } else if (w[2] == "io") {
        machine_.board.setGpioSpace(sim::Space::Port);
      } else {
        fail("superio space: '" + w[2] + "' is neither memory nor io");
      }
    } else {
      badSub(w, choices);
    }
  }

  board::Board::Range range(const std::string& word, const std::string& what) {
    if (word == "config") return board::Board::Range::Config;
    if (word == "gpio") return board::Board::Range::Gpio;
    fail(what + ": '" + word + "' is neither config nor gpio");
  }

  void resources(const Words& w) {
    const std::string choices = "conflict, fail";
    const std::string& s = sub(w, choices);
    if (s == "conflict") {
      boardSetup(w);
      arity(w, 3, 3, "resources conflict config|gpio");
      machine_.board.setConflict(range(w[2], "resources conflict"), true);
    } else if (s == "fail") {
      boardSetup(w);
      arity(w, 4, 4, "resources fail config|gpio STATUS");
      auto r = range(w[2], "resources fail");
      machine_.board.setReportFailure(r, static_cast<int32_t>(dwordArg(w[3], "resources fail STATUS")));
    } else {
      badSub(w, choices);
    }
  }

  void map(const Words& w) {
    const std::string& s = sub(w, "fail");
    if (s != "fail") badSub(w, "fail");
    boardSetup(w);
    arity(w, 2, 2, "map fail");
    machine_.kernel.failures.arm("MmMapIoSpace", 0, 0xFFFFFFFF);
  }

  void clock(const Words& w) {
    const std::string choices = "increment, step";
    const std::string& s = sub(w, choices);
    if (s == "increment") {
      boardSetup(w);
      arity(w, 3, 3, "clock increment UNITS");
      machine_.kernel.clock.setIncrement(u32Arg(w[2], 1, "clock increment"));
    } else if (s == "step") {
      const std::string usage = "clock step DELTA [after MS]";
      arity(w, 3, 5, usage);
      int64_t deltaMs = number(w[2], -kMaxClockStepMs, kMaxClockStepMs, "clock step DELTA");
      int64_t afterMs = 0;
      if (w.size() > 3) {
        if (w.size() != 5 || w[3] != "after") fail("expected '" + usage + "'");
        afterMs = number(w[4], 0, kMaxAdvanceMs, "clock step after MS");
      }
      auto& clock = machine_.kernel.clock;
      clock.step(deltaMs * sim::kTicksPerMs, clock.now() + afterMs * sim::kTicksPerMs);
    } else {
      badSub(w, choices);
    }
  }

  // Kernel faults --------------------------------------------------------

  void kernel(const Words& w) {
    const std::string choices = "fail, registry-typecheck";
    const std::string& s = sub(w, choices);
    if (s == "fail") {
      kernelFail(w);
    } else if (s == "registry-typecheck") {
      arity(w, 3, 3, "kernel registry-typecheck on|off");
      if (w[2] != "on" && w[2] != "off") fail("kernel registry-typecheck: 'on' or 'off', not '" + w[2] + "'");
      machine_.kernel.registry.honoursTypecheck = w[2] == "on";
    } else {
      badSub(w, choices);
    }
  }

  void kernelFail(const Words& w) {
    arity(w, 3, 5, "kernel fail NAME [STATUS] [COUNT]");
    bool known = false;
    for (const char* name : kFailable) known = known || w[2] == name;
    if (!known) {
      std::string names;
      for (const char* name : kFailable) names += std::string(names.empty() ? "" : ", ") + name;
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
    machine_.kernel.failures.arm(w[2], status, count);
  }

  // Controller model -----------------------------------------------------

  void controller(const Words& w) {
    const std::string choices =
        "silent, alive, no-reply, post, version, slots, errors, status, corrupt, unsolicited, stuck-trdy, "
        "latency, reply-length, reply-data, trdy-lost, treq-held";
    const std::string& s = sub(w, choices);
    auto& c = machine_.board.controller;
    auto& fw = c.firmware();
    if (s == "silent" || s == "alive") {
      arity(w, 2, 2, "controller " + s);
      c.setSilent(s == "silent");
    } else if (s == "no-reply") {
      arity(w, 3, 4, "controller no-reply N [CODE]");
      c.faults().noReplyCount = u32Arg(w[2], 0, "controller no-reply N");
      c.faults().noReplyCode.reset();
      if (w.size() > 3) c.faults().noReplyCode = byteArg(w[3], "controller no-reply CODE");
    } else if (s == "post") {
      arity(w, 3, 3, "controller post CODE");
      fw.postCode = byteArg(w[2], "controller post");
    } else if (s == "version") {
      arity(w, 3, 3, "controller version TEXT");
      if (w[2].size() > board::Controller::kMaxVersion) {
        fail("controller version: " + std::to_string(w[2].size()) + " bytes, at most " +
             std::to_string(board::Controller::kMaxVersion));
      }
      fw.version = w[2];
    } else if (s == "slots") {
      arity(w, 4, 4, "controller slots P S");
      fw.slotPrimary = byteArg(w[2], "controller slots P");
      fw.slotSecondary = byteArg(w[3], "controller slots S");
    } else if (s == "errors") {
      arity(w, 4, 4, "controller errors COMM POLL");
      fw.commErrors = byteArg(w[2], "controller errors COMM");
      fw.pollErrors = byteArg(w[3], "controller errors POLL");
    } else if (s == "status") {
      arity(w, 4, 4, "controller status CODE VALUE|normal");
      uint8_t code = byteArg(w[2], "controller status CODE");
      if (w[3] == "normal") {
        fw.statusOverride.erase(code);
      } else {
        fw.statusOverride[code] = byteArg(w[3], "controller status VALUE");
      }
    } else if (s == "corrupt") {
      arity(w, 3, 3, "controller corrupt checksum");
      if (w[2] != "checksum") fail("controller corrupt: only 'checksum' can be corrupted");
      c.faults().corruptChecksum = true;
    } else if (s == "unsolicited") {
      arity(w, 3, 3 + kMaxMessageData, "controller unsolicited STATUS [DATA...] (at most 64 data bytes)");
      uint8_t status = byteArg(w[2], "controller unsolicited");
      std::vector<uint8_t> data;
      for (size_t i = 3; i < w.size(); i++) data.push_back(byteArg(w[i], "controller unsolicited"));
      c.postUnsolicited(status, data);
    } else if (s == "stuck-trdy") {
      arity(w, 2, 2, "controller stuck-trdy");
      c.faults().stuckTrdyArmed = true;
    } else if (s == "latency") {
      // Beyond the contract: how long the controller takes to raise TREQ
      // with its reply, for every command or for one code.
      arity(w, 3, 4, "controller latency US [CODE]");
      uint32_t us = u32Arg(w[2], 0, "controller latency US");
      if (w.size() > 3) {
        c.setReplyLatencyUs(byteArg(w[3], "controller latency CODE"), us);
      } else {
        c.setReplyLatencyUs(us);
      }
    } else if (s == "reply-length") {
      arity(w, 3, 3, "controller reply-length L");
      c.faults().replyLength = byteArg(w[2], "controller reply-length");
    } else if (s == "reply-data") {
      arity(w, 2, 2 + kMaxMessageData, "controller reply-data [DATA...] (at most 64 data bytes)");
      std::vector<uint8_t> data;
      for (size_t i = 2; i < w.size(); i++) data.push_back(byteArg(w[i], "controller reply-data"));
      c.faults().replyData = data;
    } else if (s == "trdy-lost") {
      arity(w, 4, 4, "controller trdy-lost host|reply K");
      int k = static_cast<int>(byteArg(w[3], "controller trdy-lost K"));
      if (w[2] == "host") {
        c.faults().trdyLostHostByte = k;
      } else if (w[2] == "reply") {
        c.faults().trdyLostReplyByte = k;
      } else {
        fail("controller trdy-lost: 'host' or 'reply', not '" + w[2] + "'");
      }
    } else if (s == "treq-held") {
      arity(w, 2, 2, "controller treq-held");
      c.faults().treqHeld = true;
    } else {
      badSub(w, choices);
    }
  }

  // Driver and machine ---------------------------------------------------

  void load(const Words& w) {
    arity(w, 1, 1, "load");
    loadRun_ = true;
    NTSTATUS status = machine_.driverLoaded() ? kImageAlreadyLoaded : machine_.load();
    print("load: status=" + statusText(status));
  }

  void unload(const Words& w) {
    arity(w, 1, 1, "unload");
    print(machine_.unload() ? "unload: done" : "unload: no driver");
  }

  void shutdown(const Words& w) {
    arity(w, 1, 1, "shutdown");
    NTSTATUS status = 0;
    print(machine_.shutdown(&status) ? "shutdown: status=" + statusText(status) : "shutdown: no device");
  }

  void open(const Words& w) {
    arity(w, 1, 1, "open");
    print("open: status=" + statusText(machine_.open()));
  }

  void close(const Words& w) {
    arity(w, 1, 1, "close");
    print("close: status=" + statusText(machine_.close()));
  }

  void ioctl(const Words& w) {
    if (w.size() < 2) fail("expected 'ioctl CODE [in=N] [out=M] [nobuffer] [BYTE...]'");
    uint32_t code = u32Arg(w[1], 0, "ioctl CODE");
    std::optional<int64_t> in;
    std::optional<int64_t> out;
    bool buffer = true;
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i < w.size(); i++) {
      const std::string& word = w[i];
      if (word.rfind("in=", 0) == 0 || word.rfind("out=", 0) == 0) {
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
    bool sent = machine_.ioctl(code, bytes, inputLength, outputLength, buffer,
                               [this, code](const Machine::IoctlResult& r) { print(ioctlLine(code, r)); });
    if (!sent) {
      Machine::IoctlResult none;
      none.completed = true;
      none.status = kNoDevice;
      print(ioctlLine(code, none));
    }
  }

  void advance(const Words& w) {
    arity(w, 2, 2, "advance MS");
    int64_t ms = number(w[1], 0, kMaxAdvanceMs, "advance");
    if (!machine_.kernel.clock.canAdvance(ms * sim::kTicksPerMs)) {
      fail("advance: " + w[1] + " ms would take virtual time past its limit");
    }
    machine_.advanceMs(ms);
  }

  void time(const Words& w) {
    arity(w, 1, 1, "time");
    print("time: " + std::to_string(machine_.timeUs()) + " us");
  }

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
  bool loadRun_ = false;
  std::optional<Place> bridge_ = Place{0, board::PciBus::kLpcBridgeDevice, 0};
};

Script::Script(std::ostream& out, std::ostream& err)
    : interpreter_(std::make_unique<Interpreter>(out, err)) {}

Script::~Script() = default;

int Script::run(std::istream& in) { return interpreter_->run(in); }

Machine& Script::machine() { return interpreter_->machine(); }

std::string usageText() {
  return "usage: scsim [--image DRIVER.sys] [FILE]\n"
         "       scsim --help\n"
         "Runs a board script from FILE, or from standard input when FILE is absent or '-'.\n"
         "--image runs the driver image DRIVER.sys instead of the driver compiled into scsim;\n"
         "only the 32-bit build of scsim (preset host32) can.\n"
         "Exit status: 0 the script ran to its end, 1 the verifier reported a rule violation,\n"
         "2 a script error (named with its line on standard error).\n"
         "\n"
         "Commands:\n"
         "  registry set NAME VALUE | set-string NAME TEXT | set-binary NAME BYTE... | delete NAME | "
         "remove-key\n"
         "  pci bridge none|DEVICE [bus B] [slot S] [function F] | pci buses N|B,B,...\n"
         "  superio base VALUE | superio space memory|io\n"
         "  resources conflict config|gpio | resources fail config|gpio STATUS\n"
         "  map fail\n"
         "  clock increment UNITS | clock step DELTA [after MS]\n"
         "  kernel fail NAME [STATUS] [COUNT] | kernel registry-typecheck on|off\n"
         "  controller silent | alive | no-reply N [CODE] | post CODE | version TEXT | slots P S\n"
         "             errors COMM POLL | status CODE VALUE|normal | corrupt checksum\n"
         "             unsolicited STATUS [DATA...] | stuck-trdy | latency US [CODE]\n"
         "             reply-length L | reply-data [DATA...] | trdy-lost host|reply K | treq-held\n"
         "  load | unload | shutdown | open | close\n"
         "  ioctl CODE [in=N] [out=M] [nobuffer] [BYTE...]\n"
         "  advance MS | time | note TEXT...\n";
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
