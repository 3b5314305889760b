// Systematic exploration of the driver on several processors: the hard
// cases run over many seeds of the scheduler, and a bounded exhaustive
// search enumerates every interleaving with at most two preemptions, the
// way systematic concurrency testers explore a kernel's schedules. Each run
// must end with no verifier report (an interleaved conversation on the
// wires among them) and with every request completed.
//
// The counts of schedules and the longest spin on a lock are printed, so
// that a run of the test shows what it explored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceExt.h"
#include "Machine.h"
#include "Script.h"

namespace {

// The sanitized build and the image's run a fifth of the seeds: the same
// code, slower, or checked more broadly elsewhere.
#ifdef EXPLORATION_SHORT
constexpr int kScale = 5;
#else
constexpr int kScale = 1;
#endif

using Chooser = std::function<size_t(const sim::Choice&)>;

struct Outcome {
  std::string out;
  int status = 0;
  sim::Ticks longestSpin = 0;
  sim::Ticks longestStretch = 0;  // at DISPATCH_LEVEL, on any processor

  size_t count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) n++;
    return n;
  }
  bool has(const std::string& text) const { return out.find(text) != std::string::npos; }
  // The first few verifier reports, enough to tell what went wrong.
  std::string verifierLines() const {
    std::istringstream in(out);
    std::string line;
    std::string found;
    int shown = 0;
    while (std::getline(in, line)) {
      if (line.rfind("verifier:", 0) == 0 && shown++ < 4) found += line + "\n";
    }
    return found;
  }
};

struct Options {
  uint64_t seed = 1;
  bool lockIgnored = false;
  Chooser chooser;
  // Runs after the first part of the script, with the machine at hand.
  std::function<void(scsim::Machine&)> between;
};

// Runs `setup`, then the test's own step, then `rest`, on one machine.
Outcome runScripts(const std::string& setup, const std::string& rest, const Options& o) {
  std::ostringstream out;
  std::ostringstream err;
  Outcome run;
  {
    scsim::Script script(out, err);
#ifdef EXPLORATION_IMAGE
    // The shipped image, where this build can run it.
    std::ifstream file(EXPLORATION_IMAGE, std::ios::binary);
    script.machine().useImage(
        std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
#endif
    sim::Scheduler& s = script.machine().kernel.scheduler;
    s.setSeed(o.seed);
    s.spinLocksIgnored = o.lockIgnored;
    if (o.chooser) s.setChooser(o.chooser);
    std::istringstream first(setup);
    run.status = script.run(first);
    if (run.status != 2 && o.between) o.between(script.machine());
    std::istringstream second(rest);
    if (run.status != 2) run.status = std::max(run.status, script.run(second));
    run.longestSpin = s.longestSpin();
    run.longestStretch = script.machine().kernel.irql.longestStretch();
  }
  run.out = out.str();
  EXPECT_EQ(err.str(), "");
  return run;
}

struct Tally {
  const char* name;
  int schedules = 0;
  sim::Ticks longestSpin = 0;
  sim::Ticks longestStretch = 0;
  void add(const Outcome& r) {
    schedules++;
    longestSpin = std::max(longestSpin, r.longestSpin);
    longestStretch = std::max(longestStretch, r.longestStretch);
  }
  ~Tally() {
    std::printf(
        "[exploration] %s: %d schedules, longest spin on a lock %lld us, longest stretch at "
        "DISPATCH_LEVEL %lld us\n",
        name, schedules, static_cast<long long>(longestSpin / sim::kTicksPerUs),
        static_cast<long long>(longestStretch / sim::kTicksPerUs));
  }
};

// The driver's own bound on a stretch at DISPATCH_LEVEL on the default
// board: one COMMAND_4 against a controller that never answers.
const sim::Ticks kDispatchBound =
    static_cast<sim::Ticks>(CDeviceExt::dispatchBoundUs(sim::Clock::kDefaultIncrement)) * sim::kTicksPerUs;

// A run of the machine that must show nothing wrong: no verifier report,
// every request sent completed, `wait` in time, and no processor held at
// DISPATCH_LEVEL past the driver's bound.
void expectClean(const Outcome& r, size_t requests, uint64_t seed) {
  EXPECT_LE(r.longestStretch, kDispatchBound) << "seed " << seed;
  EXPECT_EQ(r.verifierLines(), "") << "seed " << seed;
  EXPECT_EQ(r.count("ioctl: "), requests) << "seed " << seed << "\n" << r.out;
  EXPECT_FALSE(r.has("wait: timeout")) << "seed " << seed;
  EXPECT_EQ(r.status, 0) << "seed " << seed;
}

// Runs `act` on a thread of its own that wakes at virtual time `at`, and
// lets the script's thread wait for it (a minute at most).
void atMoment(scsim::Machine& m, sim::Ticks at, const std::function<void(scsim::Machine&)>& act) {
  sim::Scheduler& s = m.kernel.scheduler;
  bool done = false;
  s.spawn([&m, &s, &done, &act, at] {
    s.waitUntil([] { return false; }, at);
    act(m);
    done = true;
  });
  s.waitUntil([&done] { return done; }, at + 60000 * sim::kTicksPerMs);
  EXPECT_TRUE(done) << "the thread woken at " << at << " did not finish";
}

std::string repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; i++) text += line;
  return text;
}

// A COMMAND_4 that the controller holds for nearly its full second, sent
// just before the poll falls due on another processor while a third
// processor queues more requests. The poll finds the link busy and runs
// once the COMMAND_4 lets it go, instead of spinning for it.
const char* const kCommand4Setup =
    "processors 3\n"
    "load\n"
    "advance 510\n"
    "controller latency 990000 4\n";
const char* const kCommand4Rest =
    "ioctl IOCTL_SC_COMMAND4 async\n"
    "ioctl IOCTL_SC_STATUS_LED_ON async\n"
    "ioctl IOCTL_SC_HD_RESET in=12 async\n"
    "wait\n"
    "advance 1200\n"
    "unload\n";

TEST(Exploration, Command4HeldWhilePollsFallDue) {
  Tally tally{"COMMAND_4 held while polls fall due"};
  for (uint64_t seed = 1; seed <= 40 / kScale; seed++) {
    Outcome r = runScripts(kCommand4Setup, kCommand4Rest, {seed, false, {}, {}});
    tally.add(r);
    expectClean(r, 3, seed);
    // The poll found the link busy and ran afterwards: it was not lost.
    EXPECT_GE(r.count("wire: host> 03 03 FA"), 1u) << "seed " << seed;
  }
  // Nobody spun for the link while the controller held the reply.
  EXPECT_LT(tally.longestSpin, sim::kTicksPerMs);
}

// The same run with the link lock taken away: the poll's conversation gets
// into the COMMAND_4's and the controller model sees it.
TEST(Exploration, WithoutTheLinkLockConversationsInterleave) {
  Tally tally{"COMMAND_4 and polls, link lock disabled"};
  int interleaved = 0;
  for (uint64_t seed = 1; seed <= 8; seed++) {
    Outcome r = runScripts(kCommand4Setup, kCommand4Rest, {seed, true, {}, {}});
    tally.add(r);
    if (r.has("verifier: INTERLEAVED_CONVERSATION")) interleaved++;
  }
  EXPECT_GT(interleaved, 0);
}

// Ten COMMAND_4 requests from threads on two processors against a
// controller that never answers, while the poll falls due again and again
// on both: each request is a stretch of its own at DISPATCH_LEVEL, the
// processor drops below that level between two, and the polls run between
// them. With the next request started from the start-I/O routine, one
// processor stayed at DISPATCH_LEVEL for all ten, its polls held off.
TEST(Exploration, QueuedCommand4sNeverChainAtDispatchLevel) {
  Tally tally{"ten COMMAND_4 requests against a controller that never answers"};
  for (uint64_t seed = 1; seed <= 4 / (kScale > 1 ? 2 : 1); seed++) {
    Outcome r = runScripts("processors 2\nload\ncontroller no-reply 1000\n",
                           repeat("ioctl IOCTL_SC_COMMAND4 async\n", 10) + "wait\nadvance 2000\nunload\n",
                           {seed, false, {}, {}});
    tally.add(r);
    expectClean(r, 10, seed);
    EXPECT_EQ(r.count("wire: host> 03 04 F9"), 10u) << "seed " << seed;
    // About twelve seconds with polls falling due every second, each of
    // three unanswered attempts, some held back while a COMMAND_4 runs.
    EXPECT_GE(r.count("wire: host> 03 03 FA"), 18u) << "seed " << seed;
    // Nobody spun for the link: the poll that found it busy ran after.
    EXPECT_LT(r.longestSpin, sim::kTicksPerMs) << "seed " << seed;
  }
}

// A failing poll that lasts nearly its period (a reply timer near a second,
// the period raised to the longest poll), started late behind a COMMAND_4
// that is never answered. Its next expiry comes while it runs and, on the
// other processor, finds the link held by the poll itself. Were that poll
// owed and queued again when the link is let go, each poll would follow
// the last at once on one processor, which would stay at DISPATCH_LEVEL
// for good; the expiry is covered by the poll that ran, and skipped.
TEST(Exploration, APollDueWhileThePollRunsIsSkipped) {
  Tally tally{"failing polls that start late"};
  // The eight timing values count only together.
  const std::string setup =
      "processors 2\n"
      "registry set DevTimeoutCommMS 60\n"
      "registry set DevTimeoutPollS 62\n"
      "registry set DevTimeoutWatchdogMS 600\n"
      "registry set CmdReplyTimerUS 1000000\n"
      "registry set CmdRetryDelayUS 1000\n"
      "registry set CmdMaxRetries 10\n"
      "registry set TimerPollCardlanMS 1\n"
      "registry set TimerPollNormalMS 30000\n"
      "load\n"
      "controller no-reply 1000\n";
  const std::string rest =
      "ioctl IOCTL_SC_COMMAND4 async\nadvance 4500\ncontroller no-reply 0\nwait\nunload\n";
  for (uint64_t seed = 1; seed <= 8 / (kScale > 1 ? 2 : 1); seed++) {
    Outcome r = runScripts(setup, rest, {seed, false, {}, {}});
    tally.add(r);
    expectClean(r, 1, seed);
    EXPECT_GE(r.count("WARNING The poll outlasted the time to the next one"), 1u) << "seed " << seed;
    // Polls went on, a period apart.
    EXPECT_GE(r.count("wire: host> 03 03 FA"), 3u) << "seed " << seed;
  }
}

TEST(Exploration, ConnectRequestsBackToBack) {
  Tally tally{"connect requests back to back"};
  const std::string setup =
      "processors 3\n"
      "registry set CardID 0x21\n"
      "registry set SignallingType 1\n"
      "registry set TNMappingType 2\n"
      "load\n";
  const std::string rest =
      "ioctl IOCTL_SC_SWITCH_DISCONNECT in=12 async\n"
      "ioctl IOCTL_SC_SWITCH_CONNECT in=12 async 0\n"
      "ioctl IOCTL_SC_SWITCH_CONNECT in=12 async 2 0x10 1 2\n"
      "registry set CardID 0x33\n"
      "registry set SignallingType 4\n"
      "registry set TNMappingType 5\n"
      "ioctl IOCTL_SC_SWITCH_DISCONNECT in=12 async\n"
      "ioctl IOCTL_SC_SWITCH_CONNECT in=12 async 0\n"
      "wait\n"
      "advance 1500\n"
      "unload\n";
  // Every SWITCH_CONNECT on the wires carries one whole set of values.
  const std::vector<std::string> sets = {"46 03 03", "21 01 02", "10 01 02", "33 04 05"};
  for (uint64_t seed = 1; seed <= 600 / kScale; seed++) {
    Outcome r = runScripts(setup, rest, {seed, false, {}, {}});
    tally.add(r);
    expectClean(r, 5, seed);
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("wire: host> 06 08 ", 0) != 0) continue;
      std::string values = line.substr(18, 8);
      EXPECT_NE(std::find(sets.begin(), sets.end(), values), sets.end()) << "seed " << seed << ": " << line;
    }
  }
}

// Unload from a thread of its own at a moment around the first poll, to
// the microsecond, so that it meets the poll queued, taken by the other
// processor but not yet at the lock, running, and done.
TEST(Exploration, UnloadDuringPoll) {
  Tally tally{"unload during a poll"};
  for (uint64_t seed = 1; seed <= 2000 / kScale; seed++) {
    Options o{seed, false, {}, {}};
    o.between = [seed](scsim::Machine& m) {
      // The poll falls due at 515.625 ms; start between 514.9 and 516.4 ms.
      const sim::Ticks at =
          514900 * sim::kTicksPerUs + static_cast<sim::Ticks>(seed * 5 % 1500) * sim::kTicksPerUs;
      atMoment(m, at, [](scsim::Machine& machine) { machine.unload(); });
    };
    Outcome r = runScripts("processors 2\nload\n", "advance 2000\n", o);
    tally.add(r);
    expectClean(r, 0, seed);
  }
}

// Shutdown from the script's thread while a request holds the link and
// more wait in the queue; requests keep arriving during the stop.
TEST(Exploration, ShutdownDuringRequestAndRequestsDuringStop) {
  Tally tally{"shutdown during a request, requests during stop"};
  for (uint64_t seed = 1; seed <= 150 / kScale; seed++) {
    const std::string setup =
        "processors 2\n"
        "load\n"
        "controller latency 150000 4\n"
        "ioctl IOCTL_SC_COMMAND4 async\n"
        "ioctl IOCTL_SC_STATUS_LED_OFF async\n"
        "advance " +
        std::to_string(seed * 7 % 200) +
        "\n"
        "ioctl IOCTL_SC_HD_RESET in=12 async\n"
        "shutdown\n"
        "ioctl IOCTL_SC_FIRMWARE_VERSION out=72 async\n"
        "ioctl IOCTL_SC_COMMAND4 async\n"
        "wait\n";
    Outcome r = runScripts(setup, "advance 1000\nunload\n", {seed, false, {}, {}});
    tally.add(r);
    expectClean(r, 5, seed);
  }
}

// Shutdown from a thread of its own at every point of the driver's start:
// before the device exists, between and inside the commands of the
// start-up conversation, and after it. The stop never talks over the
// start-up nor through a released interface, and a controller that was
// told the driver connected is always told it goes down: a stop that comes
// while the start-up runs marks the device stopped, and the start-up gives
// up before its next command and says "DOWN" itself. Without that, a stop
// that found nothing started returned, the start-up went on, and "DOWN"
// was never sent.
TEST(Exploration, ShutdownAtEveryPointOfStartUp) {
  Tally tally{"shutdown during start-up"};
  const std::string connect = "wire: host> 08 01 58 02 3C 3E 00 23";
  const std::string down = "wire: host> 08 02 44 4F 57 4E 01 BD";
  int abandoned = 0;
  // The start-up takes about 1.3 ms of virtual time from `load`; the
  // moments sweep it microsecond by microsecond, then go past it.
  for (uint64_t seed = 1; seed <= 1600 / kScale; seed++) {
    bool done = false;
    Options o{seed, false, {}, {}};
    o.between = [&done, seed](scsim::Machine& m) {
      sim::Scheduler& s = m.kernel.scheduler;
      const sim::Ticks at = m.kernel.clock.now() + static_cast<sim::Ticks>(seed * kScale) * sim::kTicksPerUs;
      s.spawn([&m, &s, &done, at] {
        s.waitUntil([] { return false; }, at);
        NTSTATUS status = 0;
        m.shutdown(&status);
        done = true;
      });
    };
    Outcome r = runScripts("processors 2\n", "load\nadvance 1000\nunload\n", o);
    tally.add(r);
    EXPECT_TRUE(done) << "seed " << seed;
    EXPECT_EQ(r.verifierLines(), "") << "seed " << seed;
    EXPECT_LE(r.longestStretch, kDispatchBound) << "seed " << seed;
    if (r.has(connect)) {
      EXPECT_EQ(r.count(down), 1u) << "seed " << seed << "\n" << r.out;
    } else {
      EXPECT_FALSE(r.has("wire: host>")) << "seed " << seed;
    }
    abandoned += r.has("start-up abandoned");
    if (HasFailure()) break;
  }
  // The sweep reached into the start-up, not only before and after it.
  EXPECT_GT(abandoned, 0);
}

// Hundreds of requests queued from the other processors while one is
// served: the start-I/O routine must not nest once per queued request.
// Needs deferred start-I/O (IoSetStartIoAttributes); without it the
// recursion overflows the kernel stack once about a hundred wait.
TEST(Exploration, HundredsOfRequestsQueuedWhileOneIsServed) {
  Tally tally{"hundreds of requests queued while one is served"};
  constexpr int kQueued = 300;
  for (uint64_t seed = 1; seed <= 3; seed++) {
    const std::string rest = "ioctl IOCTL_SC_COMMAND4 async\n" +
                             repeat("ioctl IOCTL_SC_STATUS_LED_ON async\n", kQueued / 2) +
                             repeat("ioctl IOCTL_SC_STATUS_LED_OFF async\n", kQueued / 2) + "wait\nunload\n";
    Outcome r = runScripts("processors 4\nload\ncontroller latency 500000 4\n", rest, {seed, false, {}, {}});
    tally.add(r);
    expectClean(r, kQueued + 1, seed);
  }
}

// The same seed is the same run.
TEST(Exploration, ASeedRepeatsItsRun) {
  Outcome a = runScripts(kCommand4Setup, kCommand4Rest, {42, false, {}, {}});
  Outcome b = runScripts(kCommand4Setup, kCommand4Rest, {42, false, {}, {}});
  EXPECT_EQ(a.out, b.out);
  Outcome c = runScripts(kCommand4Setup, kCommand4Rest, {43, false, {}, {}});
  EXPECT_NE(a.out, c.out);
}

// Preemption-bounded search: every schedule that differs from the
// run-to-completion one in at most `bound` preemptions, enumerated depth
// first by replaying a recorded prefix of choices and taking the next way
// at the last point that has one left within the bound.
class BoundedSearch {
 public:
  explicit BoundedSearch(int bound) : bound_(bound) {}

  Chooser chooser() {
    return [this](const sim::Choice& c) -> size_t {
      if (position_ < trail_.size()) return trail_[position_++].chosen;
      trail_.push_back({c.count, c.preemptive, 0});
      position_++;
      return 0;
    };
  }

  // Moves to the next schedule; false when all are done.
  bool next() {
    position_ = 0;
    std::vector<int> before(trail_.size() + 1, 0);
    for (size_t i = 0; i < trail_.size(); i++) {
      before[i + 1] = before[i] + (trail_[i].preemptive && trail_[i].chosen != 0 ? 1 : 0);
    }
    for (size_t i = trail_.size(); i-- > 0;) {
      Step& s = trail_[i];
      int cost = s.preemptive ? 1 : 0;
      if (s.chosen + 1 < s.count && before[i] + cost <= bound_) {
        s.chosen++;
        trail_.resize(i + 1);
        return true;
      }
    }
    return false;
  }

 private:
  struct Step {
    size_t count;
    bool preemptive;
    size_t chosen;
  };
  int bound_;
  std::vector<Step> trail_;
  size_t position_ = 0;
};

// A short request whose reply is still open when the poll falls due on the
// other processor.
const char* const kSearchSetup =
    "processors 2\n"
    "load\n"
    "advance 505\n"
    "controller latency 10000 4\n";
const char* const kSearchRest =
    "ioctl IOCTL_SC_COMMAND4 async\n"
    "wait\n"
    "advance 600\n"
    "unload\n";
constexpr int kSearchLimit = 20000;

TEST(Exploration, AllSchedulesWithTwoPreemptionsKeepConversationsApart) {
  Tally tally{"bounded search, 2 preemptions, link lock"};
  BoundedSearch search(2);
  do {
    Outcome r = runScripts(kSearchSetup, kSearchRest, {1, false, search.chooser(), {}});
    tally.add(r);
    expectClean(r, 1, static_cast<uint64_t>(tally.schedules));
    if (HasFailure()) break;
  } while (search.next() && tally.schedules < kSearchLimit);
  EXPECT_LT(tally.schedules, kSearchLimit) << "the search did not finish";
  EXPECT_GT(tally.schedules, 10);
}

// Unload from a thread that wakes at the very clock interrupt at which the
// poll falls due (515.625 ms), every schedule with at most two
// preemptions: among them the poll taken by the other processor before the
// unload removes it from the queue, and overtaken before it reaches the
// lock. Needs the unload to wait for a running poll (KeFlushQueuedDpcs);
// without it the search finds the poll touching the deleted extension.
TEST(Exploration, AllSchedulesOfUnloadDuringPoll) {
  Tally tally{"bounded search, 2 preemptions, unload during a poll"};
  BoundedSearch search(2);
  int failed = 0;
  do {
    Options o{1, false, search.chooser(), {}};
    o.between = [](scsim::Machine& m) {
      atMoment(m, 515625 * sim::kTicksPerUs, [](scsim::Machine& machine) { machine.unload(); });
    };
    Outcome r = runScripts("processors 2\nload\n", "advance 2000\n", o);
    tally.add(r);
    if (!r.verifierLines().empty()) {
      if (failed++ == 0) ADD_FAILURE() << "schedule " << tally.schedules << ":\n" << r.verifierLines();
    }
  } while (search.next() && tally.schedules < kSearchLimit);
  std::printf("[exploration] %d of %d schedules of unload during a poll went wrong\n", failed,
              tally.schedules);
  EXPECT_LT(tally.schedules, kSearchLimit) << "the search did not finish";
}

TEST(Exploration, TheBoundedSearchFindsTheInterleavingWithoutTheLock) {
  Tally tally{"bounded search, 2 preemptions, link lock disabled"};
  BoundedSearch search(2);
  int interleaved = 0;
  do {
    Outcome r = runScripts(kSearchSetup, kSearchRest, {1, true, search.chooser(), {}});
    tally.add(r);
    if (r.has("verifier: INTERLEAVED_CONVERSATION")) interleaved++;
  } while (search.next() && tally.schedules < kSearchLimit);
  std::printf("[exploration] %d of %d schedules interleaved conversations\n", interleaved, tally.schedules);
  EXPECT_GT(interleaved, 0);
  // The run-to-completion schedule alone keeps them apart: the search, not
  // luck, finds the fault.
  EXPECT_LT(interleaved, tally.schedules);
}

}  // namespace
