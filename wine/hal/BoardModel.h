// The board behind the HAL for Wine: the board model of board/ (PCI
// configuration space, the Super I/O chip, its GPIO block and the System
// Controller), compiled unchanged, on a clock of the HAL's own.
//
// Nothing here knows threads: the HAL holds its board lock around every
// call. The clock moves as in scsim: 1 us per port or register access,
// stalls by what they ask for, one 100 ns unit per look at the clock; it
// never reads the host's clock, so the conversation on the wires is the
// same whatever the machine's load.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace winehal {

class BoardModel {
 public:
  // `output` gets every channel line: "wire: ...", "display: ...",
  // "led: ...", "verifier: ...".
  explicit BoardModel(std::function<void(const std::string&)> output);
  ~BoardModel();
  BoardModel(const BoardModel&) = delete;
  BoardModel& operator=(const BoardModel&) = delete;

  // One board set-up line in scsim's words ("pci bridge none", "controller
  // slots 0x40 0x40", "controller silent", ...). False, with the reason,
  // for a line this board does not take.
  bool setUp(const std::string& line, std::string* error);

  // The clock interrupt interval, in 100 ns units: the kernel's
  // KeQueryTimeIncrement, which the interrupt time moves by.
  void setClockIncrement(uint32_t units);

  uint8_t portRead(uint16_t port);
  void portWrite(uint16_t port, uint8_t value);
  uint8_t memoryRead(uint64_t physical);
  void memoryWrite(uint64_t physical, uint8_t value);
  uint32_t pciRead(uint32_t bus, uint32_t slot, void* buffer, uint32_t length);
  // HalTranslateBusAddress for the board: `space` 1 I/O, 0 memory; false
  // for a bus (INTERFACE_TYPE and number) the board does not have.
  bool translate(uint32_t interfaceType, uint32_t bus, uint64_t busAddress, uint32_t* space,
                 uint64_t* translated);

  void stallUs(uint32_t microseconds);
  // A look at the interrupt time: it costs one unit of the clock.
  int64_t readInterruptTime();

  // Who drives the host lines, and whether a party still holds a lock; the
  // controller reports two conversations interleaved on the wires.
  void setParties(std::function<uint32_t()> party, std::function<bool(uint32_t)> holdsLock);

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace winehal
