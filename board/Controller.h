// Model of the 8051 System Controller on the far side of the GPIO lines.
//
// It sees only the levels of the host's lines (host request, strobe, the
// data lines) and drives its own (TRDY, TREQ, the data lines when the host
// reads them). It is level-sensitive, as firmware that polls its port pins:
// every host write and every look at the registers lets it react, and time
// passes only as the simulated clock says.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "GpioBlock.h"
#include "sim/kernel.h"

namespace board {

// What the controller shows the outside world: frames on the wires, the
// front-panel display and the status LED.
struct ControllerEvents {
  // A command frame taken in (fromHost) or a reply sent; `complete` is false
  // for a frame cut off before its last byte.
  std::function<void(bool fromHost, const std::vector<uint8_t>& bytes, bool complete)> frame;
  std::function<void(const std::string& text)> display;
  std::function<void(bool on)> led;
  // A second party drove the host lines while another's conversation was
  // open: two conversations interleaved on the wires.
  std::function<void(const std::string& detail)> interleaved;
};

class Controller {
 public:
  enum class State {
    Idle,          // lines released, waiting for a command or a message to post
    RxReady,       // host request held: TRDY asserted, waiting for the strobe
    RxLatched,     // byte latched, TRDY dropped, waiting for the strobe release
    RxIgnored,     // frame taken in without a reply; waiting for host request release
    Executing,     // frame complete; the reply is being prepared
    ReplyPending,  // TREQ asserted, waiting for the host request
    TxReady,       // byte on the data lines, TRDY asserted, waiting for the strobe
    TxAcked,       // host took the byte, TRDY dropped, waiting for the strobe release
    TxDone,        // whole reply taken, TREQ released; waiting for the host
                   // request release
    Silent,        // dead: TRDY and TREQ deasserted, nothing answered
  };

  // Fault injection. Each arms the next occurrence unless said otherwise.
  struct Faults {
    uint32_t noReplyCount = 0;                      // frames taken in but never answered
    std::optional<uint8_t> noReplyCode;             // ... of this command code only
    int trdyLostHostByte = -1;                      // next command frame: no TRDY before byte k
    int trdyLostReplyByte = -1;                     // next reply: no TRDY before byte k
    bool stuckTrdyArmed = false;                    // after the next strobe TRDY stays asserted
    bool stuckTrdy = false;                         // ... and now it does
    std::optional<uint8_t> replyLength;             // next reply: this length byte instead
    std::optional<std::vector<uint8_t>> replyData;  // next reply: these data bytes
    bool corruptChecksum = false;                   // next reply: wrong checksum
    bool treqHeld = false;                          // next reply: TREQ not released after it;
                                                    // the reply stays pending as a message
  };

  // Firmware state: what the controller's own program keeps.
  struct Firmware {
    bool driverConnected = false;
    uint8_t connectPayload[5] = {};
    uint8_t disconnectPayload[5] = {};
    uint8_t postCode = 0;
    std::string version = "SC8051 FW 2.14";
    uint8_t slotPrimary = 0x00;
    uint8_t slotSecondary = 0x00;
    uint8_t commErrors = 0;
    uint8_t pollErrors = 0;
    bool cardlanConnected = false;
    uint8_t switchParams[3] = {};
    std::string display = "    ";
    bool led = true;  // lit from power-on until a driver takes over
    uint8_t displayStatus = 0;
    uint8_t refreshRate = 0;
    std::map<uint8_t, bool> groups;  // group numbers in use
    struct Text {
      uint8_t group;
      char text[4];
    };
    std::map<uint8_t, Text> messages;           // message number -> text
    std::map<uint8_t, uint8_t> statusOverride;  // command code -> status byte
    uint32_t commandCount[21] = {};
  };

  static constexpr uint8_t kMaxGroups = 8;
  static constexpr uint8_t kMaxMessages = 16;
  static constexpr uint8_t kMaxVersion = 64;

  explicit Controller(GpioBlock& gpio);

  // The one stimulus: a look at the lines at time `now`, whether time has
  // passed or the host's lines changed. The controller makes every
  // transition the levels allow.
  void observe(sim::Ticks now);

  // Scripted behaviour.
  void setSilent(bool silent);
  void setReplyLatencyUs(uint32_t us) { replyLatency_ = us * sim::kTicksPerUs; }
  void setReplyLatencyUs(uint8_t code, uint32_t us) { codeLatency_[code] = us * sim::kTicksPerUs; }
  void postUnsolicited(uint8_t status, const std::vector<uint8_t>& data);

  Faults& faults() { return faults_; }
  Firmware& firmware() { return fw_; }
  State state() const { return state_; }
  ControllerEvents& events() { return events_; }

  static const char* stateName(State state);

  // Who drives the host lines now (the simulated thread or deferred call
  // that runs); a conversation belongs to the party that opened it, from
  // the write that takes the controller out of Idle until it is Idle again.
  void setParty(std::function<uint32_t()> party) { party_ = std::move(party); }
  // Whether a party still holds the lock it talked under. A party that let
  // it go gave its conversation up (it timed out while the controller went
  // on), so the next party's frame is a new conversation, not an
  // interleaved one.
  void setPartyActive(std::function<bool(uint32_t)> active) { partyActive_ = std::move(active); }
  // Called by the GPIO block around each host write.
  void hostWrote(State before);

 private:
  // The host's lines as one step sees them.
  struct HostLines {
    bool request;
    bool strobe;
  };
  bool step(sim::Ticks now);
  bool onIdle(const HostLines& lines);
  bool onRxReady(const HostLines& lines);
  bool onRxLatched(const HostLines& lines, sim::Ticks now);
  bool onRxIgnored(const HostLines& lines);
  bool onExecuting(const HostLines& lines, sim::Ticks now);
  bool onReplyPending(const HostLines& lines);
  bool onTxReady(const HostLines& lines);
  bool onTxAcked(const HostLines& lines);
  bool onTxDone(const HostLines& lines);
  bool strobeSeen(const HostLines& lines) const;
  void acknowledgeStrobe();
  void releaseTrdy();
  void readyForByte(bool hostFrame, int index);
  void finishCommand(sim::Ticks now);
  void cutFrame(bool fromHost);
  void finishReply();
  void execute(const std::vector<uint8_t>& frame);

  // The payload of a command frame; a byte beyond it reads 0.
  struct Payload {
    const uint8_t* bytes;
    size_t length;
    uint8_t operator[](size_t i) const { return i < length ? bytes[i] : 0; }
    void copyTo(uint8_t* to, size_t size) const { std::memcpy(to, bytes, length < size ? length : size); }
  };
  struct Reply {
    uint8_t status = 0;
    std::vector<uint8_t> data;
  };
  // One command of the firmware: its code in the controller protocol, its
  // name there, and what the firmware does with it.
  struct Command {
    uint8_t code;
    const char* name;
    void (*run)(Controller& controller, const Payload& payload, Reply* reply);
  };
  static const std::vector<Command>& commands();
  Reply firmwareReply(uint8_t code, const Payload& payload);
  void groupAdd(Reply* reply);
  void groupDelete(uint8_t group, Reply* reply);
  void messageAdd(const Payload& payload, Reply* reply);
  void setDisplay(const uint8_t* text);
  void setLed(bool on);

  GpioBlock& gpio_;
  State state_ = State::Idle;
  ControllerEvents events_;
  Faults faults_;
  Firmware fw_;

  sim::Ticks replyLatency_ = 0;
  std::map<uint8_t, sim::Ticks> codeLatency_;

  std::vector<uint8_t> rx_;  // command frame being taken in
  std::vector<uint8_t> tx_;  // reply frame being sent
  size_t txPos_ = 0;
  sim::Ticks replyAt_ = 0;    // when the prepared reply raises TREQ
  bool repeatReply_ = false;  // TREQ held: the reply is pending again
  bool withheld_ = false;     // TRDY withheld for the current byte
  std::vector<std::vector<uint8_t>> unsolicited_;
  std::function<uint32_t()> party_;
  std::function<bool(uint32_t)> partyActive_;
  std::optional<uint32_t> owner_;  // the party whose conversation is open
  bool interleavingSeen_ = false;  // reported once per conversation
};

}  // namespace board
