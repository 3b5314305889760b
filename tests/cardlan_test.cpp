// Cardlan switching and the poll: the switch requests in every state, the
// switch record for each configuration source, and the poll's state
// machine with its events, display texts and periods.
#include "harness.h"
#include "scioctl.h"

namespace {

using test::kParameters;
using test::LinkTest;

class CardlanTest : public LinkTest {
 protected:
  CardlanTest() {
    ext->PortBase = 0;
    EXPECT_EQ(ext->Init(&driverObject, &deviceObject), STATUS_SUCCESS);
    wire.clear();
    events.clear();
    display.clear();
  }
  ~CardlanTest() override { ext->stop(false); }

  void advanceMs(int64_t ms) {
    kernel.scheduler.waitUntil([] { return false; }, kernel.clock.now() + ms * sim::kTicksPerMs);
  }
  void slots(uint8_t primary, uint8_t secondary) {
    board.controller.firmware().slotPrimary = primary;
    board.controller.firmware().slotSecondary = secondary;
  }
  static SC_SWITCH_RECORD record(uint8_t source, uint8_t card, uint8_t sign, uint8_t map) {
    SC_SWITCH_RECORD r;
    std::memset(&r, 0xA5, sizeof(r));
    r.ConfigSource = source;
    r.CardID = card;
    r.SignType = sign;
    r.TNMapType = map;
    r.CemuxIpIf = 9;
    return r;
  }
  // At DISPATCH_LEVEL, as the start-I/O routine calls it.
  NTSTATUS switchRequest(bool connect, SC_SWITCH_RECORD* r) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    NTSTATUS status = ext->IoControlSwitch(connect, r, sizeof(*r), r, sizeof(*r));
    KfLowerIrql(old);
    return status;
  }
  std::string cardlanEvent(const char* text) const {
    return std::string(
               "event: MSG_CARDLAN_STATE id=0x60078334 object=\\Driver\\TAMRIXSC unique=0x00000000 major=0 "
               "ioctl=0x00000000 final=0x00000000 strings=1 text=Cardlan ") +
           text + ".";
  }
  // The report bytes of the last poll's summary trace, from CardlanReport0 on.
  std::string pollReport() const {
    std::string last;
    for (const auto& line : dbg()) {
      const size_t at = line.find("CardlanReport0 ");
      if (line.find("CDeviceExt::hcPoll() CardlanStatus") != std::string::npos && at != std::string::npos) {
        last = line.substr(at);
      }
    }
    return last;
  }
  // Polls within the next `ms` milliseconds.
  size_t pollsWithin(int64_t ms) {
    wire.clear();
    advanceMs(ms);
    size_t n = 0;
    for (const auto& c : commands()) n += c == "03 03 FA";
    return n;
  }
};

TEST_F(CardlanTest, ConnectingMovesThroughPrimaryToActive) {
  ASSERT_EQ(ext->CardlanState, CL_CONNECTING);
  slots(0x00, 0x00);
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_CONNECTING);
  EXPECT_TRUE(events.empty());

  slots(0x40, 0x00);
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_ACTIVE_PRIMARY);
  EXPECT_EQ(events, (std::vector<std::string>{cardlanEvent("active on primary slot")}));
  EXPECT_EQ(display, (std::vector<std::string>{"C:02"}));
  EXPECT_EQ(pollsWithin(3000), 3u);  // still the Cardlan period

  // P is not looked at any more; S completes the Cardlan.
  slots(0x00, 0x40);
  events.clear();
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_ACTIVE);
  EXPECT_EQ(events, (std::vector<std::string>{cardlanEvent("active on secondary slot")}));
  EXPECT_EQ(display.back(), " OK ");
  // The normal period: the first poll 0.5 s later, then every 30 s.
  EXPECT_EQ(pollsWithin(29000), 1u);
  EXPECT_EQ(pollsWithin(2000), 1u);
}

TEST_F(CardlanTest, SecondaryFirstThenPrimary) {
  slots(0x00, 0x40);
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_ACTIVE_SECONDARY);
  EXPECT_EQ(display, (std::vector<std::string>{"C:01"}));
  slots(0x00, 0x00);  // a slot going quiet never moves the state back
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_ACTIVE_SECONDARY);
  slots(0x40, 0x00);
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_ACTIVE);
  EXPECT_EQ(events.back(), cardlanEvent("active on primary slot"));
}

TEST_F(CardlanTest, BothSlotsAtOnceGoStraightToActive) {
  slots(0x40, 0x40);
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_ACTIVE);
  EXPECT_EQ(events, (std::vector<std::string>{cardlanEvent("active")}));
  EXPECT_EQ(display, (std::vector<std::string>{" OK "}));
}

TEST_F(CardlanTest, OnlyBit40CountsAsActive) {
  slots(0xBF, 0xBF);
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_CONNECTING);
  EXPECT_TRUE(events.empty());
}

TEST_F(CardlanTest, PollsInOtherStatesChangeNothing) {
  slots(0x40, 0x40);
  for (LONG state : {CL_NONE, CL_DISCONNECTED, CL_ACTIVE}) {
    ext->CardlanState = state;
    ext->runPoll();
    EXPECT_EQ(ext->CardlanState, state);
  }
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(display.empty());
}

TEST_F(CardlanTest, ErrorCountersAreReportedOnEveryPollInAnyState) {
  board.controller.firmware().commErrors = 3;
  for (LONG state : {CL_CONNECTING, CL_DISCONNECTED, CL_ACTIVE}) {
    ext->CardlanState = state;
    events.clear();
    ext->runPoll();
    EXPECT_EQ(events,
              (std::vector<std::string>{
                  "event: MSG_CONTROLLER_ERRORS id=0xA0078335 object=\\Driver\\TAMRIXSC unique=0x00000003 "
                  "major=0 ioctl=0x00000000 final=0x00000000 strings=1 text=The 8051 System Controller "
                  "reports communication timeout errors."}));
  }
  board.controller.firmware().commErrors = 0;
  board.controller.firmware().pollErrors = 7;
  events.clear();
  ext->runPoll();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("unique=0x00000007"), std::string::npos);
  EXPECT_NE(events[0].find("reports host poll timeout errors."), std::string::npos);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::runPoll() !!!!! WARNING 8051 reports communication timeout errors [3]"));
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::runPoll() !!!!! WARNING 8051 reports host poll timeout errors [7]"));
}

TEST_F(CardlanTest, FailedPollChangesNothing) {
  slots(0x40, 0x40);
  board.controller.setSilent(true);
  ext->runPoll();
  EXPECT_EQ(ext->CardlanState, CL_CONNECTING);
  EXPECT_NE(events.back().find("Sanity poll failed."), std::string::npos);
  board.controller.setSilent(false);
}

// The report bytes a short POLL reply leaves out count as inactive and
// error-free, whatever the controller's counters hold: one reply of each
// length short of four, each from the connecting state.
TEST_F(CardlanTest, ShortPollReplyCountsMissingBytesAsQuiet) {
  slots(0x40, 0x40);
  board.controller.firmware().commErrors = 9;
  board.controller.firmware().pollErrors = 9;
  struct Case {
    std::vector<uint8_t> data;
    LONG state;
    std::vector<std::string> display;
    std::vector<std::string> events;
    const char* trace;
  };
  const std::string commErrors =
      "event: MSG_CONTROLLER_ERRORS id=0xA0078335 object=\\Driver\\TAMRIXSC unique=0x00000005 major=0 "
      "ioctl=0x00000000 final=0x00000000 strings=1 text=The 8051 System Controller reports communication "
      "timeout errors.";
  const Case cases[] = {
      {{}, CL_CONNECTING, {}, {}, "[0x00]; CardlanReport1 [0x00]; CommErrors [0]; PollErrors [0]"},
      {{0x40},
       CL_ACTIVE_PRIMARY,
       {"C:02"},
       {cardlanEvent("active on primary slot")},
       "[0x40]; CardlanReport1 [0x00]; CommErrors [0]; PollErrors [0]"},
      {{0x00, 0x40},
       CL_ACTIVE_SECONDARY,
       {"C:01"},
       {cardlanEvent("active on secondary slot")},
       "[0x00]; CardlanReport1 [0x40]; CommErrors [0]; PollErrors [0]"},
      {{0x40, 0x40, 0x05},
       CL_ACTIVE,
       {" OK "},
       {cardlanEvent("active"), commErrors},
       "[0x40]; CardlanReport1 [0x40]; CommErrors [5]; PollErrors [0]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.size());
    ext->CardlanState = CL_CONNECTING;
    events.clear();
    display.clear();
    kernel.debugger.clear();
    board.controller.faults().replyData = c.data;
    ext->runPoll();
    EXPECT_EQ(ext->CardlanState, c.state);
    EXPECT_EQ(display, c.display);
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(pollReport(), std::string("CardlanReport0 ") + c.trace);
  }
}

// A reply refused for its checksum has put its data bytes in the report
// before it was judged; a short reply to the retry leaves none of them in
// force.
TEST_F(CardlanTest, ShortPollReplyAfterARefusedOneKeepsNothingOfIt) {
  board.controller.faults().replyData = std::vector<uint8_t>{0x40, 0x40, 0x03, 0x07};
  board.controller.faults().corruptChecksum = true;
  int replies = 0;
  board.controller.events().frame = [&](bool fromHost, const std::vector<uint8_t>&, bool) {
    if (!fromHost && ++replies == 1) board.controller.faults().replyData = std::vector<uint8_t>{};
  };
  ext->runPoll();
  EXPECT_EQ(replies, 2);
  EXPECT_EQ(ext->CardlanState, CL_CONNECTING);
  EXPECT_TRUE(display.empty());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("Communication errors during 'POLL'"), std::string::npos) << events[0];
  EXPECT_EQ(pollReport(), "CardlanReport0 [0x00]; CardlanReport1 [0x00]; CommErrors [0]; PollErrors [0]");
}

TEST_F(CardlanTest, RequestsAcceptedByState) {
  struct Row {
    LONG state;
    bool connectAccepted;
    bool disconnectAccepted;
  } rows[] = {
      {CL_NONE, false, true},           {CL_DISCONNECTED, true, false},     {CL_CONNECTING, false, true},
      {CL_ACTIVE_PRIMARY, false, true}, {CL_ACTIVE_SECONDARY, false, true}, {CL_ACTIVE, false, true},
  };
  for (const auto& row : rows) {
    for (bool connect : {true, false}) {
      ext->CardlanState = row.state;
      wire.clear();
      events.clear();
      SC_SWITCH_RECORD r = record(CS_CURRENT, 1, 2, 3);
      SC_SWITCH_RECORD sent = r;
      NTSTATUS status = switchRequest(connect, &r);
      bool accepted = connect ? row.connectAccepted : row.disconnectAccepted;
      if (accepted) {
        EXPECT_EQ(status, STATUS_SUCCESS) << row.state << connect;
        EXPECT_EQ(ext->CardlanState, connect ? CL_CONNECTING : CL_DISCONNECTED);
        EXPECT_EQ(commands()[0], connect ? "06 08 46 03 03 A6" : "03 09 F4");
      } else {
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << row.state << connect;
        EXPECT_EQ(ext->CardlanState, row.state);
        EXPECT_TRUE(wire.empty());
        EXPECT_EQ(std::memcmp(&r, &sent, sizeof(r)), 0);
        const char* name = connect ? "CONNECT" : "DISCONNECT";
        EXPECT_EQ(
            events,
            (std::vector<std::string>{
                std::string("event: MSG_INVALID_CARDLAN_REQUEST id=0xA0078332 object=\\Driver\\TAMRIXSC "
                            "unique=0xC000000D major=0 ioctl=0x00000000 final=0x00000000 strings=1 "
                            "text=Invalid Cardlan request [") +
                name + "]."}));
        EXPECT_TRUE(
            traced(std::string("TAMRIXSC: CDeviceExt::IoControlSwitch() !!!!! WARNING Invalid request [") +
                   name + "]; Cardlan status [" + std::to_string(row.state) + "]"));
      }
    }
  }
}

TEST_F(CardlanTest, RefusalTracesNoUnicodeAtDispatchLevel) {
  ext->CardlanState = CL_CONNECTING;
  SC_SWITCH_RECORD r = record(CS_CURRENT, 0, 0, 0);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_EQ(switchRequest(true, &r), STATUS_INVALID_PARAMETER);
  KfLowerIrql(old);
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

TEST_F(CardlanTest, DisconnectEchoesTheParametersInForceAndShowsDmin) {
  SC_SWITCH_RECORD r = record(7, 0x11, 0x22, 0x33);
  EXPECT_EQ(switchRequest(false, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.ConfigSource, 7);
  EXPECT_EQ(r.CardID, 70);
  EXPECT_EQ(r.SignType, 3);
  EXPECT_EQ(r.TNMapType, 3);
  EXPECT_EQ(r.CemuxIpIf, 9);
  EXPECT_EQ(r.Reserved[0], 0xA5);
  EXPECT_EQ(r.ResultCode, 0u);
  EXPECT_EQ(display, (std::vector<std::string>{"DMIN"}));
  // The period stays as it was: Cardlan polls go on.
  EXPECT_EQ(pollsWithin(2000), 2u);
}

TEST_F(CardlanTest, ConnectFromTheRequestRecord) {
  ext->CardlanState = CL_DISCONNECTED;
  SC_SWITCH_RECORD r = record(CS_REQUEST, 0x10, 0x01, 0x02);
  EXPECT_EQ(switchRequest(true, &r), STATUS_SUCCESS);
  EXPECT_EQ(commands(), (std::vector<std::string>{"06 08 10 01 02 DF"}));
  EXPECT_EQ(r.CardID, 0x10);
  EXPECT_EQ(r.SignType, 0x01);
  EXPECT_EQ(r.TNMapType, 0x02);
  EXPECT_EQ(r.ResultCode, 0u);
  EXPECT_EQ(r.Reserved[2], 0xA5);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::IoControlSwitch() CONNECT requested; ConfigSource [2]; CardID [0x10]; "
             "SignType [0x01]; "
             "TNMapType [0x02]; CemuxIpIf [9]"));
  // CS_CURRENT then sends the values now in force.
  ext->CardlanState = CL_DISCONNECTED;
  wire.clear();
  r = record(CS_CURRENT, 0, 0, 0);
  EXPECT_EQ(switchRequest(true, &r), STATUS_SUCCESS);
  EXPECT_EQ(commands(), (std::vector<std::string>{"06 08 10 01 02 DF"}));
}

TEST_F(CardlanTest, ConnectFromTheRegistry) {
  kernel.registry.setDword(kParameters, "CardID", 0x120);
  kernel.registry.setDword(kParameters, "SignallingType", 4);
  kernel.registry.setDword(kParameters, "TNMappingType", 5);
  ext->readSwitchRegistry();
  EXPECT_EQ(ext->RegSwitchStatus, STATUS_SUCCESS);
  ext->CardlanState = CL_DISCONNECTED;
  SC_SWITCH_RECORD r = record(CS_REGISTRY, 0, 0, 0);
  EXPECT_EQ(switchRequest(true, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.CardID, 0x20);
  EXPECT_EQ(commands()[0].substr(0, 14), "06 08 20 04 05");
}

TEST_F(CardlanTest, RegistryConnectWithAMissingValueSendsNothing) {
  kernel.registry.setDword(kParameters, "CardID", 1);
  kernel.registry.setDword(kParameters, "SignallingType", 2);
  ext->readSwitchRegistry();
  EXPECT_EQ(ext->RegSwitchStatus, STATUS_UNSUCCESSFUL);
  ext->CardlanState = CL_DISCONNECTED;
  SC_SWITCH_RECORD r = record(CS_REGISTRY, 0x31, 0x32, 0x33);
  EXPECT_EQ(switchRequest(true, &r), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(wire.empty());
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(r.CardID, 0x31);
  EXPECT_EQ(r.TNMapType, 0x33);
  EXPECT_EQ(r.ResultCode, 0u);
  EXPECT_EQ(ext->CardID, 70);
  EXPECT_EQ(ext->CardlanState, CL_DISCONNECTED);
}

TEST_F(CardlanTest, UnknownSourceTakesTheDefaultsAndForgetsTheRegistryCopy) {
  kernel.registry.setDword(kParameters, "CardID", 1);
  kernel.registry.setDword(kParameters, "SignallingType", 2);
  kernel.registry.setDword(kParameters, "TNMappingType", 3);
  ext->readSwitchRegistry();
  ext->CardID = 99;
  ext->CardlanState = CL_DISCONNECTED;
  board.controller.setSilent(true);
  SC_SWITCH_RECORD r = record(7, 0, 0, 0);
  EXPECT_EQ(switchRequest(true, &r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ext->CardID, 70);  // in force even though the connect failed
  EXPECT_EQ(ext->RegSwitchStatus, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ext->RegCardID, 0);
  EXPECT_EQ(ext->CardlanState, CL_DISCONNECTED);
  EXPECT_EQ(events.back(),
            "event: MSG_CARDLAN_OP_FAILED id=0xE0078333 object=\\Driver\\TAMRIXSC unique=0xC0000001 major=0 "
            "ioctl=0x00000000 final=0x00000000 strings=1 text=Cardlan CONNECT operation failed.");
  EXPECT_EQ(events.size(), 3u);  // two retry events before it
  // A registry connect behind it fails with the cleared copy.
  r = record(CS_REGISTRY, 0, 0, 0);
  board.controller.setSilent(false);
  EXPECT_EQ(switchRequest(true, &r), STATUS_UNSUCCESSFUL);
}

TEST_F(CardlanTest, FailedDisconnectKeepsTheState) {
  board.controller.setSilent(true);
  SC_SWITCH_RECORD r = record(0, 0, 0, 0);
  EXPECT_EQ(switchRequest(false, &r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ext->CardlanState, CL_CONNECTING);
  EXPECT_EQ(events,
            (std::vector<std::string>{
                "event: MSG_CARDLAN_OP_FAILED id=0xE0078333 object=\\Driver\\TAMRIXSC unique=0xC0000001 "
                "major=0 ioctl=0x00000000 final=0x00000000 strings=1 text=Cardlan DISCONNECT operation "
                "failed."}));
  board.controller.setSilent(false);
}

// Whatever the record holds, a connect is attempted once at least: it is
// never reported connected with nothing on the wires.
TEST_F(CardlanTest, ConnectIsAttemptedEvenWithoutRetries) {
  for (LONG retries : {0, -1}) {
    ext->CmdMaxRetries = retries;
    ext->CardlanState = CL_DISCONNECTED;
    board.controller.faults().noReplyCount = 1;
    wire.clear();
    EXPECT_EQ(ext->clSwitchConnect(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext->CardlanState, CL_DISCONNECTED);
    EXPECT_EQ(commands(), (std::vector<std::string>{"06 08 46 03 03 A6"}));
  }
}

TEST_F(CardlanTest, RestartingThePollTimerReplacesItsSchedule) {
  ext->startPollTimer(1000);
  advanceMs(200);
  ext->startPollTimer(3000);
  EXPECT_EQ(pollsWithin(499), 0u);
  EXPECT_EQ(pollsWithin(20), 1u);
  EXPECT_EQ(pollsWithin(2900), 0u);
  EXPECT_EQ(pollsWithin(200), 1u);
}

}  // namespace
