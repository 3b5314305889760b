// The board's PCI buses as configuration space: 256 bytes for each function
// of each device on each bus that exists.
//
// A read names its function by a slot number in the HAL's layout: device in
// bits 0-4, function in bits 5-7. Bits above those are reserved and name no
// slot a device can sit in, so a slot number with any of them set reads as
// an empty slot. A function may be placed on a bus that does not exist; it
// stays invisible until the bus does.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "sim/kernel.h"

namespace board {

class PciBus : public sim::PciConfigSpace {
 public:
  static constexpr uint32_t kMaxBuses = 256;
  static constexpr uint32_t kDevicesPerBus = 32;
  static constexpr uint32_t kFunctionsPerDevice = 8;
  static constexpr uint32_t kConfigSize = 256;

  // Slot-number layout, as PCI_SLOT_NUMBER packs it.
  static constexpr uint32_t kSlotDeviceMask = 0x1F;
  static constexpr uint32_t kSlotFunctionShift = 5;
  static constexpr uint32_t kSlotFunctionMask = 0x07;
  static constexpr uint32_t kSlotReservedMask = ~0xFFu;

  // Offsets in the common configuration header.
  static constexpr uint32_t kRegVendorId = 0x00;  // u16, 0xFFFF when nothing answers
  static constexpr uint32_t kRegDeviceId = 0x02;  // u16
  static constexpr uint32_t kRegRevision = 0x08;
  static constexpr uint32_t kRegProgIf = 0x09;
  static constexpr uint32_t kRegSubClass = 0x0A;
  static constexpr uint32_t kRegBaseClass = 0x0B;
  static constexpr uint32_t kRegHeaderType = 0x0E;  // bit 7: the device has more functions
  static constexpr uint8_t kMultiFunction = 0x80;

  // A read of a slot where no function answers ends in a master abort, which
  // returns all ones; the HAL reports such a slot with a count of 2, the size
  // of the vendor id it read.
  static constexpr uint8_t kNoDevice = 0xFF;
  static constexpr uint32_t kEmptySlotCount = 2;

  struct ClassCode {
    uint8_t base;
    uint8_t sub;
    uint8_t progIf;
  };
  static constexpr ClassCode kClassUnassigned = {0xFF, 0x00, 0x00};
  static constexpr ClassCode kClassHostBridge = {0x06, 0x00, 0x00};
  static constexpr ClassCode kClassIsaBridge = {0x06, 0x01, 0x00};

  // The reference board: an Intel host bridge in slot 0 and the LPC bridge,
  // function 0 of device 31, on bus 0.
  static constexpr uint16_t kVendorIntel = 0x8086;
  static constexpr uint16_t kHostBridgeId = 0x2500;
  static constexpr uint16_t kLpcBridgeId = 0x2410;
  static constexpr uint32_t kLpcBridgeDevice = 31;

  // Bus 0 exists, with nothing on it.
  PciBus();

  // Clears everything and lays out the reference board.
  void defaultBoard();

  // Buses 0 to count-1 exist / exactly the listed buses exist.
  void setBusCount(uint32_t count);
  void setBuses(const std::vector<uint32_t>& buses);
  bool hasBus(uint32_t bus) const override { return buses_.count(bus) != 0; }

  // Places a function with its ids, class code and revision; a function
  // already there is replaced. Out-of-range numbers place nothing and return
  // false.
  bool addFunction(uint32_t bus, uint32_t device, uint32_t function, uint16_t vendor, uint16_t deviceId,
                   ClassCode classCode = kClassUnassigned, uint8_t revision = 0);
  bool removeFunction(uint32_t bus, uint32_t device, uint32_t function);
  bool hasFunction(uint32_t bus, uint32_t device, uint32_t function) const;
  // Any other byte of a placed function's header.
  bool setConfigByte(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset, uint8_t value);

  static uint32_t slotNumber(uint32_t device, uint32_t function) {
    return (device & kSlotDeviceMask) | (function & kSlotFunctionMask) << kSlotFunctionShift;
  }

  uint32_t read(uint32_t bus, uint32_t slot, void* buffer, uint32_t length) override;

  // Every read made, with the bus and the slot number as given, for tests
  // that follow the driver's scan.
  struct Read {
    uint32_t bus;
    uint32_t slot;
  };
  const std::vector<Read>& reads() const { return reads_; }

 private:
  using Key = std::tuple<uint32_t, uint32_t, uint32_t>;  // bus, device, function
  using Config = std::array<uint8_t, kConfigSize>;

  static bool inRange(uint32_t bus, uint32_t device, uint32_t function);
  Config image(uint32_t bus, uint32_t device, uint32_t function) const;

  std::set<uint32_t> buses_;
  std::map<Key, Config> functions_;
  std::vector<Read> reads_;
};

}  // namespace board
