// The simulated board: the kernel's buses with the GPIO block and the
// System Controller wired to them, and the observer of what the controller
// shows. Later parts of the machine (PCI bus, Super I/O chip) join here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller.h"
#include "GpioBlock.h"
#include "sim/kernel.h"

namespace board {

class Board {
 public:
  // Where the GPIO block decodes by default: an I/O port base, as the
  // Super I/O chip of the reference board reports it.
  static constexpr uint32_t kDefaultGpioBase = 0x0A00;

  explicit Board(sim::Kernel& kernel);
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // Places the GPIO block in I/O port space or at a physical address.
  void placeGpio(sim::Space space, uint32_t base);

  sim::Kernel& kernel;
  GpioBlock gpio;
  Controller controller;

 private:
  sim::Space gpioSpace_ = sim::Space::Port;
  uint32_t gpioBase_ = 0;
};

// "03 03 FA": bytes in upper-case hex, one blank apart.
std::string hexBytes(const std::vector<uint8_t>& bytes);

}  // namespace board
