#include "SuperIo.h"

namespace board {

SuperIo::SuperIo(uint16_t gpioBase) { setGpioBase(gpioBase); }

uint8_t SuperIo::read(uint32_t offset) {
  return offset == Sio::kDataPort - Sio::kIndexPort ? dataRead() : indexRead();
}

void SuperIo::write(uint32_t offset, uint8_t value) {
  if (offset == Sio::kDataPort - Sio::kIndexPort) {
    dataWrite(value);
  } else {
    indexWrite(value);
  }
}

// In the configuration state the enter key is just another index: it selects
// register 0x55, which nothing uses, and the ports stay open.
void SuperIo::indexWrite(uint8_t value) {
  if (value == Sio::kEnterKey) {
    enterKeys_++;
  }
  switch (state_) {
    case State::Run:
      if (value == Sio::kEnterKey) {
        state_ = State::Config;
        index_ = 0;
      } else {
        stray(Sio::kIndexPort, true, value);
      }
      return;
    case State::Config:
      if (value == Sio::kExitKey) {
        state_ = State::Run;
      } else {
        index_ = value;
      }
      return;
  }
}

uint8_t SuperIo::indexRead() {
  if (state_ == State::Run) {
    stray(Sio::kIndexPort, false, kFloating);
    return kFloating;
  }
  return index_;
}

void SuperIo::dataWrite(uint8_t value) {
  if (state_ == State::Run) {
    stray(Sio::kDataPort, true, value);
    return;
  }
  if (index_ >= kFirstDeviceRegister) {
    setDeviceRegister(chip_[Sio::kRegLdn], index_, value);
    return;
  }
  if (index_ == kRegChipId || index_ == kRegChipRevision) {
    return;
  }
  chip_[index_] = value;
}

uint8_t SuperIo::dataRead() {
  if (state_ == State::Run) {
    stray(Sio::kDataPort, false, kFloating);
    return kFloating;
  }
  if (index_ >= kFirstDeviceRegister) {
    return deviceRegister(chip_[Sio::kRegLdn], index_);
  }
  return chipRegister(index_);
}

uint8_t SuperIo::chipRegister(uint8_t reg) const {
  switch (reg) {
    case kRegChipId: return kChipId;
    case kRegChipRevision: return kChipRevision;
    default: return chip_[reg];
  }
}

SuperIo::DeviceRegisters& SuperIo::device(uint8_t ldn) {
  auto found = devices_.find(ldn);
  if (found == devices_.end()) {
    found = devices_.emplace(ldn, DeviceRegisters{}).first;
  }
  return found->second;
}

void SuperIo::setGpioBase(uint16_t base) {
  DeviceRegisters& gpio = device(Sio::kLdnGpio);
  gpio[Sio::kRegBaseHigh] = static_cast<uint8_t>(base >> 8);
  gpio[Sio::kRegBaseLow] = static_cast<uint8_t>(base);
  updateGpioDecode();
}

void SuperIo::setDeviceRegister(uint8_t ldn, uint8_t reg, uint8_t value) {
  device(ldn)[reg] = value;
  if (ldn == Sio::kLdnGpio) {
    updateGpioDecode();
  }
}

uint8_t SuperIo::deviceRegister(uint8_t ldn, uint8_t reg) const {
  auto found = devices_.find(ldn);
  return found == devices_.end() ? 0 : found->second[reg];
}

uint16_t SuperIo::gpioBase() const {
  return static_cast<uint16_t>(deviceRegister(Sio::kLdnGpio, Sio::kRegBaseHigh) << 8 |
                               deviceRegister(Sio::kLdnGpio, Sio::kRegBaseLow));
}

bool SuperIo::gpioActive() const {
  return (deviceRegister(Sio::kLdnGpio, Sio::kRegActivate) & Sio::kActivateBit) != 0;
}

void SuperIo::stray(uint32_t port, bool write, uint8_t value) { stray_.push_back({port, write, value}); }

// The block follows the registers at once: each byte of a base programmed
// while the device is active moves the decoding, as on the chip.
void SuperIo::updateGpioDecode() {
  bool active = gpioActive();
  uint16_t base = gpioBase();
  if (!active) {
    if (decoding_) {
      decoding_ = false;
      notifyGpioDecode(false, base);
    }
    return;
  }
  if (decoding_ && base == decodedBase_) {
    return;
  }
  decoding_ = true;
  decodedBase_ = base;
  notifyGpioDecode(true, base);
}

void SuperIo::notifyGpioDecode(bool active, uint16_t base) {
  if (onGpioDecode) {
    onGpioDecode(active, base);
  }
}

}  // namespace board
