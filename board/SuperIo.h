// The configuration interface of the LPC Super I/O chip at ports 0x2E/0x2F.
//
// The chip hears nothing on its configuration ports until the enter key is
// written to the index port; from then on the index port selects a register
// and the data port reaches it, until the exit key closes the ports again.
// Registers below 0x30 belong to the chip; from 0x30 up each logical device,
// chosen by the logical-device number register, has its own set. The GPIO
// logical device decodes its runtime-register block at its base address
// while its activate bit is set; the board learns where through a callback.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "Registers.h"
#include "sim/kernel.h"

namespace board {

class SuperIo : public sim::IoDevice {
 public:
  enum class State {
    Run,     // configuration ports closed: only the enter key is heard
    Config,  // ports open: the index port selects a register, the data port reaches it
  };

  // A configuration-port access made while the ports were closed. The chip
  // ignores it; the driver must never make one.
  struct StrayAccess {
    uint32_t port;
    bool write;
    uint8_t value;  // the value written, or the value the read returned
  };

  // Chip-level identification registers. The driver does not use them; they
  // answer as a real chip's do, with a fixed value.
  static constexpr uint8_t kRegChipId = 0x20;
  static constexpr uint8_t kRegChipRevision = 0x21;
  static constexpr uint8_t kChipId = 0x7A;
  static constexpr uint8_t kChipRevision = 0x01;

  // Registers from here up are per logical device.
  static constexpr uint8_t kFirstDeviceRegister = 0x30;
  // A closed data port is not driven: the LPC bus reads all ones.
  static constexpr uint8_t kFloating = 0xFF;

  // `gpioBase` is the base the GPIO logical device reports until it is
  // programmed otherwise. The device starts inactive.
  explicit SuperIo(uint16_t gpioBase);

  uint8_t read(uint32_t offset) override;
  void write(uint32_t offset, uint8_t value) override;

  // Board setup: the GPIO base as the firmware left it, and any register of
  // a logical device (for example other bits of the activate register). A
  // change that moves or switches the GPIO decoding calls onGpioDecode.
  void setGpioBase(uint16_t base);
  void setDeviceRegister(uint8_t ldn, uint8_t reg, uint8_t value);
  uint8_t deviceRegister(uint8_t ldn, uint8_t reg) const;

  uint16_t gpioBase() const;
  bool gpioActive() const;

  State state() const { return state_; }
  bool inConfig() const { return state_ == State::Config; }
  uint32_t enterKeyCount() const { return enterKeys_; }
  const std::vector<StrayAccess>& strayAccesses() const { return stray_; }
  size_t strayCount() const { return stray_.size(); }

  // Called when the GPIO block starts decoding at a base, moves while
  // decoding, or stops decoding (active false, with the base it left).
  std::function<void(bool active, uint16_t base)> onGpioDecode;

 private:
  using DeviceRegisters = std::array<uint8_t, 256>;

  // Stimuli: the four kinds of cycle on the configuration ports.
  void indexWrite(uint8_t value);
  uint8_t indexRead();
  void dataWrite(uint8_t value);
  uint8_t dataRead();

  uint8_t chipRegister(uint8_t reg) const;
  DeviceRegisters& device(uint8_t ldn);
  void stray(uint32_t port, bool write, uint8_t value);
  void updateGpioDecode();
  void notifyGpioDecode(bool active, uint16_t base);

  State state_ = State::Run;
  uint8_t index_ = 0;
  std::array<uint8_t, kFirstDeviceRegister> chip_{};
  std::map<uint8_t, DeviceRegisters> devices_;  // by logical-device number
  bool decoding_ = false;                       // the GPIO block answers at decodedBase_
  uint16_t decodedBase_ = 0;
  uint32_t enterKeys_ = 0;
  std::vector<StrayAccess> stray_;
};

}  // namespace board
