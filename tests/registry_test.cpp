// Registry parameters: the values read at start-up and at load, their
// defaults, and the kernel rules around the reads.
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

TEST_F(RegistryTest, GroupOfEightIsTakenWholeWithLowBits) {
  setGroup();
  set("DevTimeoutCommMS", 500);
  set("DevTimeoutWatchdogMS", 65536 + 600);
  set("CmdMaxRetries", static_cast<uint32_t>(-2));
  ext->readRegistryParams();
  EXPECT_EQ(ext->DevTimeoutComm, 244);
  EXPECT_EQ(ext->DevTimeoutPoll, 80);
  EXPECT_EQ(ext->DevTimeoutWatchdog, 600);
  EXPECT_EQ(ext->CmdReplyTimer, 7000u);
  EXPECT_EQ(ext->CmdRetryDelay, 2000u);
  EXPECT_EQ(ext->CmdMaxRetries, -2);
  EXPECT_EQ(ext->TimerPollCardlan, 1500u);
  EXPECT_EQ(ext->TimerPollNormal, 45000u);
  EXPECT_TRUE(traced(
      "TAMRIXSC: CDeviceExt::readRegistryParams() New DEV values; DevTimeoutComm [244]; DevTimeoutPoll [80]; "
      "DevTimeoutWatchdog [600]"));
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() New CMD values; CmdReplyTimer [7000]; CmdRetryDelay "
             "[2000]; "
             "CmdMaxRetries [-2]"));
  EXPECT_TRUE(traced(
      "TAMRIXSC: CDeviceExt::readRegistryParams() New TIMER values; TimerPollCardlan [1500]; TimerPollNormal "
      "[45000]"));
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

TEST_F(RegistryTest, WaitsAreBoundedToOneSecondAndPollPeriodsToTheLongestPoll) {
  setGroup();
  set("CmdReplyTimerUS", 0xFFFFFFFE);
  set("CmdRetryDelayUS", 1000000);
  set("TimerPollCardlanMS", 0);
  set("TimerPollNormalMS", 0x7FFFFFFF);
  ext->readRegistryParams();
  EXPECT_EQ(ext->CmdReplyTimer, 1000000u);
  EXPECT_EQ(ext->CmdRetryDelay, 1000000u);  // at the bound: kept
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() !!!!! WARNING CmdReplyTimer [4294967294] is "
             "above the limit; using [1000000]"));
  int limited = 0;
  for (const auto& line : dbg()) limited += line.find("is above the limit") != std::string::npos;
  EXPECT_EQ(limited, 1);
  // Five attempts of a one-second reply with four one-second delays, at
  // least; 0 first takes the default of 1000 ms, which is below that.
  EXPECT_GE(ext->TimerPollCardlan, 9000u);
  EXPECT_EQ(ext->TimerPollCardlan, ext->longestPollMs(15625));
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() !!!!! WARNING TimerPollCardlan [0] is no "
             "period; using the default [1000]"));
  EXPECT_EQ(ext->TimerPollNormal, 0x7FFFFFFFu);

  // The defaults leave room: a failing poll takes well under a second.
  ext->CmdReplyTimer = CDeviceExt::kDefaultCmdReplyTimer;
  ext->CmdRetryDelay = CDeviceExt::kDefaultCmdRetryDelay;
  ext->CmdMaxRetries = CDeviceExt::kDefaultCmdMaxRetries;
  EXPECT_LT(ext->longestPollMs(15625), 200u);
  ext->CmdMaxRetries = 0x7FFFFFFF;
  EXPECT_EQ(ext->longestPollMs(15625), 0x7FFFFFFFu);  // saturates, never wraps
  ext->CmdMaxRetries = -1;
  EXPECT_EQ(ext->longestPollMs(15625), 0u);
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
