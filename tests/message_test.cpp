// Framing, checksums and whole transactions against the controller model.
#include "Registers.h"
#include "harness.h"

namespace {

using test::LinkTest;

class MessageTest : public LinkTest {
 protected:
  NTSTATUS transact(UCHAR code, std::vector<UCHAR> payload, UCHAR capacity, ULONG replyTimer = 5000) {
    reply.assign(capacity, 0xEE);
    size = capacity;
    status = 0;
    return ext->Message.transact(code, payload.empty() ? nullptr : payload.data(),
                                 static_cast<UCHAR>(payload.size()), replyTimer,
                                 capacity ? reply.data() : nullptr, &size, &status);
  }
  // The lines are idle after every transaction: host request and strobe
  // released, data lines read.
  void expectIdleLines() {
    EXPECT_NE(board.gpio.stored(Gpio::kRegControl) & Gpio::kCtrlHostRequest, 0);
    EXPECT_NE(board.gpio.stored(Gpio::kRegControl) & Gpio::kCtrlStrobe, 0);
    EXPECT_FALSE(board.gpio.hostDrivesData());
  }

  std::vector<UCHAR> reply;
  UCHAR size = 0;
  UCHAR status = 0;
};

TEST_F(MessageTest, EveryCommandCodeFramesItsPayloadAndChecksum) {
  const std::vector<UCHAR> five = {0x11, 0x22, 0x33, 0x44, 0x55};
  struct Case {
    UCHAR code;
    UCHAR payloadBytes;
    UCHAR capacity;
    const char* frame;
  } cases[] = {
      {1, 5, 0, "08 01 11 22 33 44 55 F8"},
      {2, 5, 0, "08 02 11 22 33 44 55 F7"},
      {3, 0, 4, "03 03 FA"},
      {4, 0, 0, "03 04 F9"},
      {5, 0, 0, "03 05 F8"},
      {6, 0, 0, "03 06 F7"},
      {7, 0, 64, "03 07 F6"},
      {8, 3, 0, "06 08 11 22 33 8C"},
      {9, 0, 0, "03 09 F4"},
      {10, 4, 0, "07 0A 11 22 33 44 45"},
      {11, 5, 0, "08 0B 11 22 33 44 55 EE"},
      {12, 1, 0, "04 0C 11 DF"},
      {13, 1, 0, "03 0D F0"},
      {14, 0, 1, "03 0E EF"},
      {15, 1, 0, "04 0F 11 DC"},
      {16, 0, 1, "03 10 ED"},
      {17, 1, 0, "04 11 11 DA"},
      {18, 5, 1, "08 12 11 22 33 44 55 E7"},
      {19, 5, 0, "08 13 11 22 33 44 55 E6"},
      {20, 1, 0, "04 14 11 D7"},
  };
  for (const auto& c : cases) {
    wire.clear();
    // Codes without a payload ignore whatever is handed in.
    std::vector<UCHAR> payload(five.begin(), five.begin() + (c.payloadBytes ? c.payloadBytes : 5));
    EXPECT_EQ(transact(c.code, payload, c.capacity), STATUS_SUCCESS) << int(c.code);
    ASSERT_GE(wire.size(), 2u) << int(c.code);
    EXPECT_EQ(wire[0], std::string("host> ") + c.frame) << int(c.code);
    expectIdleLines();
  }
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

TEST_F(MessageTest, InvalidCodesSendNothing) {
  for (UCHAR code : {0, 21, 255}) {
    accesses.clear();
    EXPECT_EQ(transact(code, {}, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ext->Message.Frame[1], 0);
    // Only the look at TREQ before sending.
    EXPECT_EQ(accesses.size(), 1u);
  }
  EXPECT_TRUE(traced("TAMRIXSC: CMessage::send() ***** ERROR Invalid CmdCode [0x00]"));
  EXPECT_TRUE(traced("TAMRIXSC: CMessage::send() ***** ERROR Invalid CmdCode [0x15]"));
  EXPECT_TRUE(traced("TAMRIXSC: CMessage::send() ***** ERROR Invalid CmdCode [0xFF]"));
  EXPECT_TRUE(wire.empty());
}

TEST_F(MessageTest, OverlongPayloadIsRefusedInsteadOfOverrunningTheFrame) {
  EXPECT_EQ(transact(HD_RESET, {1, 2, 3, 4, 5, 6}, 0), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(wire.empty());
  EXPECT_EQ(ext->Message.Frame[1], 0);
}

TEST_F(MessageTest, PollReturnsStatusAndReport) {
  auto& fw = board.controller.firmware();
  fw.slotPrimary = 0x40;
  fw.slotSecondary = 0x41;
  fw.commErrors = 3;
  fw.pollErrors = 9;
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_SUCCESS);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(reply, (std::vector<UCHAR>{0x40, 0x41, 3, 9}));
  EXPECT_EQ(wire, (std::vector<std::string>{"host> 03 03 FA", "ctl> 08 03 00 40 41 03 09 68"}));
  expectIdleLines();
}

TEST_F(MessageTest, PromptPollCostsTheLeastBusAccesses) {
  accesses.clear();
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_SUCCESS);
  // Send: TREQ look, request on (2), 3 bytes x 15, lines to input (8),
  // request off (2). Receive: lines to input (8), TREQ look, request on (2),
  // 8 bytes x 7, request off (2), TREQ release look.
  EXPECT_EQ(accesses.size(), 1u + 2 + 45 + 8 + 2 + 8 + 1 + 2 + 56 + 2 + 1);
}

TEST_F(MessageTest, ReplyOfFourBytesCarriesOnlyTheStatus) {
  board.controller.firmware().postCode = 0x3A;
  EXPECT_EQ(transact(DRIVER_CONNECT, {0x58, 0x02, 0x3C, 0x3E, 0x00}, 0), STATUS_SUCCESS);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(status, 0x3A);
}

TEST_F(MessageTest, FirmwareVersionOfSixtyFourBytesFitsExactly) {
  board.controller.firmware().version = std::string(64, 'V');
  EXPECT_EQ(transact(FIRMWARE_VERSION, {}, 64), STATUS_SUCCESS);
  EXPECT_EQ(size, 64);
  EXPECT_EQ(reply, std::vector<UCHAR>(64, 'V'));
}

TEST_F(MessageTest, ReplyLongerThanTheCapacityFails) {
  board.controller.faults().replyData = std::vector<uint8_t>{1, 2};
  EXPECT_EQ(transact(STATUS_LED_ON, {}, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(
      traced("TAMRIXSC: CMessage::receive() ***** ERROR Message too long; data length [6]; buffer size [0]"));
  EXPECT_EQ(wire.back(), "ctl> 06 ...");
  expectIdleLines();
}

TEST_F(MessageTest, InvalidLengthsFailAndKeepTheCapacity) {
  for (uint8_t length : {3, 69, 0, 255}) {
    board.controller.faults().replyLength = length;
    EXPECT_EQ(transact(POLL, {}, 4), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(size, 4);
    EXPECT_TRUE(traced("TAMRIXSC: CMessage::receive() ***** ERROR Invalid message length [" +
                       std::to_string(length) + "]; transaction aborted"));
    expectIdleLines();
  }
}

TEST_F(MessageTest, BadChecksumFailsButKeepsStatusAndData) {
  board.controller.firmware().slotPrimary = 0x40;
  board.controller.firmware().statusOverride[POLL] = 0x99;
  board.controller.faults().corruptChecksum = true;
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(status, 0x99);
  EXPECT_EQ(reply[0], 0x40);
  EXPECT_TRUE(traced("TAMRIXSC: CMessage::receive() ***** ERROR Invalid checksum [1]"));
}

TEST_F(MessageTest, ResponseByteIsNotCompared) {
  board.controller.postUnsolicited(0, {});  // drained first; then the real reply
  EXPECT_EQ(transact(COMMAND_4, {}, 0), STATUS_SUCCESS);
}

TEST_F(MessageTest, SilentControllerTimesOutWithoutRaisingTheRequest) {
  board.controller.setSilent(true);
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::writeByte() ***** ERROR Device timeout [TRDY not asserted]; abort"));
  EXPECT_TRUE(traced("TAMRIXSC: CMessage::doSend() !!!!! WARNING Incomplete cycle; bytes sent [0]"));
  expectIdleLines();
}

TEST_F(MessageTest, NoReplyTimesOutOnTreq) {
  board.controller.faults().noReplyCount = 1;
  accesses.clear();
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(traced(
      "TAMRIXSC: CMessage::receive() ***** ERROR Device timeout [TREQ not asserted]; transaction aborted"));
  EXPECT_EQ(wire, (std::vector<std::string>{"host> 03 03 FA"}));
  // The reply timer of 5 ms is medium at the default tick: 250 stalls.
  EXPECT_GE(elapsedUs(), 5000);
  // The request line was never raised for the reply.
  auto writes = accessesTo(Gpio::kRegControl, true);
  EXPECT_EQ(writes.size(), 1u + 3 * 2 + 1);  // the send's own line changes only
  expectIdleLines();
  // The next transaction goes through.
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_SUCCESS);
}

TEST_F(MessageTest, IncompleteCycleCountsTheBytesSent) {
  board.controller.faults().trdyLostHostByte = 2;
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(traced("TAMRIXSC: CMessage::doSend() !!!!! WARNING Incomplete cycle; bytes sent [2]"));
  EXPECT_EQ(wire, (std::vector<std::string>{"host> 03 03 ..."}));
  expectIdleLines();
}

TEST_F(MessageTest, EveryReceiveStepReportsItsOwnFailure) {
  struct Case {
    int byte;
    const char* trace;
  } cases[] = {
      {0, "TAMRIXSC: CMessage::receive() ***** ERROR Failed to read 1st byte; transaction aborted"},
      {1, "TAMRIXSC: CMessage::receive() ***** ERROR Failed to read 'Response' byte; transaction aborted"},
      {2, "TAMRIXSC: CMessage::receive() ***** ERROR Failed to read 'Status' byte; transaction aborted"},
      {3,
       "TAMRIXSC: CMessage::receive() ***** ERROR Incomplete data bytes received [0]; transaction aborted"},
      {5,
       "TAMRIXSC: CMessage::receive() ***** ERROR Incomplete data bytes received [2]; transaction aborted"},
      {7, "TAMRIXSC: CMessage::receive() ***** ERROR Failed to read checksum byte; transaction aborted"},
  };
  for (const auto& c : cases) {
    wire.clear();
    board.controller.faults().trdyLostReplyByte = c.byte;
    EXPECT_EQ(transact(POLL, {}, 4), STATUS_UNSUCCESSFUL) << c.byte;
    EXPECT_TRUE(traced(c.trace)) << c.trace;
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[1].substr(wire[1].size() - 4), " ...");
    expectIdleLines();
    EXPECT_FALSE(ext->isTREQ());
  }
}

TEST_F(MessageTest, TreqStillAssertedAfterAReplyWarnsAndIsDrainedNextTime) {
  board.controller.faults().treqHeld = true;
  EXPECT_EQ(transact(COMMAND_4, {}, 0), STATUS_SUCCESS);
  EXPECT_TRUE(
      traced("TAMRIXSC: CMessage::receive() !!!!! WARNING Device timeout on exit [TREQ still asserted]"));
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_SUCCESS);
  EXPECT_TRUE(
      traced("TAMRIXSC: CMessage::prepareTarget() !!!!! WARNING Message pending from 8051 [04 04 00 00 00 00 "
             "00 00 ...]; "
             "dumped"));
  EXPECT_EQ(wire, (std::vector<std::string>{"host> 03 04 F9", "ctl> 04 04 00 F8", "ctl> 04 04 00 F8",
                                            "host> 03 03 FA", "ctl> 08 03 00 00 00 00 00 F5"}));
}

TEST_F(MessageTest, PendingMessageIsDumpedBeforeTheCommand) {
  board.controller.postUnsolicited(0x12, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6});
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_SUCCESS);
  EXPECT_TRUE(
      traced("TAMRIXSC: CMessage::prepareTarget() !!!!! WARNING Message pending from 8051 [0A 00 12 A1 A2 A3 "
             "A4 A5 ...]; "
             "dumped"));
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[0].substr(0, 8), "ctl> 0A ");
  EXPECT_EQ(wire[1], "host> 03 03 FA");
}

TEST_F(MessageTest, SlowControllerIsAwaitedWithinTheReplyTimer) {
  board.controller.setReplyLatencyUs(3000);
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_SUCCESS);
  board.controller.setReplyLatencyUs(8000);
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_UNSUCCESSFUL);
  // The late reply is still pending at the next command and is dumped.
  kernel.clock.advance(10000 * sim::kTicksPerUs);
  board.controller.setReplyLatencyUs(0);
  EXPECT_EQ(transact(POLL, {}, 4), STATUS_SUCCESS);
  EXPECT_TRUE(
      traced("TAMRIXSC: CMessage::prepareTarget() !!!!! WARNING Message pending from 8051 [08 03 00 00 00 00 "
             "00 00 ...]; "
             "dumped"));
}

}  // namespace
