// PCI configuration space of the board and HalGetBusData over it: which
// buses exist, what an empty slot reads, where a function is found by slot
// number, and the failures the HAL call can show the driver.
#include "Pci.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Machine.h"
#include "platform.h"
#include "sim/kernel.h"

namespace {

using board::PciBus;
using Config = std::array<uint8_t, PciBus::kConfigSize>;

uint16_t u16(const Config& c, uint32_t offset) {
  return static_cast<uint16_t>(c[offset] | c[offset + 1] << 8);
}

class PciTest : public ::testing::Test {
 protected:
  PciTest() {
    pci.defaultBoard();
    kernel.pci = &pci;
  }

  // A HalGetBusData read into a buffer prefilled with a marker.
  ULONG get(ULONG bus, ULONG slot, ULONG length = PciBus::kConfigSize) {
    config.fill(kMarker);
    return HalGetBusData(PCIConfiguration, bus, slot, config.data(), length);
  }

  static constexpr uint8_t kMarker = 0x5C;
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
  PciBus pci;
  Config config;
};

TEST_F(PciTest, DefaultBoardHasHostAndLpcBridgesOnBusZero) {
  ASSERT_EQ(get(0, PciBus::slotNumber(0, 0)), PciBus::kConfigSize);
  EXPECT_EQ(u16(config, PciBus::kRegVendorId), 0x8086);
  EXPECT_EQ(u16(config, PciBus::kRegDeviceId), 0x2500);
  EXPECT_EQ(config[PciBus::kRegBaseClass], 0x06);
  EXPECT_EQ(config[PciBus::kRegSubClass], 0x00);

  ASSERT_EQ(get(0, 31), PciBus::kConfigSize);
  EXPECT_EQ(u16(config, PciBus::kRegVendorId), 0x8086);
  EXPECT_EQ(u16(config, PciBus::kRegDeviceId), 0x2410);
  EXPECT_EQ(config[PciBus::kRegBaseClass], 0x06);
  EXPECT_EQ(config[PciBus::kRegSubClass], 0x01);
  EXPECT_EQ(config[PciBus::kRegHeaderType] & PciBus::kMultiFunction, 0) << "function 0 alone";

  EXPECT_EQ(get(1, 31), 0u) << "only bus 0";
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

TEST_F(PciTest, EmptySlotReadsAllOnes) {
  EXPECT_EQ(get(0, 5), PciBus::kEmptySlotCount);
  EXPECT_EQ(u16(config, PciBus::kRegVendorId), 0xFFFF);
  EXPECT_EQ(u16(config, PciBus::kRegDeviceId), 0xFFFF);
  EXPECT_EQ(config[PciBus::kConfigSize - 1], PciBus::kNoDevice);

  EXPECT_EQ(get(0, 5, 1), 1u);
  EXPECT_EQ(config[0], PciBus::kNoDevice);
  EXPECT_EQ(config[1], kMarker) << "nothing past the length";
}

TEST_F(PciTest, LengthLimitsTheCopy) {
  EXPECT_EQ(get(0, 31, 4), 4u);
  EXPECT_EQ(u16(config, PciBus::kRegDeviceId), 0x2410);
  EXPECT_EQ(config[4], kMarker);

  Config big[2];
  EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, 31, big, sizeof(big)), PciBus::kConfigSize);
}

TEST_F(PciTest, BusesThatExist) {
  pci.addFunction(2, 3, 0, 0x8086, 0x2411);
  EXPECT_EQ(get(2, 3), 0u) << "placed on a bus that does not exist";

  pci.setBusCount(3);
  EXPECT_EQ(get(1, 3), PciBus::kEmptySlotCount);
  EXPECT_EQ(get(2, 3), PciBus::kConfigSize);
  EXPECT_EQ(u16(config, PciBus::kRegDeviceId), 0x2411);
  EXPECT_EQ(get(3, 3), 0u);

  pci.setBuses({0, 2, 7});
  EXPECT_EQ(get(1, 3), 0u);
  EXPECT_EQ(config[0], kMarker) << "a missing bus copies nothing";
  EXPECT_EQ(get(2, 3), PciBus::kConfigSize);
  EXPECT_EQ(get(7, 3), PciBus::kEmptySlotCount);
  EXPECT_EQ(get(0, 31), PciBus::kConfigSize);
}

TEST_F(PciTest, FunctionIsFoundOnlyByItsSlotNumber) {
  pci.removeFunction(0, 31, 0);
  pci.addFunction(0, 31, 1, 0x8086, 0x2410, PciBus::kClassIsaBridge);
  constexpr ULONG kDeviceThenFunction1 = 31 | 1 << 5;

  EXPECT_EQ(get(0, 31), PciBus::kEmptySlotCount);
  EXPECT_EQ(get(0, 1 << 5), PciBus::kEmptySlotCount) << "device 0, function 1";
  EXPECT_EQ(get(0, 31 | 1 << 8), PciBus::kEmptySlotCount) << "function in reserved bits";
  EXPECT_EQ(get(0, kDeviceThenFunction1 | 0x100), PciBus::kEmptySlotCount) << "reserved bits set";
  ASSERT_EQ(get(0, kDeviceThenFunction1), PciBus::kConfigSize);
  EXPECT_EQ(u16(config, PciBus::kRegDeviceId), 0x2410);
  EXPECT_EQ(PciBus::slotNumber(31, 1), kDeviceThenFunction1);

  // Function 0 beside it reports a multi-function device; function 1 not.
  pci.addFunction(0, 31, 0, 0x8086, 0x2418);
  get(0, 31);
  EXPECT_EQ(config[PciBus::kRegHeaderType] & PciBus::kMultiFunction, PciBus::kMultiFunction);
  get(0, kDeviceThenFunction1);
  EXPECT_EQ(config[PciBus::kRegHeaderType] & PciBus::kMultiFunction, 0);
  pci.removeFunction(0, 31, 1);
  get(0, 31);
  EXPECT_EQ(config[PciBus::kRegHeaderType] & PciBus::kMultiFunction, 0);
}

TEST_F(PciTest, PlacementChecksItsNumbers) {
  EXPECT_FALSE(pci.addFunction(0, 32, 0, 0x8086, 0x2410));
  EXPECT_FALSE(pci.addFunction(0, 0, 8, 0x8086, 0x2410));
  EXPECT_FALSE(pci.addFunction(256, 0, 0, 0x8086, 0x2410));
  EXPECT_FALSE(pci.removeFunction(0, 4, 0));
  EXPECT_FALSE(pci.setConfigByte(0, 4, 0, 0x40, 1));
  EXPECT_FALSE(pci.setConfigByte(0, 31, 0, PciBus::kConfigSize, 1));

  EXPECT_TRUE(pci.setConfigByte(0, 31, 0, 0x40, 0xA5));
  get(0, 31);
  EXPECT_EQ(config[0x40], 0xA5);
}

TEST_F(PciTest, HalGetBusDataFailures) {
  kernel.failures.arm("HalGetBusData", 0, 2);
  EXPECT_EQ(get(0, 31), 0u);
  EXPECT_EQ(get(0, 31), 0u);
  EXPECT_EQ(config[0], kMarker);
  EXPECT_EQ(get(0, 31), PciBus::kConfigSize) << "only the armed calls fail";

  config.fill(kMarker);
  EXPECT_EQ(HalGetBusData(Cmos, 0, 31, config.data(), PciBus::kConfigSize), 0u);

  kernel.pci = nullptr;
  EXPECT_EQ(get(0, 31), 0u) << "a machine without PCI";
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

TEST_F(PciTest, HalGetBusDataAboveDispatchLevelIsAViolation) {
  kernel.irql.set(sim::Irql::kDispatch);
  EXPECT_EQ(get(0, 31), PciBus::kConfigSize);
  EXPECT_TRUE(kernel.verifier.violations().empty());

  kernel.irql.set(sim::Irql::kDispatch + 1);
  EXPECT_EQ(get(0, 31), 0u);
  ASSERT_EQ(kernel.verifier.violations().size(), 1u);
  EXPECT_EQ(kernel.verifier.violations()[0].rule, sim::Rule::IrqlNotLessOrEqual);
  EXPECT_NE(kernel.verifier.violations()[0].detail.find("HalGetBusData"), std::string::npos);
  kernel.irql.set(sim::Irql::kPassive);
}

// The reads of a scan as bus:device.function, the slot number taken apart
// as the HAL takes it; reserved bits, if any were set, after a '+'.
std::vector<std::string> scanned(const PciBus& pci) {
  std::vector<std::string> out;
  for (const PciBus::Read& r : pci.reads()) {
    char text[40];
    std::snprintf(text, sizeof(text), "%u:%02u.%u", r.bus, r.slot & PciBus::kSlotDeviceMask,
                  r.slot >> PciBus::kSlotFunctionShift & PciBus::kSlotFunctionMask);
    out.push_back(text);
    if ((r.slot & PciBus::kSlotReservedMask) != 0) out.back() += "+" + std::to_string(r.slot & ~0xFFu);
  }
  return out;
}

// The driver looks at function 0 of the 32 devices of each bus, and the
// first bus that is not there ends its scan. A supported bridge at device
// 0, function 1 (slot number 32) is not found; a scan that read one slot
// past device 31 would find it there.
TEST(PciScan, ReadsFunctionZeroOfEachDeviceUntilTheFirstMissingBus) {
  for (uint32_t function : {1u, 7u}) {
    std::vector<std::string> lines;
    scsim::Machine machine([&lines](const std::string& line) { lines.push_back(line); });
    PciBus& pci = machine.board.pci;
    pci.removeFunction(0, PciBus::kLpcBridgeDevice, 0);
    ASSERT_TRUE(
        pci.addFunction(0, 0, function, PciBus::kVendorIntel, PciBus::kLpcBridgeId, PciBus::kClassIsaBridge));
    EXPECT_EQ(machine.load(), STATUS_SUCCESS);
    std::vector<std::string> expected;
    for (uint32_t device = 0; device < PciBus::kDevicesPerBus; device++) {
      expected.push_back("0:" + std::string(device < 10 ? "0" : "") + std::to_string(device) + ".0");
    }
    expected.push_back("1:00.0");  // no bus 1: the end of the scan
    EXPECT_EQ(scanned(pci), expected) << "bridge at function " << function;
    EXPECT_EQ(machine.kernel.io.lookup(scsim::Machine::kLinkName), nullptr);
    int noBridge = 0;
    for (const auto& line : lines) noBridge += line.rfind("event: MSG_NO_LPC_CONTROLLER ", 0) == 0;
    EXPECT_EQ(noBridge, 1) << "bridge at function " << function;
    EXPECT_FALSE(machine.violated());
  }
}

}  // namespace
