#include "Pci.h"

#include <algorithm>
#include <cstring>

namespace board {

PciBus::PciBus() { setBusCount(1); }

void PciBus::defaultBoard() {
  functions_.clear();
  setBusCount(1);
  addFunction(0, 0, 0, kVendorIntel, kHostBridgeId, kClassHostBridge);
  addFunction(0, kLpcBridgeDevice, 0, kVendorIntel, kLpcBridgeId, kClassIsaBridge);
}

void PciBus::setBusCount(uint32_t count) {
  buses_.clear();
  for (uint32_t bus = 0; bus < count && bus < kMaxBuses; bus++) {
    buses_.insert(bus);
  }
}

void PciBus::setBuses(const std::vector<uint32_t>& buses) {
  buses_.clear();
  for (uint32_t bus : buses) {
    if (bus < kMaxBuses) {
      buses_.insert(bus);
    }
  }
}

bool PciBus::inRange(uint32_t bus, uint32_t device, uint32_t function) {
  return bus < kMaxBuses && device < kDevicesPerBus && function < kFunctionsPerDevice;
}

bool PciBus::addFunction(uint32_t bus, uint32_t device, uint32_t function, uint16_t vendor, uint16_t deviceId,
                         ClassCode classCode, uint8_t revision) {
  if (!inRange(bus, device, function)) {
    return false;
  }
  Config config{};
  config[kRegVendorId] = static_cast<uint8_t>(vendor);
  config[kRegVendorId + 1] = static_cast<uint8_t>(vendor >> 8);
  config[kRegDeviceId] = static_cast<uint8_t>(deviceId);
  config[kRegDeviceId + 1] = static_cast<uint8_t>(deviceId >> 8);
  config[kRegRevision] = revision;
  config[kRegProgIf] = classCode.progIf;
  config[kRegSubClass] = classCode.sub;
  config[kRegBaseClass] = classCode.base;
  functions_[Key{bus, device, function}] = config;
  return true;
}

bool PciBus::removeFunction(uint32_t bus, uint32_t device, uint32_t function) {
  return functions_.erase(Key{bus, device, function}) != 0;
}

bool PciBus::hasFunction(uint32_t bus, uint32_t device, uint32_t function) const {
  return functions_.count(Key{bus, device, function}) != 0;
}

bool PciBus::setConfigByte(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset, uint8_t value) {
  auto found = functions_.find(Key{bus, device, function});
  if (found == functions_.end() || offset >= kConfigSize) {
    return false;
  }
  found->second[offset] = value;
  return true;
}

// The multi-function bit of function 0 is worked out at each read from what
// is placed beside it, so that placing or removing a function never leaves
// it stale.
PciBus::Config PciBus::image(uint32_t bus, uint32_t device, uint32_t function) const {
  Config config = functions_.at(Key{bus, device, function});
  if (function != 0) {
    return config;
  }
  for (uint32_t other = 1; other < kFunctionsPerDevice; other++) {
    if (hasFunction(bus, device, other)) {
      config[kRegHeaderType] |= kMultiFunction;
    }
  }
  return config;
}

uint32_t PciBus::read(uint32_t bus, uint32_t slot, void* buffer, uint32_t length) {
  reads_.push_back({bus, slot});
  if (!hasBus(bus)) {
    return 0;
  }
  uint32_t count = std::min(length, kConfigSize);
  uint32_t device = slot & kSlotDeviceMask;
  uint32_t function = slot >> kSlotFunctionShift & kSlotFunctionMask;
  if ((slot & kSlotReservedMask) != 0 || !hasFunction(bus, device, function)) {
    std::memset(buffer, kNoDevice, count);
    return std::min(count, kEmptySlotCount);
  }
  Config config = image(bus, device, function);
  std::memcpy(buffer, config.data(), count);
  return count;
}

}  // namespace board
