// The GPIO runtime-register block of the Super I/O chip: 80 byte registers,
// of which the link uses the eight line-config registers, the data register
// and the control register. The controller sits on the far side of the data
// and handshake lines and sees nothing but their levels.
#pragma once

#include <cstdint>
#include <functional>

#include "Registers.h"
#include "sim/kernel.h"

namespace board {

class Controller;

class GpioBlock : public sim::IoDevice {
 public:
  // Every register reads 0xFF after power-on: handshake lines deasserted
  // (active low), data lines floating high.
  static constexpr uint8_t kPowerOnValue = 0xFF;

  explicit GpioBlock(const sim::Clock& clock);

  uint8_t read(uint32_t offset) override;
  void write(uint32_t offset, uint8_t value) override;

  void connect(Controller* controller) { controller_ = controller; }
  // Runs after every register access, once the controller has answered
  // it: the moments at which a wire can change level.
  void onAccess(std::function<void()> probe) { probe_ = std::move(probe); }

  // The host's lines as the controller sees them.
  bool hostRequest() const { return (regs_[Gpio::kRegControl] & Gpio::kCtrlHostRequest) == 0; }
  bool strobe() const { return (regs_[Gpio::kRegControl] & Gpio::kCtrlStrobe) == 0; }
  bool hostDrivesData() const;
  uint8_t dataLines() const;

  // The controller's lines.
  void driveTrdy(bool asserted) { trdy_ = asserted; }
  void driveTreq(bool asserted) { treq_ = asserted; }
  void driveData(uint8_t value) { controllerData_ = value; }
  bool trdy() const { return trdy_; }
  bool treq() const { return treq_; }

  // Register contents as last written by the host (tests look at these).
  uint8_t stored(uint32_t offset) const { return regs_[offset]; }

 private:
  const sim::Clock& clock_;
  uint8_t regs_[Gpio::kBlockLength];
  bool trdy_ = false;
  bool treq_ = false;
  uint8_t controllerData_ = kPowerOnValue;
  Controller* controller_ = nullptr;
  std::function<void()> probe_;
};

}  // namespace board
