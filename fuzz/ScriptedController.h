// A System Controller whose every choice comes from a script of bytes: when
// TRDY rises and falls for each byte, whether and when TREQ rises, what the
// reply holds (any length byte, any number of bytes, any checksum), whether
// TREQ is released, and messages nobody asked for. It sits on the bus in
// place of the GPIO block and the controller model.
//
// Byte 0 of every choice is what a working controller does, and a script
// that has run out leaves a working controller: a prefix of the fuzzer's
// bytes is hostile, the rest of the run is healthy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Bytes.h"
#include "Registers.h"
#include "sim/kernel.h"

namespace fuzz {

class ScriptedController : public sim::IoDevice {
 public:
  // A choice of this value or more means "never".
  static constexpr uint8_t kNever = 0xF0;
  // A wait that the script made endless costs the host this much virtual
  // time per look at the lines, so that a wait of a second ends in a few
  // hundred samples (a slow bus is within what the driver must bear).
  static constexpr sim::Ticks kSlowLook = 5000 * sim::kTicksPerUs;

  ScriptedController(sim::Clock& clock, Bytes& script) : clock_(clock), script_(script) { powerOn(); }

  uint8_t read(uint32_t offset) override;
  void write(uint32_t offset, uint8_t value) override;

  // All registers at their power-on value, lines released, working.
  void powerOn();
  // From now on the script decides.
  void arm() { healthy_ = false; }
  // From now on a working controller: the protocol starts over from idle
  // with the lines the host holds now, and nothing is pending.
  void heal();
  // A message the controller posts before the next command: the given
  // bytes as they are, well-formed or not.
  void post(const std::vector<uint8_t>& frame);
  // Unused bits of the control register read with these values flipped.
  void setNoise(uint8_t mask) { noise_ = mask & kUnusedBits; }

  // What a working controller answers with: data bytes of the reply to a
  // command code.
  struct Data {
    const uint8_t* bytes;
    size_t size;
  };
  static Data healthyData(uint8_t code);
  // A well-formed reply frame: length, response, status, data, checksum.
  static void buildFrame(std::vector<uint8_t>* frame, uint8_t response, uint8_t status, Data data);
  static std::vector<uint8_t> frameOf(uint8_t response, uint8_t status, const std::vector<uint8_t>& data);

  uint64_t commandsTaken() const { return commands_; }

 private:
  static constexpr uint8_t kUnusedBits = 0x01 | 0x08 | 0x10 | 0x80;
  enum class State { Idle, RxWait, RxAck, Executing, ReplyWait, TxPending, TxWait, TxAck, TxDone };

  bool hostRequest() const { return (regs_[Gpio::kRegControl] & Gpio::kCtrlHostRequest) == 0; }
  bool strobe() const { return (regs_[Gpio::kRegControl] & Gpio::kCtrlStrobe) == 0; }
  bool hostDrivesData() const;
  uint8_t choose() { return healthy_ ? 0 : script_.next(); }
  void react(bool look);
  bool step(bool look);
  void beginByte();
  void acknowledge();
  void prepareReply();
  bool countDown(uint32_t* counter, bool look);

  sim::Clock& clock_;
  Bytes& script_;
  bool healthy_ = false;
  uint8_t regs_[Gpio::kBlockLength];
  uint8_t noise_ = 0;
  bool trdy_ = false;
  bool treq_ = false;
  State state_ = State::Idle;
  // Looks at the control register still to pass before a line changes;
  // kForever when it never does.
  static constexpr uint32_t kForever = UINT32_MAX;
  uint32_t trdyWait_ = 0;
  uint32_t ackWait_ = 0;
  uint32_t treqWait_ = 0;
  bool stuck_ = false;     // TRDY not released until the frame ends
  bool holdTreq_ = false;  // TREQ never released after the reply
  std::vector<uint8_t> rx_;
  std::vector<uint8_t> tx_;
  size_t txPos_ = 0;
  std::vector<std::vector<uint8_t>> posted_;
  uint64_t commands_ = 0;
};

}  // namespace fuzz
