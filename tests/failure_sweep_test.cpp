// Every kernel call of the driver that can fail, made to fail once, each in
// turn.
//
// A recording run of one workload (load, every kind of request, a refusal
// or two, a failing display request, a connect that reads the registry, a
// poll, shutdown, unload) lists each call that the simulated kernel could
// fail, by the routine, the step of the workload (the phase) and the place
// in the driver it came from: the chain of return addresses through the
// driver's own frames. The places are told apart by those addresses and
// numbered by their first appearance within the phase, so nothing is
// counted by hand; their names, read from the program's debug information,
// make the table below readable and are checked against it. Then each
// place is failed once, in a run of its own, and the run must show what the
// table expects and nothing the verifier objects to: no leak of pool,
// mappings, claims, links, devices or registrations at the end, and no use
// of what failed.
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Machine.h"
#include "Script.h"

namespace failsweep {
namespace {

// The workload, one script fragment per phase. The registry holds the
// switch values, so that the connect request reads them. The controller
// reports a POST code and refuses the version at start-up, and fails a
// disconnect, a connect and a poll, so that their events are logged too.
struct Phase {
  const char* name;
  const char* script;
  bool gpioInMemory = false;  // the board decodes the GPIO block in memory space from this phase on
};
const Phase kPhases[] = {
    {"load",
     "registry set DebugLevel 2\n"
     "registry set CardID 0x21\n"
     "registry set SignallingType 1\n"
     "registry set TNMappingType 2\n"
     "controller post 0x3A\n"
     "controller no-reply 3 7\n"
     "load\n"},
    {"open", "open\n"},
    {"disconnect fails", "controller no-reply 1 9\nioctl IOCTL_SC_SWITCH_DISCONNECT in=12\n"},
    {"disconnect", "ioctl IOCTL_SC_SWITCH_DISCONNECT in=12\n"},
    {"display", "ioctl IOCTL_SC_HD_GROUP_ADD in=12\n"},
    {"version", "ioctl IOCTL_SC_FIRMWARE_VERSION out=72\n"},
    {"led", "ioctl IOCTL_SC_STATUS_LED_ON\n"},
    {"command4", "ioctl IOCTL_SC_COMMAND4\n"},
    {"level", "ioctl IOCTL_SC_DEBUG_LEVEL 2 0 0 0\n"},
    {"bad size", "ioctl IOCTL_SC_HD_RESET in=3\n"},
    {"bad code", "ioctl 0x222060\n"},
    {"bad state", "ioctl IOCTL_SC_SWITCH_DISCONNECT in=12\n"},
    {"display fails", "controller no-reply 3\nioctl IOCTL_SC_HD_GROUP_ADD in=12\n"},
    {"connect fails", "controller no-reply 3 8\nioctl IOCTL_SC_SWITCH_CONNECT in=12 1\n"},
    {"connect", "ioctl IOCTL_SC_SWITCH_CONNECT in=12 0\n"},
    {"poll fails", "controller no-reply 3 3\nadvance 600\n"},
    {"poll", "controller slots 0x40 0x40\ncontroller errors 1 1\nadvance 1000\n"},
    {"close", "close\n"},
    {"unload", "unload\n"},
    // Loaded again, with the GPIO block in memory space, so that it is
    // mapped; stopped by shutdown first this time.
    {"reload", "load\n", true},
    {"shutdown", "shutdown\n"},
    {"last unload", "unload\n"},
};
constexpr int kPhaseCount = static_cast<int>(sizeof(kPhases) / sizeof(kPhases[0]));

// What one failure must lead to, compared with the run where nothing fails.
enum class Kind {
  Same,     // every line but the trace is as without the failure
  Dropped,  // exactly one event is missing, every other line but the trace is as without the failure
  Shows,    // the phase prints `text` at the start of one of its lines
};
struct Expect {
  Kind kind;
  const char* text;
};
constexpr Expect kSame{Kind::Same, ""};
constexpr Expect kDropped{Kind::Dropped, ""};
constexpr Expect shows(const char* text) { return Expect{Kind::Shows, text}; }

// Every call that can fail, as the recording run finds them: phase,
// routine, number of the place in order of first appearance within the
// phase, a name the place's chain of driver functions must contain, and
// the outcome the driver's design gives.
struct Entry {
  const char* phase;
  const char* routine;
  int place;
  const char* where;
  Expect expect;
};
const Entry kTable[] = {
#include "failure_sweep_table.inc"
};

using Chain = std::vector<const void*>;

// The places one run met: by phase and routine, each distinct chain in order
// of first appearance.
struct Place {
  Chain chain;  // return addresses, innermost first, through the driver's frames and beyond
  int calls = 0;
};
using Key = std::pair<std::string, std::string>;  // phase, routine

Chain captureChain(const void* caller) {
  void* frames[64];
  int n = backtrace(frames, 64);
  Chain chain;
  bool found = false;
  for (int i = 0; i < n; i++) {
    found = found || frames[i] == caller;
    if (found) chain.push_back(frames[i]);
  }
  if (!found) chain.push_back(caller);
  return chain;
}

// One run of the workload; with a target, the target's call fails once.
class Workload {
 public:
  struct Target {
    std::string phase;
    std::string routine;
    Chain prefix;  // the driver's part of the chain
  };

  explicit Workload(const Target* target = nullptr) : script_(out_, err_), target_(target) {
    script_.machine().kernel.failures.observe(
        [this](const std::string& routine, const void* caller) { return onCall(routine, caller); });
  }

  void run() {
    for (phase_ = 0; phase_ < kPhaseCount; phase_++) {
      if (kPhases[phase_].gpioInMemory) script_.machine().board.setGpioSpace(sim::Space::Memory);
      std::istringstream in(kPhases[phase_].script);
      script_.run(in);
      std::string text = out_.str();
      out_.str("");
      std::istringstream lines(text);
      std::string line;
      while (std::getline(lines, line)) output_[phase_].push_back(line);
      EXPECT_EQ(err_.str(), "") << "script error in phase " << kPhases[phase_].name;
      err_.str("");
    }
  }

  // Nothing of the driver's is left once it is gone.
  void expectNothingLeft(const std::string& label) const {
    const sim::Kernel& k = const_cast<Workload*>(this)->script_.machine().kernel;
    EXPECT_TRUE(k.pool.outstanding().empty()) << label;
    EXPECT_EQ(k.bus.mappingCount(), 0u) << label;
    EXPECT_EQ(k.io.deviceCount(), 0u) << label;
    EXPECT_EQ(k.io.linkCount(), 0u) << label;
    EXPECT_EQ(k.errorLog.unwritten(), 0u) << label;
    EXPECT_TRUE(k.verifier.violations().empty())
        << label << ": " << sim::ruleName(k.verifier.violations().front().rule) << ": "
        << k.verifier.violations().front().detail;
  }

  const std::vector<std::string>& lines(int phase) const { return output_[phase]; }
  // Every line but the driver's trace, phase by phase.
  std::vector<std::string> observable() const {
    std::vector<std::string> out;
    for (int p = 0; p < kPhaseCount; p++) {
      for (const auto& l : output_[p]) {
        if (l.rfind("dbg: ", 0) != 0) out.push_back(std::string(kPhases[p].name) + "| " + l);
      }
    }
    return out;
  }
  const std::map<Key, std::vector<Place>>& places() const { return places_; }
  bool hit() const { return hit_; }

 private:
  bool onCall(const std::string& routine, const void* caller) {
    Chain chain = captureChain(caller);
    Key key{kPhases[phase_].name, routine};
    if (target_ == nullptr) {
      auto& list = places_[key];
      for (auto& place : list) {
        if (place.chain == chain) {
          place.calls++;
          return false;
        }
      }
      list.push_back(Place{chain, 1});
      return false;
    }
    if (hit_ || key.first != target_->phase || key.second != target_->routine) return false;
    if (chain.size() < target_->prefix.size() ||
        !std::equal(target_->prefix.begin(), target_->prefix.end(), chain.begin())) {
      return false;
    }
    hit_ = true;
    return true;
  }

  std::ostringstream out_;
  std::ostringstream err_;
  scsim::Script script_;
  const Target* target_;
  int phase_ = 0;
  std::vector<std::string> output_[kPhaseCount];
  std::map<Key, std::vector<Place>> places_;
  bool hit_ = false;
};

// Function names for code addresses, inlined frames included, from the
// program's own debug information.
class Symbols {
 public:
  explicit Symbols(const std::set<const void*>& addresses) {
    std::ostringstream command;
    command << "addr2line -a -f -i -C -e /proc/" << getpid() << "/exe";
    std::vector<const void*> order(addresses.begin(), addresses.end());
    for (const void* a : order) command << " 0x" << std::hex << fileAddress(a) - 1;
    FILE* pipe = popen(command.str().c_str(), "r");
    if (pipe == nullptr) return;
    char buffer[4096];
    int index = -1;
    bool nameLine = true;
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
      std::string line(buffer);
      if (!line.empty() && line.back() == '\n') line.pop_back();
      if (line.rfind("0x", 0) == 0) {
        index++;
        nameLine = true;
        continue;
      }
      if (index >= 0 && index < static_cast<int>(order.size()) && nameLine) {
        names_[order[index]].push_back(shorten(line));
      }
      nameLine = !nameLine;
    }
    pclose(pipe);
  }

  // Innermost first.
  const std::vector<std::string>& of(const void* address) const {
    static const std::vector<std::string> none;
    auto it = names_.find(address);
    return it == names_.end() ? none : it->second;
  }

  // The driver's own functions: free functions, and members of its classes.
  static bool isDriver(const std::string& name) {
    if (name.empty() || name == "??" || name == "main" || name.rfind("__", 0) == 0) return false;
    size_t scope = name.find("::");
    if (scope == std::string::npos) return true;
    std::string owner = name.substr(0, scope);
    return owner == "CDeviceExt" || owner == "CMessage" || owner == "CRegistry" || owner == "CTimer";
  }

 private:
  // The address as the program file numbers it: a position-independent
  // program is loaded at an offset.
  static uintptr_t fileAddress(const void* address) {
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return reinterpret_cast<uintptr_t>(address);
    const auto* header = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
    if (header->e_type != ET_DYN) return reinterpret_cast<uintptr_t>(address);
    return reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase);
  }

  // "CDeviceExt::hcPoll(unsigned char*)::{lambda()#1}::operator()() const" -> "CDeviceExt::hcPoll"
  static std::string shorten(std::string name) {
    const std::string anonymous = "(anonymous namespace)::";
    for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
    size_t cut = name.find_first_of("(<");
    if (cut != std::string::npos) name.resize(cut);
    return name;
  }

  std::map<const void*, std::vector<std::string>> names_;
};

struct Site {
  std::string phase;
  std::string routine;
  int place;
  std::string where;  // the driver's functions, innermost first
  Chain prefix;
  int calls;
};

// The driver's part of a chain, and its names.
Site describe(const Key& key, int place, const Place& p, const Symbols& symbols) {
  Site site{key.first, key.second, place, "", {}, p.calls};
  std::string last;
  for (const void* frame : p.chain) {
    const auto& names = symbols.of(frame);
    if (names.empty() || !Symbols::isDriver(names.front())) break;
    site.prefix.push_back(frame);
    for (const auto& name : names) {
      if (!Symbols::isDriver(name)) break;
      if (name != last) site.where += (site.where.empty() ? "" : " < ") + name;
      last = name;
    }
  }
  return site;
}

// `where` names functions, separated by " .. ", that the chain holds in
// that order, innermost first.
bool placedIn(const std::string& chain, const std::string& where) {
  size_t from = 0;
  size_t start = 0;
  while (start <= where.size()) {
    size_t end = where.find(" .. ", start);
    std::string name = where.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = chain.find(name, from);
    if (at == std::string::npos) return false;
    from = at + name.size();
    if (end == std::string::npos) break;
    start = end + 4;
  }
  return true;
}

std::string describeOutcome(const std::vector<std::string>& baseline, const std::vector<std::string>& run) {
  if (run == baseline) return "same";
  if (run.size() + 1 == baseline.size()) {
    size_t i = 0;
    while (i < run.size() && run[i] == baseline[i]) i++;
    std::vector<std::string> without = baseline;
    without.erase(without.begin() + static_cast<long>(i));
    if (without == run && baseline[i].find("| event: ") != std::string::npos) return "dropped " + baseline[i];
  }
  size_t i = 0;
  while (i < run.size() && i < baseline.size() && run[i] == baseline[i]) i++;
  return "differs from " + (i < run.size() ? run[i] : std::string("the end"));
}

TEST(FailureSweep, EveryFailingCallOnceInTurn) {
  Workload recording;
  recording.run();
  recording.expectNothingLeft("recording run");
  const std::vector<std::string> baseline = recording.observable();

  std::set<const void*> addresses;
  for (const auto& entry : recording.places()) {
    for (const auto& place : entry.second) addresses.insert(place.chain.begin(), place.chain.end());
  }
  Symbols symbols(addresses);

  // Places are told apart by the driver's part of their chains: the same
  // call reached from two script commands of a phase is one place.
  std::vector<Site> sites;
  for (const auto& entry : recording.places()) {
    int number = 1;
    size_t first = sites.size();
    for (const auto& place : entry.second) {
      Site site = describe(entry.first, number, place, symbols);
      bool known = false;
      for (size_t i = first; i < sites.size(); i++) {
        if (sites[i].prefix == site.prefix) {
          sites[i].calls += site.calls;
          known = true;
        }
      }
      if (!known) {
        sites.push_back(site);
        number++;
      }
    }
  }

  std::set<const Entry*> reached;
  int checked = 0;
  for (const Site& site : sites) {
    const Entry* entry = nullptr;
    for (const Entry& e : kTable) {
      if (site.phase == e.phase && site.routine == e.routine && site.place == e.place) entry = &e;
    }
    std::string label = site.phase + " / " + site.routine + " #" + std::to_string(site.place) + " at " +
                        site.where + " (" + std::to_string(site.calls) + " calls)";
    SCOPED_TRACE(label);
    if (entry == nullptr) {
      ADD_FAILURE() << "a call that can fail with no entry in the table";
    } else {
      reached.insert(entry);
      EXPECT_TRUE(placedIn(site.where, entry->where)) << "the table places it in " << entry->where;
    }
    EXPECT_FALSE(site.prefix.empty()) << "no driver function found for the call";

    Workload::Target target{site.phase, site.routine, site.prefix};
    Workload failing(&target);
    failing.run();
    EXPECT_TRUE(failing.hit()) << "the call was not made again";
    failing.expectNothingLeft(label);
    std::string outcome = describeOutcome(baseline, failing.observable());
    checked++;
    // FAILURE_SWEEP_LIST=1 prints every place as a table row, with what its
    // failure did, for whoever extends the table.
    if (entry == nullptr || getenv("FAILURE_SWEEP_LIST") != nullptr) {
      std::cout << "  {\"" << site.phase << "\", \"" << site.routine << "\", " << site.place << ", \""
                << site.where << "\", ...},  // " << outcome << "\n";
    }
    if (entry == nullptr) continue;
    switch (entry->expect.kind) {
      case Kind::Same: EXPECT_EQ(outcome, "same"); break;
      case Kind::Dropped: EXPECT_EQ(outcome.rfind("dropped ", 0), 0u) << outcome; break;
      case Kind::Shows: {
        int phase = 0;
        while (phase < kPhaseCount && site.phase != kPhases[phase].name) phase++;
        bool shown = false;
        for (const auto& line : failing.lines(phase)) shown = shown || line.rfind(entry->expect.text, 0) == 0;
        EXPECT_TRUE(shown) << "expected a line starting with: " << entry->expect.text;
        break;
      }
    }
  }
  for (const Entry& e : kTable) {
    EXPECT_TRUE(reached.count(&e)) << "table entry never reached: " << e.phase << " / " << e.routine << " #"
                                   << e.place << " at " << e.where;
  }
  std::cout << "failure sweep: " << checked << " calls failed in turn, " << sizeof(kTable) / sizeof(kTable[0])
            << " table entries\n";
}

}  // namespace
}  // namespace failsweep
