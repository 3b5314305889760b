// The controller model alone, at its wires: a host made of nothing but
// register reads and writes on the GPIO block sends command frames and reads
// replies. Command codes and status bytes are the protocol's raw numbers,
// written here independently of the driver's own tables.
#include "Controller.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "GpioBlock.h"
#include "Registers.h"

namespace {

using Bytes = std::vector<uint8_t>;
using State = board::Controller::State;

// Frames as the protocol writes them: the length first, the checksum last,
// every byte summing to 0 modulo 256.
Bytes command(uint8_t code, Bytes payload = {}) {
  Bytes frame{static_cast<uint8_t>(payload.size() + 3), code};
  for (uint8_t b : payload) {
    frame.push_back(b);
  }
  uint8_t sum = std::accumulate(frame.begin(), frame.end(), uint8_t{0});
  frame.push_back(static_cast<uint8_t>(-sum));
  return frame;
}

uint8_t sumOf(const Bytes& frame) { return std::accumulate(frame.begin(), frame.end(), uint8_t{0}); }

Bytes dataOf(const Bytes& reply) { return Bytes(reply.begin() + 3, reply.end() - 1); }

class ControllerWires : public ::testing::Test {
 protected:
  ControllerWires() : gpio(clock), controller(gpio) {
    controller.events().frame = [this](bool fromHost, const Bytes& bytes, bool complete) {
      frames.push_back({fromHost, bytes, complete});
    };
    controller.events().display = [this](const std::string& text) { displays.push_back(text); };
    controller.events().led = [this](bool on) { leds.push_back(on); };
  }

  // The control register's lines, read as asserted (active low).
  bool trdy() { return (gpio.read(Gpio::kRegControl) & Gpio::kCtrlTrdy) == 0; }
  bool treq() { return (gpio.read(Gpio::kRegControl) & Gpio::kCtrlTreq) == 0; }

  void drive(uint8_t line, bool asserted) {
    uint8_t v = gpio.read(Gpio::kRegControl);
    gpio.write(Gpio::kRegControl,
               asserted ? static_cast<uint8_t>(v & ~line) : static_cast<uint8_t>(v | line));
  }
  void request(bool asserted) { drive(Gpio::kCtrlHostRequest, asserted); }
  void strobe(bool asserted) { drive(Gpio::kCtrlStrobe, asserted); }
  void dataOut(bool out) {
    for (uint32_t line = 0; line < Gpio::kDataLineCount; line++) {
      gpio.write(Gpio::kRegLineConfig + line, out ? Gpio::kLineOutput : Gpio::kLineInput);
    }
  }

  // One byte each way; false when TRDY does not invite it.
  bool sendByte(uint8_t value) {
    if (!trdy()) {
      return false;
    }
    dataOut(true);
    gpio.write(Gpio::kRegData, value);
    strobe(true);
    bool dropped = !trdy();
    strobe(false);
    return dropped;
  }
  bool receiveByte(uint8_t* value) {
    if (!trdy()) {
      return false;
    }
    *value = gpio.read(Gpio::kRegData);
    strobe(true);
    bool dropped = !trdy();
    strobe(false);
    return dropped;
  }

  // A whole command frame under the host request; the count of bytes taken.
  size_t send(const Bytes& frame) {
    request(true);
    size_t sent = 0;
    while (sent < frame.size() && sendByte(frame[sent])) {
      sent++;
    }
    dataOut(false);
    request(false);
    return sent;
  }

  // A whole reply once TREQ is up: the length byte says how many follow.
  Bytes receive() {
    EXPECT_TRUE(treq());
    request(true);
    Bytes reply(1);
    EXPECT_TRUE(receiveByte(&reply[0]));
    while (reply.size() < reply[0]) {
      uint8_t b = 0;
      if (!receiveByte(&b)) {
        break;
      }
      reply.push_back(b);
    }
    request(false);
    return reply;
  }

  Bytes transact(const Bytes& frame) {
    EXPECT_EQ(send(frame), frame.size());
    return receive();
  }

  struct Frame {
    bool fromHost;
    Bytes bytes;
    bool complete;
  };

  sim::Clock clock;
  board::GpioBlock gpio;
  board::Controller controller;
  std::vector<Frame> frames;
  std::vector<std::string> displays;
  std::vector<bool> leds;
};

TEST_F(ControllerWires, IdleLinesAreReleasedAndPollIsAnswered) {
  EXPECT_FALSE(trdy());
  EXPECT_FALSE(treq());
  controller.firmware().slotPrimary = 0x40;
  controller.firmware().commErrors = 2;

  Bytes reply = transact({0x03, 0x03, 0xFA});  // POLL as the protocol spells it
  ASSERT_EQ(reply.size(), 8u);
  EXPECT_EQ(reply[1], 0x03);  // response: the code answered
  EXPECT_EQ(reply[2], 0x00);  // status: no Cardlan connected yet
  EXPECT_EQ(dataOf(reply), (Bytes{0x40, 0x00, 0x02, 0x00}));
  EXPECT_EQ(sumOf(reply), 0);
  EXPECT_FALSE(treq());
  EXPECT_EQ(controller.state(), State::Idle);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].fromHost && frames[0].complete);
  EXPECT_FALSE(frames[1].fromHost);
  EXPECT_EQ(frames[1].bytes, reply);
}

TEST_F(ControllerWires, HostAndCardlanCommandsChangeTheFirmwareState) {
  controller.firmware().postCode = 0x2A;
  Bytes reply = transact(command(1, {0x58, 0x02, 60, 62, 0x01}));  // DRIVER_CONNECT
  EXPECT_EQ(reply[2], 0x2A);                                       // the POST code rides in the status
  EXPECT_TRUE(controller.firmware().driverConnected);
  EXPECT_EQ(controller.firmware().connectPayload[0], 0x58);
  EXPECT_EQ(controller.firmware().connectPayload[4], 0x01);

  transact(command(8, {70, 3, 3}));  // SWITCH_CONNECT
  EXPECT_TRUE(controller.firmware().cardlanConnected);
  EXPECT_EQ(controller.firmware().switchParams[0], 70);
  EXPECT_EQ(transact(command(3))[2], 0x01);  // POLL now reports the Cardlan up
  transact(command(9));                      // SWITCH_DISCONNECT
  EXPECT_FALSE(controller.firmware().cardlanConnected);

  transact(command(6));  // STATUS_LED_OFF
  transact(command(5));  // STATUS_LED_ON
  EXPECT_EQ(leds, (std::vector<bool>{false, true}));

  controller.firmware().version = "FW 1";
  reply = transact(command(7));  // FIRMWARE_VERSION
  EXPECT_EQ(dataOf(reply), (Bytes{'F', 'W', ' ', '1'}));

  transact(command(2, {'U', 'N', 'L', 'D', 0}));  // DRIVER_DISCONNECT
  EXPECT_FALSE(controller.firmware().driverConnected);
  EXPECT_EQ(controller.firmware().disconnectPayload[3], 'D');
  EXPECT_EQ(controller.firmware().commandCount[3], 1u);
}

TEST_F(ControllerWires, DisplayCommandsAnswerWithTheirStatusBytes) {
  transact(command(10, {'A', 'B', 'C', 'D'}));  // HD_WRITE
  EXPECT_EQ(displays, (std::vector<std::string>{"ABCD"}));
  transact(command(12, {0x07}));                            // HD_SET_STATUS
  EXPECT_EQ(dataOf(transact(command(14))), (Bytes{0x07}));  // HD_STATUS_QUERY
  transact(command(13));                                    // HD_CLEAR_STATUS
  EXPECT_EQ(dataOf(transact(command(14))), (Bytes{0x00}));

  // A message for a group that does not exist: status 2.
  EXPECT_EQ(transact(command(18, {1, 'a', 'b', 'c', 'd'}))[2], 0x02);
  Bytes group = transact(command(16));  // HD_GROUP_ADD
  EXPECT_EQ(group[2], 0x00);
  EXPECT_EQ(dataOf(group), (Bytes{1}));
  Bytes message = transact(command(18, {1, 'a', 'b', 'c', 'd'}));  // HD_MESSAGE_ADD
  EXPECT_EQ(message[2], 0x00);
  EXPECT_EQ(dataOf(message), (Bytes{1}));
  EXPECT_EQ(transact(command(19, {1, 'w', 'x', 'y', 'z'}))[2], 0x00);  // HD_MESSAGE_EXCHANGE
  EXPECT_EQ(transact(command(19, {9, 'w', 'x', 'y', 'z'}))[2], 0x01);
  EXPECT_EQ(transact(command(17, {1}))[2], 0x00);  // HD_GROUP_DELETE takes its messages along
  EXPECT_EQ(transact(command(20, {1}))[2], 0x01);  // HD_MESSAGE_DELETE of a message gone
  EXPECT_EQ(transact(command(17, {1}))[2], 0x01);

  for (int i = 0; i < board::Controller::kMaxGroups; i++) {
    EXPECT_EQ(transact(command(16))[2], 0x00);
  }
  EXPECT_EQ(transact(command(16))[2], 0x01);  // no ninth group
  EXPECT_EQ(transact(command(21))[2], 0xFF);  // a code the firmware does not know
}

// The firmware knows the twenty codes of the protocol, 1 to 20, each
// answered with its own code; any other code is answered with status 0xFF
// and no data.
TEST_F(ControllerWires, TheTwentyCodesOfTheProtocolAndNoOther) {
  for (int code = 0; code <= 0xFF; code++) {
    Bytes reply = transact(command(static_cast<uint8_t>(code)));
    ASSERT_GE(reply.size(), 4u) << code;
    EXPECT_EQ(reply[1], code);
    EXPECT_EQ(sumOf(reply), 0) << code;
    bool known = code >= 1 && code <= 20;
    EXPECT_EQ(reply[2] == 0xFF, !known) << code;
    EXPECT_TRUE(known || reply.size() == 4u) << code;
  }
}

TEST_F(ControllerWires, MalformedFramesAreTakenInAndNeverAnswered) {
  Bytes bad = command(3);
  bad.back()++;
  EXPECT_EQ(send(bad), 3u);
  EXPECT_FALSE(treq());
  EXPECT_EQ(controller.state(), State::Idle);
  EXPECT_EQ(controller.firmware().commandCount[3], 0u);

  // A length byte beyond the frame's limit ends the frame at once.
  request(true);
  EXPECT_TRUE(sendByte(0x09));
  EXPECT_EQ(controller.state(), State::RxIgnored);
  EXPECT_FALSE(trdy());
  request(false);
  EXPECT_EQ(controller.state(), State::Idle);
  EXPECT_FALSE(treq());

  // A frame cut off by the host is reported incomplete.
  request(true);
  EXPECT_TRUE(sendByte(0x03));
  request(false);
  ASSERT_FALSE(frames.empty());
  EXPECT_FALSE(frames.back().complete);
  EXPECT_EQ(frames.back().bytes, (Bytes{0x03}));
  EXPECT_EQ(controller.state(), State::Idle);
}

TEST_F(ControllerWires, ReplyWaitsForItsLatencyAndForTheHostToLetGo) {
  controller.setReplyLatencyUs(100);
  request(true);
  for (uint8_t b : command(4)) {
    ASSERT_TRUE(sendByte(b));
  }
  dataOut(false);
  clock.advance(200 * sim::kTicksPerUs);
  EXPECT_FALSE(treq());  // the host still holds its request
  request(false);
  clock.advance(50 * sim::kTicksPerUs);
  EXPECT_TRUE(treq());  // the latency counts from the frame's end
  EXPECT_EQ(controller.state(), State::ReplyPending);
  EXPECT_EQ(receive(), (Bytes{0x04, 0x04, 0x00, 0xF8}));
}

TEST_F(ControllerWires, ReplyFaultsChangeOnlyTheNextReply) {
  controller.faults().corruptChecksum = true;
  EXPECT_NE(sumOf(transact(command(3))), 0);
  EXPECT_EQ(sumOf(transact(command(3))), 0);

  controller.faults().replyLength = 0x03;
  EXPECT_EQ(transact(command(4)), (Bytes{0x03, 0x04, 0x00}));
  controller.faults().replyData = Bytes{1, 2, 3, 4, 5};
  EXPECT_EQ(dataOf(transact(command(4))), (Bytes{1, 2, 3, 4, 5}));

  controller.faults().noReplyCount = 1;
  controller.faults().noReplyCode = 3;
  EXPECT_EQ(transact(command(4))[1], 0x04);  // another code is still answered
  EXPECT_EQ(send(command(3)), 3u);
  EXPECT_FALSE(treq());
  EXPECT_EQ(transact(command(3))[1], 0x03);

  controller.faults().treqHeld = true;
  Bytes first = transact(command(4));
  EXPECT_TRUE(treq());  // the same reply is pending again
  EXPECT_EQ(receive(), first);
  EXPECT_FALSE(treq());
}

TEST_F(ControllerWires, HandshakeFaultsStopTheByteWhereTheyAreArmed) {
  controller.faults().trdyLostHostByte = 1;
  EXPECT_EQ(send(command(3)), 1u);
  EXPECT_EQ(controller.state(), State::Idle);

  controller.faults().trdyLostReplyByte = 2;
  ASSERT_EQ(send(command(3)), 3u);
  Bytes cut = receive();
  EXPECT_EQ(cut.size(), 2u);
  EXPECT_FALSE(treq());  // a reply the host gave up on is dropped
  EXPECT_FALSE(frames.back().complete);

  controller.faults().stuckTrdyArmed = true;
  request(true);
  dataOut(true);
  gpio.write(Gpio::kRegData, 0x03);
  strobe(true);
  strobe(false);
  EXPECT_TRUE(trdy());  // TRDY never drops again
  EXPECT_TRUE(controller.faults().stuckTrdy);
  EXPECT_EQ(controller.state(), State::RxLatched);
  request(false);
  EXPECT_TRUE(trdy());
  controller.setSilent(false);
  EXPECT_FALSE(trdy());
}

TEST_F(ControllerWires, UnsolicitedMessageRaisesTreqWhileIdle) {
  controller.postUnsolicited(0x11, {0xAB});
  EXPECT_TRUE(treq());
  Bytes message = receive();
  EXPECT_EQ(message, (Bytes{0x05, 0x00, 0x11, 0xAB, static_cast<uint8_t>(-(0x05 + 0x11 + 0xAB))}));
  EXPECT_FALSE(treq());
}

TEST_F(ControllerWires, SilentControllerAnswersNothing) {
  controller.setSilent(true);
  EXPECT_EQ(send(command(3)), 0u);
  EXPECT_FALSE(treq());
  EXPECT_TRUE(frames.empty());
  controller.setSilent(false);
  EXPECT_EQ(transact(command(3))[1], 0x03);
}

}  // namespace
