#include "Controller.h"

#include <cstring>
#include <iterator>

namespace board {
namespace {
constexpr uint8_t kMinCommandFrame = 3;
constexpr uint8_t kMaxCommandFrame = 8;
// Status of a reply to a command code that the firmware does not know.
constexpr uint8_t kStatusUnknownCommand = 0xFF;
// Status of refusals: generic, and "no such group" for a message add.
constexpr uint8_t kStatusRefused = 0x01;
constexpr uint8_t kStatusNoGroup = 0x02;

uint8_t checksumOf(const std::vector<uint8_t>& bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; i++) {
    sum = static_cast<uint8_t>(sum + bytes[i]);
  }
  return static_cast<uint8_t>(-sum);
}
}  // namespace

Controller::Controller(GpioBlock& gpio) : gpio_(gpio) { gpio_.connect(this); }

const char* Controller::stateName(State state) {
  switch (state) {
    case State::Idle: return "Idle";
    case State::RxReady: return "RxReady";
    case State::RxLatched: return "RxLatched";
    case State::RxIgnored: return "RxIgnored";
    case State::Executing: return "Executing";
    case State::ReplyPending: return "ReplyPending";
    case State::TxReady: return "TxReady";
    case State::TxAcked: return "TxAcked";
    case State::TxDone: return "TxDone";
    case State::Silent: return "Silent";
  }
  return "?";
}

void Controller::observe(sim::Ticks now) {
  while (step(now)) {
  }
}

void Controller::setSilent(bool silent) {
  gpio_.driveTrdy(false);
  gpio_.driveTreq(false);
  faults_.stuckTrdy = false;
  faults_.stuckTrdyArmed = false;
  rx_.clear();
  tx_.clear();
  repeatReply_ = false;
  state_ = silent ? State::Silent : State::Idle;
}

void Controller::postUnsolicited(uint8_t status, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame;
  frame.push_back(static_cast<uint8_t>(data.size() + 4));
  frame.push_back(0x00);  // response byte of a message nobody asked for
  frame.push_back(status);
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(checksumOf(frame, frame.size()));
  unsolicited_.push_back(frame);
}

// Asserts TRDY for byte `index` of a frame, unless a fault withholds it.
void Controller::readyForByte(bool hostFrame, int index) {
  int& lost = hostFrame ? faults_.trdyLostHostByte : faults_.trdyLostReplyByte;
  if (lost == index) {
    lost = -1;
    gpio_.driveTrdy(false);
    withheld_ = true;
    return;
  }
  gpio_.driveTrdy(true);
}

// One transition at most; true when the state changed, so that the caller
// looks again at the same levels.
bool Controller::step(sim::Ticks now) {
  const HostLines lines{gpio_.hostRequest(), gpio_.strobe()};
  switch (state_) {
    case State::Silent: return false;
    case State::Idle: return onIdle(lines);
    case State::RxReady: return onRxReady(lines);
    case State::RxLatched: return onRxLatched(lines, now);
    case State::RxIgnored: return onRxIgnored(lines);
    case State::Executing: return onExecuting(lines, now);
    case State::ReplyPending: return onReplyPending(lines);
    case State::TxReady: return onTxReady(lines);
    case State::TxAcked: return onTxAcked(lines);
    case State::TxDone: return onTxDone(lines);
  }
  return false;
}

void Controller::hostWrote(State before) {
  if (!party_) return;
  if (state_ == State::Idle || state_ == State::Silent) {
    owner_.reset();
    interleavingSeen_ = false;
    return;
  }
  // A reply the controller offers again (TREQ held after it was read) is a
  // message of its own from then on, like one it posts unasked.
  if (before == State::TxDone && state_ == State::ReplyPending) {
    owner_.reset();
    interleavingSeen_ = false;
    return;
  }
  const uint32_t party = party_();
  // A message the controller posted on its own belongs to whoever drains it.
  if (before == State::Idle || !owner_ || (partyActive_ && !partyActive_(*owner_))) {
    owner_ = party;
    interleavingSeen_ = false;
    return;
  }
  if (party != *owner_ && !interleavingSeen_) {
    interleavingSeen_ = true;
    if (events_.interleaved) {
      events_.interleaved("party " + std::to_string(party) +
                          " drove the host lines while the conversation of party " + std::to_string(*owner_) +
                          " was open (controller " + stateName(before) + ")");
    }
  }
}

bool Controller::onIdle(const HostLines& lines) {
  if (lines.request) {
    rx_.clear();
    withheld_ = false;
    state_ = State::RxReady;
    readyForByte(true, 0);
    return true;
  }
  if (!unsolicited_.empty()) {
    tx_ = unsolicited_.front();
    unsolicited_.erase(unsolicited_.begin());
    gpio_.driveTreq(true);
    state_ = State::ReplyPending;
    return true;
  }
  return false;
}

bool Controller::onRxReady(const HostLines& lines) {
  if (!lines.request) {
    cutFrame(true);
    return true;
  }
  // The byte is taken on the strobe while the host drives the lines.
  if (!strobeSeen(lines) || !gpio_.hostDrivesData()) {
    return false;
  }
  rx_.push_back(gpio_.dataLines());
  acknowledgeStrobe();
  state_ = State::RxLatched;
  return true;
}

bool Controller::onRxLatched(const HostLines& lines, sim::Ticks now) {
  if (!lines.request) {
    cutFrame(true);
    return true;
  }
  if (lines.strobe || faults_.stuckTrdy) {
    return false;
  }
  if (rx_[0] < kMinCommandFrame || rx_[0] > kMaxCommandFrame || rx_.size() == rx_[0]) {
    finishCommand(now);
  } else {
    state_ = State::RxReady;
    readyForByte(true, static_cast<int>(rx_.size()));
  }
  return true;
}

bool Controller::onRxIgnored(const HostLines& lines) {
  if (lines.request) {
    return false;
  }
  state_ = State::Idle;
  return true;
}

bool Controller::onExecuting(const HostLines& lines, sim::Ticks now) {
  if (lines.request || now < replyAt_) {
    return false;
  }
  gpio_.driveTreq(true);
  state_ = State::ReplyPending;
  return true;
}

bool Controller::onReplyPending(const HostLines& lines) {
  if (!lines.request) {
    return false;
  }
  txPos_ = 0;
  withheld_ = false;
  gpio_.driveData(tx_[0]);
  state_ = State::TxReady;
  readyForByte(false, 0);
  return true;
}

bool Controller::onTxReady(const HostLines& lines) {
  if (!lines.request) {
    cutFrame(false);
    return true;
  }
  if (!strobeSeen(lines)) {
    return false;
  }
  acknowledgeStrobe();
  state_ = State::TxAcked;
  return true;
}

bool Controller::onTxAcked(const HostLines& lines) {
  if (!lines.request) {
    txPos_++;  // the host has the byte, even if it never releases the strobe
    cutFrame(false);
    return true;
  }
  if (lines.strobe || faults_.stuckTrdy) {
    return false;
  }
  txPos_++;
  if (txPos_ == tx_.size()) {
    finishReply();
  } else {
    gpio_.driveData(tx_[txPos_]);
    state_ = State::TxReady;
    readyForByte(false, static_cast<int>(txPos_));
  }
  return true;
}

bool Controller::onTxDone(const HostLines& lines) {
  if (lines.request) {
    return false;
  }
  state_ = repeatReply_ ? State::ReplyPending : State::Idle;
  repeatReply_ = false;
  return true;
}

// A strobe counts only while TRDY, offered and not withheld, invites it.
bool Controller::strobeSeen(const HostLines& lines) const {
  return lines.strobe && gpio_.trdy() && !withheld_;
}

// The strobe acknowledged a byte: TRDY drops, unless a stuck-TRDY fault
// takes effect on this strobe or already holds the line.
void Controller::acknowledgeStrobe() {
  if (faults_.stuckTrdyArmed) {
    faults_.stuckTrdyArmed = false;
    faults_.stuckTrdy = true;
    return;
  }
  releaseTrdy();
}

void Controller::releaseTrdy() {
  if (!faults_.stuckTrdy) {
    gpio_.driveTrdy(false);
  }
}

void Controller::cutFrame(bool fromHost) {
  if (fromHost) {
    if (events_.frame && !rx_.empty()) {
      events_.frame(true, rx_, false);
    }
    rx_.clear();
  } else {
    // A reply cut off is dropped: the host has given up on it.
    std::vector<uint8_t> taken(tx_.begin(), tx_.begin() + static_cast<long>(txPos_));
    if (events_.frame) {
      events_.frame(false, taken, false);
    }
    gpio_.driveTreq(false);
    tx_.clear();
  }
  releaseTrdy();
  state_ = State::Idle;
}

void Controller::finishCommand(sim::Ticks now) {
  releaseTrdy();
  if (events_.frame) {
    events_.frame(true, rx_, true);
  }
  bool wellFormed =
      rx_.size() >= kMinCommandFrame && rx_.size() == rx_[0] && checksumOf(rx_, rx_.size()) == 0;
  uint8_t code = rx_.size() > 1 ? rx_[1] : 0;
  bool dropped = false;
  if (faults_.noReplyCount > 0 && (!faults_.noReplyCode || *faults_.noReplyCode == code)) {
    faults_.noReplyCount--;
    dropped = true;
  }
  // A malformed frame is ignored, as firmware that waits for a good one.
  if (!wellFormed || dropped) {
    state_ = State::RxIgnored;
    return;
  }
  execute(rx_);
  auto latency = codeLatency_.find(code);
  replyAt_ = now + (latency != codeLatency_.end() ? latency->second : replyLatency_);
  state_ = State::Executing;
}

void Controller::finishReply() {
  if (events_.frame) {
    events_.frame(false, tx_, true);
  }
  if (faults_.treqHeld) {
    faults_.treqHeld = false;
    repeatReply_ = true;
  } else {
    gpio_.driveTreq(false);
  }
  state_ = State::TxDone;
}

void Controller::execute(const std::vector<uint8_t>& frame) {
  uint8_t code = frame[1];
  Reply reply = firmwareReply(code, Payload{frame.data() + 2, frame.size() - 3});
  if (code < sizeof(fw_.commandCount) / sizeof(fw_.commandCount[0])) {
    fw_.commandCount[code]++;
  }
  auto forced = fw_.statusOverride.find(code);
  if (forced != fw_.statusOverride.end()) {
    reply.status = forced->second;
  }
  if (faults_.replyData) {
    reply.data = *faults_.replyData;
    faults_.replyData.reset();
  }
  tx_.clear();
  tx_.push_back(static_cast<uint8_t>(reply.data.size() + 4));
  tx_.push_back(code);
  tx_.push_back(reply.status);
  tx_.insert(tx_.end(), reply.data.begin(), reply.data.end());
  if (faults_.replyLength) {
    tx_[0] = *faults_.replyLength;
    faults_.replyLength.reset();
  }
  tx_.push_back(checksumOf(tx_, tx_.size()));
  if (faults_.corruptChecksum) {
    faults_.corruptChecksum = false;
    tx_.back() = static_cast<uint8_t>(tx_.back() + 1);
  }
}

// The firmware's commands by their codes in the controller protocol. The
// model keeps its own table, written from the protocol and not from the
// driver's enumeration, so that a code the driver gets wrong is never
// mirrored here.
const std::vector<Controller::Command>& Controller::commands() {
  static const std::vector<Command> table = {
      {1, "DRIVER_CONNECT",  // watchdog (2), comm, poll, options
       [](Controller& c, const Payload& p, Reply* r) {
         c.fw_.driverConnected = true;
         p.copyTo(c.fw_.connectPayload, sizeof(c.fw_.connectPayload));
         r->status = c.fw_.postCode;
       }},
      {2, "DRIVER_DISCONNECT",  // reason (4), shutdown flag
       [](Controller& c, const Payload& p, Reply*) {
         c.fw_.driverConnected = false;
         p.copyTo(c.fw_.disconnectPayload, sizeof(c.fw_.disconnectPayload));
       }},
      {3, "POLL",
       [](Controller& c, const Payload&, Reply* r) {
         r->status = c.fw_.cardlanConnected ? 1 : 0;
         r->data = {c.fw_.slotPrimary, c.fw_.slotSecondary, c.fw_.commErrors, c.fw_.pollErrors};
       }},
      {4, "COMMAND_4", [](Controller&, const Payload&, Reply*) {}},
      {5, "STATUS_LED_ON", [](Controller& c, const Payload&, Reply*) { c.setLed(true); }},
      {6, "STATUS_LED_OFF", [](Controller& c, const Payload&, Reply*) { c.setLed(false); }},
      {7, "FIRMWARE_VERSION",
       [](Controller& c, const Payload&, Reply* r) {
         r->data.assign(c.fw_.version.begin(), c.fw_.version.end());
         if (r->data.size() > kMaxVersion) r->data.resize(kMaxVersion);
       }},
      {8, "SWITCH_CONNECT",  // card id, signalling type, TN mapping type
       [](Controller& c, const Payload& p, Reply*) {
         c.fw_.cardlanConnected = true;
         for (size_t i = 0; i < 3; i++) c.fw_.switchParams[i] = p[i];
       }},
      {9, "SWITCH_DISCONNECT", [](Controller& c, const Payload&, Reply*) { c.fw_.cardlanConnected = false; }},
      {10, "HD_WRITE",  // text
       [](Controller& c, const Payload& p, Reply*) {
         if (p.length >= 4) c.setDisplay(p.bytes);
       }},
      {11, "HD_RESET",  // text, then a mode byte
       [](Controller& c, const Payload& p, Reply*) {
         if (p.length >= 4) c.setDisplay(p.bytes);
         c.fw_.displayStatus = 0;
       }},
      {12, "HD_SET_STATUS", [](Controller& c, const Payload& p, Reply*) { c.fw_.displayStatus = p[0]; }},
      {13, "HD_CLEAR_STATUS", [](Controller& c, const Payload&, Reply*) { c.fw_.displayStatus = 0; }},
      {14, "HD_STATUS_QUERY",
       [](Controller& c, const Payload&, Reply* r) { r->data = {c.fw_.displayStatus}; }},
      {15, "HD_SET_REFRESH_RATE", [](Controller& c, const Payload& p, Reply*) { c.fw_.refreshRate = p[0]; }},
      {16, "HD_GROUP_ADD", [](Controller& c, const Payload&, Reply* r) { c.groupAdd(r); }},
      {17, "HD_GROUP_DELETE", [](Controller& c, const Payload& p, Reply* r) { c.groupDelete(p[0], r); }},
      {18, "HD_MESSAGE_ADD",  // group, text
       [](Controller& c, const Payload& p, Reply* r) { c.messageAdd(p, r); }},
      {19, "HD_MESSAGE_EXCHANGE",  // message, text
       [](Controller& c, const Payload& p, Reply* r) {
         auto it = c.fw_.messages.find(p[0]);
         if (it == c.fw_.messages.end()) {
           r->status = kStatusRefused;
           return;
         }
         for (size_t i = 0; i < 4; i++) it->second.text[i] = static_cast<char>(p[1 + i]);
       }},
      {20, "HD_MESSAGE_DELETE",
       [](Controller& c, const Payload& p, Reply* r) {
         if (c.fw_.messages.erase(p[0]) == 0) r->status = kStatusRefused;
       }},
  };
  return table;
}

// The firmware's handling of one command: its effect and its reply.
Controller::Reply Controller::firmwareReply(uint8_t code, const Payload& payload) {
  Reply reply;
  for (const Command& command : commands()) {
    if (command.code == code) {
      command.run(*this, payload, &reply);
      return reply;
    }
  }
  reply.status = kStatusUnknownCommand;
  return reply;
}

// The lowest free group number, or a refusal when all are taken.
void Controller::groupAdd(Reply* reply) {
  uint8_t id = 1;
  while (id <= kMaxGroups && fw_.groups.count(id)) id++;
  if (id > kMaxGroups) {
    reply->status = kStatusRefused;
    return;
  }
  fw_.groups[id] = true;
  reply->data = {id};
}

// A group goes with its messages.
void Controller::groupDelete(uint8_t group, Reply* reply) {
  if (fw_.groups.erase(group) == 0) {
    reply->status = kStatusRefused;
    return;
  }
  for (auto it = fw_.messages.begin(); it != fw_.messages.end();) {
    it = it->second.group == group ? fw_.messages.erase(it) : std::next(it);
  }
}

void Controller::messageAdd(const Payload& payload, Reply* reply) {
  const uint8_t group = payload[0];
  if (!fw_.groups.count(group)) {
    reply->status = kStatusNoGroup;
    return;
  }
  uint8_t id = 1;
  while (id <= kMaxMessages && fw_.messages.count(id)) id++;
  if (id > kMaxMessages) {
    reply->status = kStatusRefused;
    return;
  }
  Firmware::Text text{group, {}};
  for (size_t i = 0; i < 4; i++) text.text[i] = static_cast<char>(payload[1 + i]);
  fw_.messages[id] = text;
  reply->data = {id};
}

void Controller::setDisplay(const uint8_t* text) {
  std::string shown(reinterpret_cast<const char*>(text), 4);
  if (shown != fw_.display) {
    fw_.display = shown;
    if (events_.display) {
      events_.display(shown);
    }
  }
}

void Controller::setLed(bool on) {
  if (on != fw_.led) {
    fw_.led = on;
    if (events_.led) {
      events_.led(on);
    }
  }
}

}  // namespace board
