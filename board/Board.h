// The simulated board: the kernel's buses with the PCI configuration space,
// the Super I/O chip, its GPIO block and the System Controller behind it,
// and the board's answers to address translation and resource reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller.h"
#include "GpioBlock.h"
#include "Pci.h"
#include "SuperIo.h"
#include "sim/kernel.h"

namespace board {

class Board {
 public:
  // Where the GPIO block decodes by default: an I/O port base, as the
  // Super I/O chip of the reference board reports it.
  static constexpr uint32_t kDefaultGpioBase = 0x0A00;
  // Where the chipset places the block when it decodes in memory space.
  static constexpr uint32_t kGpioPhysical = 0xFED0A000;

  enum class Range { Config, Gpio };

  explicit Board(sim::Kernel& kernel);
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // Address translation reports the GPIO block in memory space (or I/O).
  void setGpioSpace(sim::Space space);
  sim::Space gpioSpace() const { return gpioSpace_; }
  // The next resource reports for a range conflict with another driver, or
  // fail with a status; both stay until cleared.
  void setConflict(Range range, bool conflict);
  void setReportFailure(Range range, int32_t status);

  sim::Kernel& kernel;
  PciBus pci;
  SuperIo superIo;
  GpioBlock gpio;
  Controller controller;

 private:
  struct Verdict {
    int32_t status = 0;
    bool conflict = false;
  };
  void placeGpio();
  bool inGpioBlock(uint64_t busAddress) const;

  sim::Space gpioSpace_ = sim::Space::Port;
  Verdict config_;
  Verdict gpioVerdict_;
};

// "03 03 FA": bytes in upper-case hex, one blank apart.
std::string hexBytes(const std::vector<uint8_t>& bytes);

}  // namespace board
