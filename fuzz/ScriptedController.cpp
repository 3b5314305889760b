#include "ScriptedController.h"

#include <cstring>

namespace fuzz {
namespace {
constexpr uint8_t kMinCommandFrame = 3;
constexpr uint8_t kMaxCommandFrame = 8;

// Reply choices of the script, after a whole command frame.
enum ReplyChoice : uint8_t {
  kReplyHealthy = 0,     // status 0 and the data a working controller sends
  kReplyNone = 1,        // the command is taken in and never answered
  kReplyWellFormed = 2,  // any response, status and 0 to 64 data bytes, right checksum
  kReplyRaw = 3,         // any 1 to 71 bytes, length byte and checksum included
  kReplyBadChecksum = 4  // the working reply with its checksum off
  // any other value: the working reply with that status byte
};

uint32_t delayOf(uint8_t choice) { return choice >= ScriptedController::kNever ? UINT32_MAX : choice; }
}  // namespace

void ScriptedController::powerOn() {
  std::memset(regs_, 0xFF, sizeof(regs_));
  heal();
}

void ScriptedController::heal() {
  healthy_ = true;
  posted_.clear();
  rx_.clear();
  tx_.clear();
  trdy_ = false;
  treq_ = false;
  stuck_ = false;
  holdTreq_ = false;
  noise_ = 0;
  state_ = State::Idle;
}

void ScriptedController::post(const std::vector<uint8_t>& frame) { posted_.push_back(frame); }

// The data of a working controller's reply to a command code.
ScriptedController::Data ScriptedController::healthyData(uint8_t code) {
  static const uint8_t kPoll[] = {0x00, 0x00, 0x00, 0x00};  // slots inactive, no errors
  static const uint8_t kVersion[] = {'F', 'U', 'Z', 'Z', ' ', 'F', 'W', ' ', '1', '.', '0'};
  static const uint8_t kZero[] = {0x00};
  static const uint8_t kFirst[] = {0x01};
  switch (code) {
    case 3: return {kPoll, sizeof(kPoll)};
    case 7: return {kVersion, sizeof(kVersion)};
    case 14: return {kZero, 1};   // HD_STATUS_QUERY
    case 16: return {kFirst, 1};  // HD_GROUP_ADD: the new group
    case 18: return {kFirst, 1};  // HD_MESSAGE_ADD: the new message
    default: return {nullptr, 0};
  }
}

void ScriptedController::buildFrame(std::vector<uint8_t>* frame, uint8_t response, uint8_t status,
                                    Data data) {
  frame->clear();
  frame->push_back(static_cast<uint8_t>(data.size + 4));
  frame->push_back(response);
  frame->push_back(status);
  frame->insert(frame->end(), data.bytes, data.bytes + data.size);
  uint8_t sum = 0;
  for (uint8_t b : *frame) sum = static_cast<uint8_t>(sum + b);
  frame->push_back(static_cast<uint8_t>(-sum));
}

std::vector<uint8_t> ScriptedController::frameOf(uint8_t response, uint8_t status,
                                                 const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame;
  buildFrame(&frame, response, status, {data.data(), data.size()});
  return frame;
}

bool ScriptedController::hostDrivesData() const {
  for (uint32_t line = 0; line < Gpio::kDataLineCount; line++) {
    if (regs_[Gpio::kRegLineConfig + line] != Gpio::kLineOutput) return false;
  }
  return true;
}

uint8_t ScriptedController::read(uint32_t offset) {
  const bool look = offset == Gpio::kRegControl;
  react(look);
  if (offset == Gpio::kRegControl) {
    uint8_t value = regs_[offset] & static_cast<uint8_t>(~Gpio::kCtrlControllerDriven);
    value |= trdy_ ? 0 : Gpio::kCtrlTrdy;
    value |= treq_ ? 0 : Gpio::kCtrlTreq;
    const bool endless = (state_ == State::ReplyWait && treqWait_ == kForever) ||
                         (state_ == State::Idle && !hostRequest() && posted_.empty());
    if (!healthy_ && endless) clock_.advance(kSlowLook);
    return static_cast<uint8_t>(value ^ noise_);
  }
  if (offset == Gpio::kRegData && !hostDrivesData()) {
    const bool sending = state_ == State::TxWait || state_ == State::TxAck;
    return sending && txPos_ < tx_.size() ? tx_[txPos_] : 0xFF;
  }
  return regs_[offset];
}

void ScriptedController::write(uint32_t offset, uint8_t value) {
  regs_[offset] = value;
  react(false);
}

// Every change of the host's lines, and every look at the control register,
// lets the controller make all the transitions the levels allow; only a look
// counts down a delay.
void ScriptedController::react(bool look) {
  while (step(look)) {
    look = false;
  }
}

bool ScriptedController::countDown(uint32_t* counter, bool look) {
  if (*counter == kForever) return false;
  if (look && *counter > 0) --*counter;
  return *counter == 0;
}

// The choices for one byte: when TRDY rises, and when it falls after the
// strobe (or not before the frame ends).
void ScriptedController::beginByte() {
  trdyWait_ = delayOf(choose());
  const uint8_t ack = choose();
  stuck_ = ack >= kNever;
  ackWait_ = stuck_ ? 0 : ack;
  trdy_ = trdyWait_ == 0;
}

void ScriptedController::acknowledge() {
  if (!stuck_ && ackWait_ == 0) trdy_ = false;
}

void ScriptedController::prepareReply() {
  const uint8_t code = rx_.size() > 1 ? rx_[1] : 0;
  const uint8_t choice = choose();
  switch (choice) {
    case kReplyHealthy: buildFrame(&tx_, code, 0, healthyData(code)); break;
    case kReplyNone: state_ = State::Idle; return;
    case kReplyWellFormed: {
      const uint8_t response = choose();
      const uint8_t status = choose();
      uint8_t data[64];
      const size_t n = choose() % 65;
      for (size_t i = 0; i < n; i++) data[i] = choose();
      buildFrame(&tx_, response, status, {data, n});
      break;
    }
    case kReplyRaw: {
      tx_.assign(1 + choose() % 71, 0);
      for (auto& b : tx_) b = choose();
      break;
    }
    case kReplyBadChecksum:
      buildFrame(&tx_, code, 0, healthyData(code));
      tx_.back() = static_cast<uint8_t>(tx_.back() + (choose() | 1));
      break;
    default: buildFrame(&tx_, code, choice, healthyData(code)); break;
  }
  treqWait_ = delayOf(choose());
  holdTreq_ = choose() >= kNever;
  state_ = State::ReplyWait;
}

bool ScriptedController::step(bool look) {
  switch (state_) {
    case State::Idle:
      if (hostRequest()) {
        rx_.clear();
        state_ = State::RxWait;
        beginByte();
        return true;
      }
      if (!posted_.empty()) {
        tx_.swap(posted_.front());
        posted_.erase(posted_.begin());
        treq_ = true;
        state_ = State::TxPending;
        return true;
      }
      return false;

    case State::RxWait:
      if (!hostRequest()) {
        trdy_ = false;
        state_ = State::Idle;
        return true;
      }
      if (!trdy_) {
        if (!countDown(&trdyWait_, look)) return false;
        trdy_ = true;
        return true;
      }
      if (!strobe() || !hostDrivesData()) return false;
      rx_.push_back(regs_[Gpio::kRegData]);
      state_ = State::RxAck;
      acknowledge();
      return true;

    case State::RxAck:
      if (!hostRequest()) {
        trdy_ = false;
        state_ = State::Idle;
        return true;
      }
      if (trdy_) {
        if (stuck_ || !countDown(&ackWait_, look)) return false;
        trdy_ = false;
        return true;
      }
      if (strobe()) return false;
      if (rx_[0] < kMinCommandFrame || rx_[0] > kMaxCommandFrame || rx_.size() == rx_[0]) {
        commands_++;
        state_ = State::Executing;
      } else {
        state_ = State::RxWait;
        beginByte();
      }
      return true;

    case State::Executing:
      if (hostRequest()) return false;
      prepareReply();
      return true;

    case State::ReplyWait:
      if (hostRequest()) {
        // The host has given up on the reply and starts a new command.
        state_ = State::Idle;
        return true;
      }
      if (!countDown(&treqWait_, look)) return false;
      treq_ = true;
      state_ = State::TxPending;
      return true;

    case State::TxPending:
      if (!hostRequest()) return false;
      txPos_ = 0;
      state_ = State::TxWait;
      beginByte();
      return true;

    case State::TxWait:
    case State::TxAck:
      if (!hostRequest()) {
        // A reply cut off is dropped.
        trdy_ = false;
        treq_ = false;
        tx_.clear();
        state_ = State::Idle;
        return true;
      }
      if (state_ == State::TxWait) {
        if (!trdy_) {
          if (!countDown(&trdyWait_, look)) return false;
          trdy_ = true;
          return true;
        }
        if (!strobe()) return false;
        state_ = State::TxAck;
        acknowledge();
        return true;
      }
      if (trdy_) {
        if (stuck_ || !countDown(&ackWait_, look)) return false;
        trdy_ = false;
        return true;
      }
      if (strobe()) return false;
      txPos_++;
      if (txPos_ >= tx_.size()) {
        treq_ = holdTreq_;
        state_ = State::TxDone;
      } else {
        state_ = State::TxWait;
        beginByte();
      }
      return true;

    case State::TxDone:
      if (hostRequest()) return false;
      if (holdTreq_) {
        // TREQ held: the same message is pending again, once.
        holdTreq_ = false;
        state_ = State::TxPending;
      } else {
        state_ = State::Idle;
      }
      return true;
  }
  return false;
}

}  // namespace fuzz
