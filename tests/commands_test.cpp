// Host-controller commands and the transaction retry pattern, through the
// controller model: frames on the wire, events and traces out.
#include "harness.h"
#include "scioctl.h"

namespace {

using test::LinkTest;

const std::string kConnectRetryEvent =
    "event: MSG_TEXT id=0xA0078338 object=\\Driver\\TAMRIXSC unique=0xC0000001 major=0 ioctl=0x00000000 "
    "final=0x00000000 strings=1 text=Communication errors during 'DRIVER_CONNECT'.";
const std::string kConnectFailedEvent =
    "event: MSG_INIT_FAILED id=0xE007832F object=\\Driver\\TAMRIXSC unique=0xC0000001 major=0 "
    "ioctl=0x00000000 "
    "final=0x00000000 strings=1 text=The driver failed to initialize due to the following error: Cannot "
    "connect to "
    "the 8051 System Controller.";
const std::string kConnectRetryWarning =
    "TAMRIXSC: CDeviceExt::hcDriverConnect() !!!!! WARNING Command failed; status [0xC0000001]; retrying...";

class CommandTest : public LinkTest {};

TEST_F(CommandTest, DriverConnectSendsTheExtensionsTimeoutsAndOptions) {
  EXPECT_EQ(ext->hcDriverConnect(), STATUS_SUCCESS);
  EXPECT_EQ(commands(), (std::vector<std::string>{"08 01 58 02 3C 3E 00 23"}));
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hcDriverConnect() Exit; status [0x0]; retries [1]"));

  ext->DevTimeoutWatchdog = 0x1234;
  ext->DevTimeoutComm = 7;
  ext->DevTimeoutPoll = 9;
  ext->Options = 0x81;
  wire.clear();
  EXPECT_EQ(ext->hcDriverConnect(), STATUS_SUCCESS);
  EXPECT_EQ(commands()[0].substr(0, 20), "08 01 34 12 07 09 81");
}

TEST_F(CommandTest, FailingConnectRetriesWithEventsWarningsAndDelaysBetween) {
  board.controller.setSilent(true);
  int64_t start = elapsedUs();
  EXPECT_EQ(ext->hcDriverConnect(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(events, (std::vector<std::string>{kConnectRetryEvent, kConnectRetryEvent, kConnectFailedEvent}));
  EXPECT_EQ(countTraced(kConnectRetryWarning), 2);
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hcDriverConnect() Exit; status [0xC0000001]; retries [3]"));
  // Three attempts, each: a look at TREQ, the request line raised (2), 41
  // samples and 40 stalls of 5 us for the first byte, the lines returned to
  // idle (strobe 2, data lines 8, request 2); and two retry delays, none
  // after the last attempt, each 50 stalls of 20 us with 51 looks at the
  // clock of 0.1 us.
  EXPECT_EQ(elapsedUs() - start, 3 * (1 + 2 + 41 + 40 * 5 + 2 + 8 + 2) + 2 * 1000 + 2 * 51 / 10);
}

TEST_F(CommandTest, ConnectThatSucceedsOnTheThirdAttempt) {
  board.controller.faults().noReplyCount = 2;
  board.controller.firmware().postCode = 0xA5;
  EXPECT_EQ(ext->hcDriverConnect(), STATUS_SUCCESS);
  EXPECT_EQ(commands().size(), 3u);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], kConnectRetryEvent);
  EXPECT_EQ(events[1], kConnectRetryEvent);
  EXPECT_EQ(events[2],
            "event: MSG_POST_CODE id=0xA0078339 object=\\Driver\\TAMRIXSC unique=0x00000000 major=0 "
            "ioctl=0x00000000 final=0x00000000 strings=1 text=The 8051 System Controller reports the "
            "following BIOS "
            "POST diagnostic event: A5.");
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hcDriverConnect() !!!!! WARNING 8051 reported POST code [0xa5]"));
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hcDriverConnect() Exit; status [0x0]; retries [3]"));
}

TEST_F(CommandTest, PostCodeIsTwoUpperCaseDigits) {
  board.controller.firmware().postCode = 0x05;
  EXPECT_EQ(ext->hcDriverConnect(), STATUS_SUCCESS);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].strings, (std::vector<std::string>{"05"}));
}

TEST_F(CommandTest, SingleAttemptMakesNoRetryEvents) {
  ext->CmdMaxRetries = 1;
  board.controller.setSilent(true);
  EXPECT_EQ(ext->hcDriverConnect(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(events, (std::vector<std::string>{kConnectFailedEvent}));
  EXPECT_EQ(countTraced(kConnectRetryWarning), 0);
}

// The retry pattern makes one attempt at least, whatever the record
// holds: a count of 0 or less never turns a command that was not sent into
// a success.
TEST_F(CommandTest, EveryCommandIsAttemptedOnceAtLeast) {
  board.controller.setSilent(true);
  for (LONG retries : {1, 0, -1, -100}) {
    ext->CmdMaxRetries = retries;
    events.clear();
    EXPECT_EQ(ext->hcDriverConnect(), STATUS_UNSUCCESSFUL);
    UCHAR cardlanStatus = 0x77;
    UCHAR report[4] = {1, 2, 3, 4};
    EXPECT_EQ(ext->hcPoll(&cardlanStatus, report), STATUS_UNSUCCESSFUL);
    // No retry, so no retry event: the connect's failure and the poll's.
    EXPECT_EQ(events.size(), 2u) << "retries " << retries;
  }
  EXPECT_EQ(countTraced("TAMRIXSC: CDeviceExt::hcDriverConnect() Exit; status [0xC0000001]; retries [1]"), 4);
  EXPECT_EQ(countTraced("TAMRIXSC: CDeviceExt::hcPoll() ***** ERROR Sanity poll failed; status [0xC0000001]"),
            4);
}

TEST_F(CommandTest, DisconnectCarriesReasonAndShutdownFlag) {
  ext->hcDriverDisconnect("DOWN", true);
  ext->hcDriverDisconnect("UNLD", false);
  EXPECT_EQ(commands(), (std::vector<std::string>{"08 02 44 4F 57 4E 01 BD", "08 02 55 4E 4C 44 00 C3"}));
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hcDriverDisconnect() Exit; status [0x0]"));

  board.controller.setSilent(true);
  events.clear();
  ext->hcDriverDisconnect("UNLD", false);
  // The pattern's events only: a failed disconnect has no final event.
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NE(events[1].find("text=Communication errors during 'DRIVER_DISCONNECT'."), std::string::npos);
}

TEST_F(CommandTest, FirmwareVersionIsKeptWithItsLength) {
  board.controller.firmware().version = "SC 1.02";
  ext->hcFirmwareVersion();
  EXPECT_EQ(ext->FirmwareVersionLength, 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ext->FirmwareVersion)), "SC 1.02");
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hcFirmwareVersion() Returned [SC 1.02]; length [7]"));

  // A shorter version leaves the old bytes behind its length.
  board.controller.firmware().version = "V2";
  ext->hcFirmwareVersion();
  EXPECT_EQ(ext->FirmwareVersionLength, 2);
  EXPECT_EQ(std::memcmp(ext->FirmwareVersion, "V2 1.02", 7), 0);

  // A full 64-byte version loses its last byte to the terminator.
  board.controller.firmware().version = std::string(64, 'x');
  ext->hcFirmwareVersion();
  EXPECT_EQ(ext->FirmwareVersionLength, 64);
  EXPECT_EQ(ext->FirmwareVersion[62], 'x');
  EXPECT_EQ(ext->FirmwareVersion[63], 0);

  board.controller.firmware().version = "";
  ext->hcFirmwareVersion();
  EXPECT_EQ(ext->FirmwareVersionLength, 0);
  EXPECT_TRUE(events.empty());
}

TEST_F(CommandTest, FailedFirmwareVersionFallsBackToUnknown) {
  board.controller.firmware().version = "SC 1.02";
  ext->hcFirmwareVersion();
  board.controller.setSilent(true);
  ext->hcFirmwareVersion();
  EXPECT_EQ(ext->FirmwareVersionLength, 7);
  EXPECT_EQ(std::memcmp(ext->FirmwareVersion, "Unknown\0\0", 9), 0);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(
      events[2],
      "event: MSG_FIRMWARE_VERSION_FAILED id=0xA0078336 object=\\Driver\\TAMRIXSC unique=0x00000000 major=0 "
      "ioctl=0x00000000 final=0x00000000 strings=0 text=Failed to read the 8051 System Controller firmware "
      "version.");
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::hcFirmwareVersion() ***** ERROR Failed to read, status [0xC0000001]; "
             "default version "
             "[Unknown]"));
}

TEST_F(CommandTest, VersionRequestReportsTheKeptVersionOverTheWholeRecord) {
  board.controller.firmware().version = "SC 1.02";
  ext->hcFirmwareVersion();
  wire.clear();
  SC_VERSION_RECORD record;
  std::memset(&record, 0xAB, sizeof(record));
  EXPECT_EQ(ext->IoControlFirmwareVersion(&record, sizeof(record)), STATUS_SUCCESS);
  EXPECT_EQ(record.ResultCode, 0u);
  EXPECT_EQ(record.Length, 7);
  EXPECT_EQ(std::memcmp(record.Version, "SC 1.02", 7), 0);
  for (size_t i = 7; i < sizeof(record.Version); i++) EXPECT_EQ(record.Version[i], 0) << i;
  for (uint8_t b : record.Reserved) EXPECT_EQ(b, 0);
  EXPECT_TRUE(wire.empty());  // the controller is not asked again
}

TEST_F(CommandTest, PollFailureTracesThenLogsOnTheDevice) {
  board.controller.setSilent(true);
  UCHAR cardlanStatus = 0;
  UCHAR report[4] = {};
  EXPECT_EQ(ext->hcPoll(&cardlanStatus, report), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_NE(events[0].find("object=\\Device\\8051SC0"), std::string::npos);
  EXPECT_NE(events[0].find("text=Communication errors during 'POLL'."), std::string::npos);
  EXPECT_EQ(
      events[2],
      "event: MSG_TEXT id=0xA0078338 object=\\Device\\8051SC0 unique=0xC0000001 major=0 ioctl=0x00000000 "
      "final=0x00000000 strings=1 text=Sanity poll failed.");
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hcPoll() ***** ERROR Sanity poll failed; status [0xC0000001]"));
}

TEST_F(CommandTest, ShortPollReplyLeavesTheCallersBytes) {
  board.controller.faults().replyData = std::vector<uint8_t>{0x40, 0x00};
  UCHAR cardlanStatus = 9;
  UCHAR report[4] = {0xAA, 0xBB, 0xCC, 0xDD};
  EXPECT_EQ(ext->hcPoll(&cardlanStatus, report), STATUS_SUCCESS);
  EXPECT_EQ(cardlanStatus, 0);
  EXPECT_EQ(report[0], 0x40);
  EXPECT_EQ(report[1], 0x00);
  EXPECT_EQ(report[2], 0xCC);
  EXPECT_EQ(report[3], 0xDD);
}

TEST_F(CommandTest, LedAndCommand4MakeOneAttemptWithoutEvents) {
  EXPECT_EQ(ext->IoControlStatusLED(false), STATUS_SUCCESS);
  EXPECT_EQ(ext->IoControlStatusLED(true), STATUS_SUCCESS);
  EXPECT_EQ(ext->IoControlCommand4(), STATUS_SUCCESS);
  EXPECT_EQ(commands(), (std::vector<std::string>{"03 06 F7", "03 05 F8", "03 04 F9"}));
  EXPECT_EQ(led, (std::vector<bool>{false, true}));
  EXPECT_EQ(countTraced("TAMRIXSC: CDeviceExt::hcStatusLED() Exit; status [0x0]"), 2);

  board.controller.setSilent(true);
  wire.clear();
  EXPECT_EQ(ext->IoControlStatusLED(true), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ext->IoControlCommand4(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hcStatusLED() Exit; status [0xC0000001]"));
}

TEST_F(CommandTest, Command4WaitsUpToASecondForItsReply) {
  board.controller.setReplyLatencyUs(COMMAND_4, 900000);
  EXPECT_EQ(ext->IoControlCommand4(), STATUS_SUCCESS);
  board.controller.setReplyLatencyUs(COMMAND_4, 1200000);
  int64_t start = elapsedUs();
  EXPECT_EQ(ext->IoControlCommand4(), STATUS_UNSUCCESSFUL);
  // Long regime: the deadline lies one clock tick beyond the second.
  EXPECT_GE(elapsedUs() - start, 1000000);
  EXPECT_LE(elapsedUs() - start, 1000000 + 2 * 15625 + 1000);
}

}  // namespace
