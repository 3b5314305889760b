#include "Controller.h"

#include <cstring>

namespace board {
namespace {
constexpr uint8_t kMinCommandFrame = 3;
constexpr uint8_t kMaxCommandFrame = 8;
constexpr uint8_t kMaxCommandCode = 20;
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
  const uint32_t party = party_();
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
  uint8_t status = 0;
  std::vector<uint8_t> data = firmwareReply(code, frame.data() + 2, frame.size() - 3, &status);
  if (code <= kMaxCommandCode) {
    fw_.commandCount[code]++;
  }
  auto forced = fw_.statusOverride.find(code);
  if (forced != fw_.statusOverride.end()) {
    status = forced->second;
  }
  if (faults_.replyData) {
    data = *faults_.replyData;
    faults_.replyData.reset();
  }
  tx_.clear();
  tx_.push_back(static_cast<uint8_t>(data.size() + 4));
  tx_.push_back(code);
  tx_.push_back(status);
  tx_.insert(tx_.end(), data.begin(), data.end());
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

// The firmware's handling of one command: its effect and its reply data.
std::vector<uint8_t> Controller::firmwareReply(uint8_t code, const uint8_t* payload, size_t length,
                                               uint8_t* status) {
  auto arg = [&](size_t i) -> uint8_t { return i < length ? payload[i] : 0; };
  std::vector<uint8_t> data;
  switch (code) {
    case 1:  // DRIVER_CONNECT: watchdog (2), comm, poll, options
      fw_.driverConnected = true;
      std::memcpy(fw_.connectPayload, payload, length < 5 ? length : 5);
      *status = fw_.postCode;
      break;
    case 2:  // DRIVER_DISCONNECT: reason (4), shutdown flag
      fw_.driverConnected = false;
      std::memcpy(fw_.disconnectPayload, payload, length < 5 ? length : 5);
      break;
    case 3:  // POLL
      *status = fw_.cardlanConnected ? 1 : 0;
      data = {fw_.slotPrimary, fw_.slotSecondary, fw_.commErrors, fw_.pollErrors};
      break;
    case 4:  // COMMAND_4
      break;
    case 5:
    case 6: setLed(code == 5); break;
    case 7:
      data.assign(fw_.version.begin(), fw_.version.end());
      if (data.size() > kMaxVersion) {
        data.resize(kMaxVersion);
      }
      break;
    case 8:  // SWITCH_CONNECT: card id, signalling type, TN mapping type
      fw_.cardlanConnected = true;
      for (size_t i = 0; i < 3; i++) {
        fw_.switchParams[i] = arg(i);
      }
      break;
    case 9: fw_.cardlanConnected = false; break;
    case 10:  // HD_WRITE: text
      if (length >= 4) {
        setDisplay(payload);
      }
      break;
    case 11:  // HD_RESET: text, then a mode byte
      if (length >= 4) {
        setDisplay(payload);
      }
      fw_.displayStatus = 0;
      break;
    case 12: fw_.displayStatus = arg(0); break;
    case 13: fw_.displayStatus = 0; break;
    case 14: data = {fw_.displayStatus}; break;
    case 15: fw_.refreshRate = arg(0); break;
    case 16: {  // HD_GROUP_ADD
      uint8_t id = 1;
      while (id <= kMaxGroups && fw_.groups.count(id)) {
        id++;
      }
      if (id > kMaxGroups) {
        *status = kStatusRefused;
      } else {
        fw_.groups[id] = true;
        data = {id};
      }
      break;
    }
    case 17:  // HD_GROUP_DELETE
      if (fw_.groups.erase(arg(0)) == 0) {
        *status = kStatusRefused;
      } else {
        for (auto it = fw_.messages.begin(); it != fw_.messages.end();) {
          it = it->second.group == arg(0) ? fw_.messages.erase(it) : std::next(it);
        }
      }
      break;
    case 18: {  // HD_MESSAGE_ADD: group, text
      if (!fw_.groups.count(arg(0))) {
        *status = kStatusNoGroup;
        break;
      }
      uint8_t id = 1;
      while (id <= kMaxMessages && fw_.messages.count(id)) {
        id++;
      }
      if (id > kMaxMessages) {
        *status = kStatusRefused;
        break;
      }
      Firmware::Text text{arg(0), {}};
      for (size_t i = 0; i < 4; i++) {
        text.text[i] = static_cast<char>(arg(1 + i));
      }
      fw_.messages[id] = text;
      data = {id};
      break;
    }
    case 19: {  // HD_MESSAGE_EXCHANGE: message, text
      auto it = fw_.messages.find(arg(0));
      if (it == fw_.messages.end()) {
        *status = kStatusRefused;
      } else {
        for (size_t i = 0; i < 4; i++) {
          it->second.text[i] = static_cast<char>(arg(1 + i));
        }
      }
      break;
    }
    case 20:  // HD_MESSAGE_DELETE
      if (fw_.messages.erase(arg(0)) == 0) {
        *status = kStatusRefused;
      }
      break;
    default: *status = kStatusUnknownCommand; break;
  }
  return data;
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
