// Registry parameters: the values read at start-up and at load, their
// defaults, and the kernel rules around the reads.
#include <cstring>

#include "RegistryValues.h"
#include "harness.h"

namespace {

using test::kParameters;
using test::LinkTest;

class RegistryTest : public LinkTest {
 protected:
  void set(const char* name, uint32_t value) { kernel.registry.setDword(kParameters, name, value); }
  void setGroup() {
    set("DevTimeoutCommMS", 70);
    set("DevTimeoutPollS", 80);
    set("DevTimeoutWatchdogMS", 900);
    set("CmdReplyTimerUS", 7000);
    set("CmdRetryDelayUS", 2000);
    set("CmdMaxRetries", 5);
    set("TimerPollCardlanMS", 1500);
    set("TimerPollNormalMS", 45000);
  }
  std::string missingWarning(const char* name) const {
    return std::string(
               "TAMRIXSC: CDeviceExt::queryRegistry() !!!!! WARNING Key not found in registry; key [") +
           name + "]; path [" + kParameters + "]";
  }
};

TEST_F(RegistryTest, NothingPresentKeepsTheDefaultsWithThreeWarnings) {
  ext->readRegistryParams();
  EXPECT_EQ(ext->Options, 0);
  EXPECT_EQ(ext->DevTimeoutComm, 60);
  EXPECT_EQ(ext->CmdMaxRetries, 3);
  EXPECT_EQ(ext->TimerPollNormal, 30000u);
  std::vector<std::string> warnings;
  for (const auto& l : dbg()) {
    if (l.find("WARNING") != std::string::npos) warnings.push_back(l);
  }
  EXPECT_EQ(warnings, (std::vector<std::string>{missingWarning("OptionResetNoPoll"),
                                                missingWarning("OptionShowCommErrors"),
                                                missingWarning("DevTimeoutCommMS")}));
  EXPECT_TRUE(kernel.pool.outstanding().empty());
}

TEST_F(RegistryTest, OptionsSetTheirBitOnlyForExactlyOne) {
  set("OptionResetNoPoll", 2);
  set("OptionShowCommErrors", 1);
  ext->readRegistryParams();
  EXPECT_EQ(ext->Options, 0x01);
  ext->Options = 0;
  set("OptionResetNoPoll", 1);
  set("OptionShowCommErrors", 0);
  ext->readRegistryParams();
  EXPECT_EQ(ext->Options, 0x80);
}

// A value wider than its field saturates at the field's maximum instead of
// losing its upper bits, and the retry count stays between one attempt
// and ten; each with a warning that names the value.
TEST_F(RegistryTest, GroupOfEightIsTakenWholeAndHeldToItsFields) {
  setGroup();
  set("DevTimeoutCommMS", 500);
  set("DevTimeoutPollS", 256);
  set("DevTimeoutWatchdogMS", 65536 + 600);
  set("CmdMaxRetries", static_cast<uint32_t>(-2));
  ext->readRegistryParams();
  EXPECT_EQ(ext->DevTimeoutComm, 255);
  EXPECT_EQ(ext->DevTimeoutPoll, 255);
  EXPECT_EQ(ext->DevTimeoutWatchdog, 65535);
  EXPECT_EQ(ext->CmdReplyTimer, 7000u);
  EXPECT_EQ(ext->CmdRetryDelay, 2000u);
  EXPECT_EQ(ext->CmdMaxRetries, 1);
  EXPECT_EQ(ext->TimerPollCardlan, 1500u);
  EXPECT_EQ(ext->TimerPollNormal, 45000u);
  for (const char* warning : {"DevTimeoutCommMS [500] is above the limit; using [255]",
                              "DevTimeoutPollS [256] is above the limit; "
                              "using [255]",
                              "DevTimeoutWatchdogMS [66136] is above the limit; using [65535]",
                              "CmdMaxRetries [-2] is below the limit; using [1]"}) {
    EXPECT_TRUE(traced(std::string("TAMRIXSC: CDeviceExt::readRegistryParams() !!!!! WARNING ") + warning))
        << warning;
  }
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() New DEV values; DevTimeoutComm [255]; "
             "DevTimeoutPoll [255]; "
             "DevTimeoutWatchdog [65535]"));
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() New CMD values; CmdReplyTimer [7000]; CmdRetryDelay "
             "[2000]; "
             "CmdMaxRetries [1]"));
  EXPECT_TRUE(traced(
      "TAMRIXSC: CDeviceExt::readRegistryParams() New TIMER values; TimerPollCardlan [1500]; TimerPollNormal "
      "[45000]"));

  // At the fields' maximum: kept, no warning.
  kernel.debugger.clear();
  set("DevTimeoutCommMS", 255);
  set("DevTimeoutPollS", 255);
  set("DevTimeoutWatchdogMS", 65535);
  set("CmdMaxRetries", 10);
  ext->readRegistryParams();
  EXPECT_EQ(ext->DevTimeoutComm, 255);
  EXPECT_EQ(ext->DevTimeoutPoll, 255);
  EXPECT_EQ(ext->DevTimeoutWatchdog, 65535);
  EXPECT_EQ(ext->CmdMaxRetries, 10);
  for (const auto& line : dbg()) EXPECT_EQ(line.find("the limit"), std::string::npos) << line;
  set("CmdMaxRetries", 11);
  ext->readRegistryParams();
  EXPECT_EQ(ext->CmdMaxRetries, 10);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() !!!!! WARNING CmdMaxRetries [11] is above the "
             "limit; using [10]"));
}

TEST_F(RegistryTest, OneMissingValueOfTheGroupKeepsAllEight) {
  setGroup();
  kernel.registry.deleteValue(kParameters, "TimerPollNormalMS");
  ext->readRegistryParams();
  EXPECT_EQ(ext->DevTimeoutComm, 60);
  EXPECT_EQ(ext->DevTimeoutPoll, 62);
  EXPECT_EQ(ext->DevTimeoutWatchdog, 600);
  EXPECT_EQ(ext->CmdReplyTimer, 5000u);
  EXPECT_EQ(ext->CmdRetryDelay, 1000u);
  EXPECT_EQ(ext->CmdMaxRetries, 3);
  EXPECT_EQ(ext->TimerPollCardlan, 1000u);
  EXPECT_EQ(ext->TimerPollNormal, 30000u);
  for (const auto& l : dbg()) EXPECT_EQ(l.find("New "), std::string::npos) << l;
  EXPECT_TRUE(traced(missingWarning("TimerPollNormalMS")));
}

TEST_F(RegistryTest, AllBitsSetCountsAsMissing) {
  setGroup();
  set("CmdRetryDelayUS", 0xFFFFFFFF);
  ext->readRegistryParams();
  EXPECT_EQ(ext->CmdReplyTimer, 5000u);
  EXPECT_TRUE(traced(missingWarning("CmdRetryDelayUS")));
  // The remaining values are not read once one is missing.
  EXPECT_FALSE(traced(missingWarning("CmdMaxRetries")));
}

TEST_F(RegistryTest, AStringWhereANumberBelongsIsMissingAndWritesNothing) {
  setGroup();
  kernel.registry.setString(kParameters, "DevTimeoutPollS", "sixty-two, as text");
  ext->readRegistryParams();
  EXPECT_EQ(ext->DevTimeoutPoll, 62);
  EXPECT_TRUE(traced(missingWarning("DevTimeoutPollS")));
  EXPECT_TRUE(
      traced("TAMRIXSC: CRegistry::QueryDirect() Nothing found in registry; key [DevTimeoutPollS]; path [" +
             std::string(kParameters) + "]; status [0xC0000024]"));
  // The harness fails the test on any verifier report, such as a string
  // stored through the 32-bit destination.
}

// Kernels that predate the type-check flag store any value through a
// direct entry; the driver's reads take only a four-byte REG_DWORD
// whatever the kernel does with the flag, and free their table by its tag.
TEST_F(RegistryTest, OtherTypesCountAsMissingOnKernelsWithoutTheTypeCheck) {
  kernel.registry.honoursTypecheck = false;
  kernel.registry.setBinary(kParameters, "Long", {1, 2, 3, 4, 5, 6, 7, 8});
  kernel.registry.setBinary(kParameters, "Four", {0x10, 0x27, 0, 0});
  kernel.registry.setBinary(kParameters, "Empty", {});
  kernel.registry.setString(kParameters, "Text", "a long text that would overrun any 32-bit variable");
  for (const PCWSTR name : {L"Long", L"Four", L"Empty", L"Text"}) {
    ULONG around[3] = {0x11111111, 0x22222222, 0x33333333};
    EXPECT_EQ(ext->queryRegistry(name, &around[1]), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(around[0], 0x11111111u);
    EXPECT_EQ(around[2], 0x33333333u);
  }
  // Whole group: one binary value keeps all eight defaults.
  setGroup();
  kernel.registry.setBinary(kParameters, "CmdMaxRetries", {5, 0, 0, 0});
  ext->readRegistryParams();
  EXPECT_EQ(ext->CmdMaxRetries, 3);
  EXPECT_EQ(ext->CmdReplyTimer, 5000u);
  EXPECT_EQ(kernel.pool.untaggedFrees(), 0u);
  EXPECT_TRUE(kernel.pool.outstanding().empty());
}

TEST_F(RegistryTest, WaitsAreBoundedSoThatNoTransactionPassesTheStretchBound) {
  setGroup();
  set("CmdReplyTimerUS", 0xFFFFFFFE);
  set("CmdRetryDelayUS", 1000000);
  set("TimerPollCardlanMS", 0);
  set("TimerPollNormalMS", 0x7FFFFFFF);
  ext->readRegistryParams();
  // The longest reply timer with which the firmware version's 64 reply
  // bytes still fit in one stretch: a little under a second.
  const ULONG limit = ext->maxReplyTimerUs();
  EXPECT_GT(limit, 900000u);
  EXPECT_LT(limit, 1000000u);
  EXPECT_LE(CMessage::boundUs(FIRMWARE_VERSION, 0, 64, limit, ext->ClockIncrement), ext->DispatchBoundUs);
  EXPECT_GT(CMessage::boundUs(FIRMWARE_VERSION, 0, 64, limit + 1, ext->ClockIncrement), ext->DispatchBoundUs);
  EXPECT_EQ(ext->CmdReplyTimer, limit);
  EXPECT_EQ(ext->CmdRetryDelay, 1000000u);  // at the bound: kept
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() !!!!! WARNING CmdReplyTimer [4294967294] is "
             "above the limit; using [" +
             std::to_string(limit) + "]"));
  int limited = 0;
  for (const auto& line : dbg()) limited += line.find("is above the limit") != std::string::npos;
  EXPECT_EQ(limited, 1);
  // A poll with these values is cut off at the stretch bound; 0 first
  // takes the default of 1000 ms, which is below that.
  EXPECT_EQ(ext->TimerPollCardlan, ext->longestPollMs());
  EXPECT_EQ(ext->TimerPollCardlan, (ext->DispatchBoundUs + 999) / 1000);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() !!!!! WARNING TimerPollCardlan [0] is no "
             "period; using the default [1000]"));
  EXPECT_EQ(ext->TimerPollNormal, 0x7FFFFFFFu);

  // The defaults leave room: a failing poll takes well under a second.
  ext->CmdReplyTimer = CDeviceExt::kDefaultCmdReplyTimer;
  ext->CmdRetryDelay = CDeviceExt::kDefaultCmdRetryDelay;
  ext->CmdMaxRetries = CDeviceExt::kDefaultCmdMaxRetries;
  EXPECT_LT(ext->longestPollMs(), 200u);
}

// The longest poll is the shortest period allowed: a period equal to it is
// kept without a word, one a millisecond shorter is raised to it.
TEST_F(RegistryTest, PollPeriodsAtTheLongestPollAreKeptAndShorterOnesRaised) {
  setGroup();
  ext->readRegistryParams();  // the reply timer, pause and retries the longest poll depends on
  const ULONG longest = ext->longestPollMs();
  ASSERT_GT(longest, 1u);
  const auto belowWarnings = [this] {
    std::vector<std::string> lines;
    for (const auto& line : dbg()) {
      if (line.find("is below the longest poll") != std::string::npos) lines.push_back(line);
    }
    return lines;
  };
  set("TimerPollCardlanMS", longest);
  set("TimerPollNormalMS", longest + 1);
  kernel.debugger.clear();
  ext->readRegistryParams();
  EXPECT_EQ(ext->TimerPollCardlan, longest);
  EXPECT_EQ(ext->TimerPollNormal, longest + 1);
  EXPECT_EQ(belowWarnings(), std::vector<std::string>{});

  set("TimerPollCardlanMS", longest + 1);
  set("TimerPollNormalMS", longest - 1);
  kernel.debugger.clear();
  ext->readRegistryParams();
  EXPECT_EQ(ext->TimerPollCardlan, longest + 1);
  EXPECT_EQ(ext->TimerPollNormal, longest);
  const std::string n = std::to_string(longest);
  EXPECT_EQ(belowWarnings(),
            (std::vector<std::string>{
                "TAMRIXSC: CDeviceExt::readRegistryParams() !!!!! WARNING TimerPollNormal [" +
                std::to_string(longest - 1) + "] is below the longest poll; using [" + n + "]"}));
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::readRegistryParams() New TIMER values; TimerPollCardlan [" +
                     std::to_string(longest + 1) + "]; TimerPollNormal [" + n + "]"));
}

TEST_F(RegistryTest, SimulatedKernelCatchesADirectQueryWithoutTypeCheck) {
  kernel.registry.setString(kParameters, "Name", "text");
  ULONG destination = 0;
  LONG defaultValue = -1;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(L"Name");
  table[0].EntryContext = &destination;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &defaultValue;
  table[0].DefaultLength = sizeof(defaultValue);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE,
                                   L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES"
                                   L"\\TAMRIXSC\\Parameters",
                                   table, nullptr, nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(kernel.verifier.violations().size(), 1u);
  EXPECT_EQ(kernel.verifier.violations()[0].rule, sim::Rule::RegistryDirectOverrun);
  kernel.verifier.clear();
}

TEST_F(RegistryTest, MissingKeyKeepsTheDefaults) {
  kernel.registry.removeKey(kParameters);
  setGroup();  // recreates the key
  kernel.registry.removeKey(kParameters);
  ext->readRegistryParams();
  EXPECT_EQ(ext->CmdReplyTimer, 5000u);
  EXPECT_TRUE(
      traced("TAMRIXSC: CRegistry::QueryDirect() Nothing found in registry; key [OptionResetNoPoll]; path [" +
             std::string(kParameters) + "]; status [0xC0000034]"));
}

TEST_F(RegistryTest, TableAllocationFailureCountsAsMissing) {
  setGroup();
  kernel.failures.arm("ExAllocatePoolWithTag", 0, 1);
  ext->readRegistryParams();
  EXPECT_TRUE(traced("TAMRIXSC: CRegistry::CRegistry() **** ERROR Cannot allocate memory for [" +
                     std::to_string(2 * sizeof(RTL_QUERY_REGISTRY_TABLE)) + "] bytes!"));
  EXPECT_TRUE(traced(missingWarning("OptionResetNoPoll")));
  EXPECT_EQ(ext->CmdRetryDelay, 2000u);  // later reads went through
  EXPECT_TRUE(kernel.pool.outstanding().empty());
}

TEST_F(RegistryTest, ReadsNeedPassiveLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ULONG value = 0;
  EXPECT_EQ(ext->queryRegistry(L"CardID", &value), STATUS_UNSUCCESSFUL);
  KeLowerIrql(old);
  std::vector<std::string> rules;
  for (const auto& v : kernel.verifier.violations()) rules.push_back(sim::ruleName(v.rule));
  // The paged table's allocation and free and the registry read break the
  // rule, and so do the traces of the failed read, with their Unicode names.
  EXPECT_EQ(rules, (std::vector<std::string>{"IRQL_NOT_LESS_OR_EQUAL", "IRQL_NOT_LESS_OR_EQUAL",
                                             "DBGPRINT_UNICODE_AT_RAISED_IRQL",
                                             "DBGPRINT_UNICODE_AT_RAISED_IRQL", "IRQL_NOT_LESS_OR_EQUAL"}));
  kernel.verifier.clear();
}

class DebugLevelTest : public RegistryTest {};

TEST_F(DebugLevelTest, LevelComesFromTheRegistryUnclamped) {
  g_DebugLevel = 2;
  set("DebugLevel", 9);
  EXPECT_EQ(readDebugLevel(), 9);
  EXPECT_EQ(dbg(), (std::vector<std::string>{"TAMRIXSC: DriverEntry() Using debug level [9]"}));
}

TEST_F(DebugLevelTest, MissingOrAllBitsGivesTwoWithAWarning) {
  for (bool present : {false, true}) {
    kernel.debugger.clear();
    g_DebugLevel = 2;
    if (present) set("DebugLevel", 0xFFFFFFFF);
    EXPECT_EQ(readDebugLevel(), 2);
    EXPECT_EQ(dbg(), (std::vector<std::string>{
                         "TAMRIXSC: DriverEntry() Key 'DebugLevel' not found in registry; reset to default",
                         "TAMRIXSC: DriverEntry() Using debug level [2]"}));
  }
}

TEST_F(DebugLevelTest, ZeroIsTakenAndSilencesLaterLines) {
  g_DebugLevel = 2;
  set("DebugLevel", 0);
  g_DebugLevel = readDebugLevel();
  EXPECT_EQ(g_DebugLevel, 0);
  kernel.debugger.clear();
  ext->readRegistryParams();
  EXPECT_TRUE(dbg().empty());
}

}  // namespace

namespace {

// A value of any type, as `registry set-typed` stores it.
void setTyped(sim::Kernel& kernel, const char* name, uint32_t type, const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  kernel.registry.setBinary(kParameters, name, bytes);
  kernel.registry.key(kParameters)->values[sim::Registry::fold(name)].type = type;
}

struct Call {
  std::u16string text;
  ULONG type;
};

NTSTATUS NTAPI recordCall(PWSTR, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
  const auto* units = static_cast<const char16_t*>(data);
  std::u16string text(units, units + length / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  static_cast<std::vector<Call>*>(context)->push_back({text, type});
  return STATUS_SUCCESS;
}

std::vector<Call> query(const char* name, ULONG flags) {
  std::vector<Call> calls;
  std::u16string wide(name, name + std::strlen(name));
  wide.push_back(0);
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].QueryRoutine = recordCall;
  table[0].Flags = flags;
  table[0].Name = reinterpret_cast<PWSTR>(wide.data());
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE,
                                   L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES"
                                   L"\\TAMRIXSC\\Parameters",
                                   table, &calls, nullptr),
            STATUS_SUCCESS);
  return calls;
}

// Two strings, the empty multi-string, and an expandable string.
const std::u16string kTwoStrings(
    u"5\0"
    u"6\0\0",
    5);
const std::u16string kNoString(u"\0\0", 2);
const std::u16string kExpandable(u"%SystemRoot%\\x\0", 15);

}  // namespace

// The kernel hands a multi-string to the query routine one string at a
// time and an empty one not at all, and expands an expandable string;
// each arrives as REG_SZ. RTL_QUERY_REGISTRY_NOEXPAND hands the value over
// as it is stored.
TEST_F(RegistryTest, QueryRoutineSeesStringsAsTheKernelPreprocessesThem) {
  setTyped(kernel, "Two", REG_MULTI_SZ, kTwoStrings);
  setTyped(kernel, "None", REG_MULTI_SZ, kNoString);
  setTyped(kernel, "Path", REG_EXPAND_SZ, kExpandable);
  auto two = query("Two", 0);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].text, u"5");
  EXPECT_EQ(two[1].text, u"6");
  EXPECT_EQ(two[0].type, static_cast<ULONG>(REG_SZ));
  EXPECT_TRUE(query("None", 0).empty());
  auto path = query("Path", 0);
  ASSERT_EQ(path.size(), 1u);
  EXPECT_EQ(path[0].text, u"C:\\WINDOWS\\x");
  EXPECT_EQ(path[0].type, static_cast<ULONG>(REG_SZ));
  auto raw = query("Two", RTL_QUERY_REGISTRY_NOEXPAND);
  ASSERT_EQ(raw.size(), 1u);
  EXPECT_EQ(raw[0].type, static_cast<ULONG>(REG_MULTI_SZ));
}

// Every number the driver reads, given as such a string: the value counts
// as missing, whatever the destination held before. An empty multi-string,
// which the query routine never sees, is not read as 0.
TEST_F(RegistryTest, StringShapedValuesCountAsMissing) {
  for (const std::u16string* shape : {&kNoString, &kTwoStrings, &kExpandable}) {
    const uint32_t type = shape == &kExpandable ? REG_EXPAND_SZ : REG_MULTI_SZ;
    for (const RegistryValue& value : kRegistryValues) {
      const std::string name = sim::narrow(sim::fromWide(value.name));
      setTyped(kernel, name.c_str(), type, *shape);
      ULONG destination = 0;
      EXPECT_EQ(ext->queryRegistry(value.name, &destination), STATUS_UNSUCCESSFUL) << name;
      EXPECT_TRUE(traced(missingWarning(name.c_str()))) << name;
    }
    // Read at load: the trace level keeps its default.
    EXPECT_EQ(readDebugLevel(), kDefaultDebugLevel);
    ext->CmdMaxRetries = 0;
    ext->readRegistryParams();
    EXPECT_EQ(ext->CmdMaxRetries, 0);  // the group was not taken
    kernel.debugger.clear();
  }
}
