#include "Board.h"

#include <cstdio>

namespace board {

Board::Board(sim::Kernel& k) : kernel(k), gpio(k.clock), controller(gpio) {
  placeGpio(sim::Space::Port, kDefaultGpioBase);
}

Board::~Board() { kernel.bus.detach(&gpio); }

void Board::placeGpio(sim::Space space, uint32_t base) {
  kernel.bus.detach(&gpio);
  gpioSpace_ = space;
  gpioBase_ = base;
  kernel.bus.attach(space, base, Gpio::kBlockLength, &gpio);
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
