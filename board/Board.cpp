#include "Board.h"

#include <cstdio>

namespace board {

Board::Board(sim::Kernel& k)
    : kernel(k), superIo(static_cast<uint16_t>(kDefaultGpioBase)), gpio(k.clock), controller(gpio) {
  pci.defaultBoard();
  kernel.pci = &pci;
  // The model tells conversations apart by the simulated thread or
  // deferred call that drives the lines; with one thread there is one party.
  controller.setParty([this] { return kernel.scheduler.context(); });
  controller.setPartyActive([this](uint32_t party) { return kernel.scheduler.holdsSpinLock(party); });
  controller.events().interleaved = [this](const std::string& detail) {
    kernel.verifier.report(sim::Rule::InterleavedConversation, detail);
  };
  kernel.bus.attach(sim::Space::Port, Sio::kIndexPort, Sio::kPortCount, &superIo);
  // The firmware leaves the block decoding at its base; the chip moves it
  // whenever the driver (re)activates it.
  superIo.onGpioDecode = [this](bool, uint16_t) { placeGpio(); };
  placeGpio();

  kernel.translate = [this](uint64_t busAddress, uint32_t* space, uint64_t* translated) {
    if (gpioSpace_ == sim::Space::Memory && inGpioBlock(busAddress)) {
      *space = 0;
      *translated = kGpioPhysical + (busAddress - superIo.gpioBase());
    } else {
      *translated = busAddress;
    }
    return true;
  };
  kernel.resources.policy = [this](const sim::ResourceRange& range) {
    const Verdict& v = range.start == Sio::kIndexPort ? config_ : gpioVerdict_;
    return sim::ResourceVerdict{v.status, v.conflict};
  };
}

Board::~Board() {
  kernel.bus.detach(&gpio);
  kernel.bus.detach(&superIo);
  kernel.pci = nullptr;
  kernel.resources.policy = nullptr;
}

bool Board::inGpioBlock(uint64_t busAddress) const {
  return busAddress >= superIo.gpioBase() && busAddress - superIo.gpioBase() < Gpio::kBlockLength;
}

void Board::placeGpio() {
  kernel.bus.detach(&gpio);
  if (gpioSpace_ == sim::Space::Memory) {
    kernel.bus.attach(sim::Space::Memory, kGpioPhysical, Gpio::kBlockLength, &gpio);
  } else {
    kernel.bus.attach(sim::Space::Port, superIo.gpioBase(), Gpio::kBlockLength, &gpio);
  }
}

void Board::setGpioSpace(sim::Space space) {
  gpioSpace_ = space;
  placeGpio();
}

void Board::setConflict(Range range, bool conflict) {
  (range == Range::Config ? config_ : gpioVerdict_).conflict = conflict;
}

void Board::setReportFailure(Range range, int32_t status) {
  (range == Range::Config ? config_ : gpioVerdict_).status = status;
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  char text[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    snprintf(text, sizeof(text), "%02X", bytes[i]);
    if (i != 0) {
      out += ' ';
    }
    out += text;
  }
  return out;
}

}  // namespace board
