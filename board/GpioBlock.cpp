#include "GpioBlock.h"

#include <cstring>

#include "Controller.h"

namespace board {

GpioBlock::GpioBlock(const sim::Clock& clock) : clock_(clock) {
  std::memset(regs_, kPowerOnValue, sizeof(regs_));
}

bool GpioBlock::hostDrivesData() const {
  for (uint32_t line = 0; line < Gpio::kDataLineCount; line++) {
    if (regs_[Gpio::kRegLineConfig + line] != Gpio::kLineOutput) {
      return false;
    }
  }
  return true;
}

// Each data line carries the host's latch when the host drives it, the
// controller's output otherwise.
uint8_t GpioBlock::dataLines() const {
  uint8_t value = 0;
  for (uint32_t line = 0; line < Gpio::kDataLineCount; line++) {
    bool hostDriven = regs_[Gpio::kRegLineConfig + line] == Gpio::kLineOutput;
    uint8_t source = hostDriven ? regs_[Gpio::kRegData] : controllerData_;
    value |= source & (1u << line);
  }
  return value;
}

uint8_t GpioBlock::read(uint32_t offset) {
  if (controller_ != nullptr) {
    controller_->observe(clock_.now());
  }
  uint8_t value = regs_[offset];
  if (offset == Gpio::kRegControl) {
    value &= static_cast<uint8_t>(~Gpio::kCtrlControllerDriven);
    value |= trdy_ ? 0 : Gpio::kCtrlTrdy;
    value |= treq_ ? 0 : Gpio::kCtrlTreq;
  } else if (offset == Gpio::kRegData) {
    value = dataLines();
  }
  if (probe_) probe_();
  return value;
}

void GpioBlock::write(uint32_t offset, uint8_t value) {
  if (controller_ != nullptr) {
    controller_->observe(clock_.now());
  }
  const Controller::State before = controller_ != nullptr ? controller_->state() : Controller::State::Idle;
  // Writes to the TRDY and TREQ bits land in the latch only: the controller
  // drives those wires, and reads show its levels.
  regs_[offset] = value;
  if (controller_ != nullptr) {
    controller_->observe(clock_.now());
    controller_->hostWrote(before);
  }
  if (probe_) probe_();
}

}  // namespace board
