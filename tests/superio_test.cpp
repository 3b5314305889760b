// The Super I/O chip's configuration ports, driven through the I/O bus as
// the driver drives them: the enter and exit keys, the GPIO logical device's
// registers, the decoding callback, and the record of accesses the closed
// ports ignore.
#include "SuperIo.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "sim/kernel.h"

namespace {

using board::SuperIo;
using Decode = std::pair<bool, uint16_t>;

constexpr uint16_t kBase = 0x0A00;

class SuperIoTest : public ::testing::Test {
 protected:
  SuperIoTest() : chip(kBase) {
    kernel.bus.attach(sim::Space::Port, Sio::kIndexPort, Sio::kPortCount, &chip);
    chip.onGpioDecode = [this](bool active, uint16_t base) { decodes.push_back({active, base}); };
  }
  ~SuperIoTest() override { kernel.bus.detach(&chip); }

  void index(uint8_t value) { kernel.bus.write(sim::Space::Port, Sio::kIndexPort, value); }
  uint8_t data() { return kernel.bus.read(sim::Space::Port, Sio::kDataPort); }
  void data(uint8_t value) { kernel.bus.write(sim::Space::Port, Sio::kDataPort, value); }
  uint8_t readReg(uint8_t reg) {
    index(reg);
    return data();
  }
  void writeReg(uint8_t reg, uint8_t value) {
    index(reg);
    data(value);
  }

  // What the driver does to find and switch on the GPIO block.
  uint16_t driverSequence() {
    index(Sio::kEnterKey);
    writeReg(Sio::kRegLdn, Sio::kLdnGpio);
    writeReg(Sio::kRegActivate, readReg(Sio::kRegActivate) | Sio::kActivateBit);
    uint16_t base = static_cast<uint16_t>(readReg(Sio::kRegBaseHigh) << 8 | readReg(Sio::kRegBaseLow));
    index(Sio::kExitKey);
    return base;
  }

  sim::Kernel kernel;

  sim::Kernel::Scope activeKernel{kernel};
  SuperIo chip;
  std::vector<Decode> decodes;
};

TEST_F(SuperIoTest, DriverSequenceFindsTheBaseAndStartsDecoding) {
  chip.setDeviceRegister(Sio::kLdnGpio, Sio::kRegActivate, 0x80);
  EXPECT_FALSE(chip.gpioActive());

  EXPECT_EQ(driverSequence(), kBase);

  EXPECT_EQ(decodes, (std::vector<Decode>{{true, kBase}}));
  EXPECT_TRUE(chip.gpioActive());
  EXPECT_EQ(chip.deviceRegister(Sio::kLdnGpio, Sio::kRegActivate), 0x81) << "other bits of 0x30 kept";
  EXPECT_EQ(chip.state(), SuperIo::State::Run);
  EXPECT_EQ(chip.enterKeyCount(), 1u);
  EXPECT_EQ(chip.strayCount(), 0u);

  // Running it again finds the same base and does not move the block.
  EXPECT_EQ(driverSequence(), kBase);
  EXPECT_EQ(decodes.size(), 1u);
}

TEST_F(SuperIoTest, BaseRegistersReportTheBoardBase) {
  struct Case {
    uint16_t base;
    uint8_t high;
    uint8_t low;
  } cases[] = {{0x0A00, 0x0A, 0x00}, {0x0000, 0x00, 0x00}, {0xFFFF, 0xFF, 0xFF}, {0x0E34, 0x0E, 0x34}};
  for (const auto& c : cases) {
    chip.setGpioBase(c.base);
    index(Sio::kEnterKey);
    writeReg(Sio::kRegLdn, Sio::kLdnGpio);
    EXPECT_EQ(readReg(Sio::kRegBaseHigh), c.high) << std::hex << c.base;
    EXPECT_EQ(readReg(Sio::kRegBaseLow), c.low) << std::hex << c.base;
    index(Sio::kExitKey);
  }
  EXPECT_TRUE(decodes.empty()) << "an inactive device decodes nowhere";
}

TEST_F(SuperIoTest, ClosedPortsIgnoreAndRecordEveryAccess) {
  // Before the enter key: nothing selects, nothing is written, reads float.
  index(Sio::kRegActivate);
  data(Sio::kActivateBit);
  EXPECT_EQ(data(), SuperIo::kFloating);
  EXPECT_EQ(kernel.bus.read(sim::Space::Port, Sio::kIndexPort), SuperIo::kFloating);
  index(Sio::kExitKey);
  EXPECT_FALSE(chip.inConfig());

  // After the exit key the ports are closed again.
  index(Sio::kEnterKey);
  writeReg(Sio::kRegLdn, Sio::kLdnGpio);
  index(Sio::kRegActivate);
  index(Sio::kExitKey);
  data(Sio::kActivateBit);
  EXPECT_EQ(data(), SuperIo::kFloating);

  EXPECT_FALSE(chip.gpioActive());
  EXPECT_TRUE(decodes.empty());
  const auto& s = chip.strayAccesses();
  ASSERT_EQ(chip.strayCount(), 7u);
  struct Expected {
    uint32_t port;
    bool write;
    uint8_t value;
  } expected[] = {
      {Sio::kIndexPort, true, Sio::kRegActivate},  {Sio::kDataPort, true, Sio::kActivateBit},
      {Sio::kDataPort, false, SuperIo::kFloating}, {Sio::kIndexPort, false, SuperIo::kFloating},
      {Sio::kIndexPort, true, Sio::kExitKey},      {Sio::kDataPort, true, Sio::kActivateBit},
      {Sio::kDataPort, false, SuperIo::kFloating},
  };
  for (size_t i = 0; i < s.size(); i++) {
    EXPECT_EQ(s[i].port, expected[i].port) << i;
    EXPECT_EQ(s[i].write, expected[i].write) << i;
    EXPECT_EQ(s[i].value, expected[i].value) << i;
  }
}

TEST_F(SuperIoTest, SecondEnterKeyKeepsThePortsOpen) {
  index(Sio::kEnterKey);
  index(Sio::kEnterKey);
  EXPECT_TRUE(chip.inConfig());
  EXPECT_EQ(chip.enterKeyCount(), 2u);
  EXPECT_EQ(kernel.bus.read(sim::Space::Port, Sio::kIndexPort), Sio::kEnterKey) << "taken as an index";

  writeReg(Sio::kRegLdn, Sio::kLdnGpio);
  EXPECT_EQ(readReg(Sio::kRegBaseHigh), 0x0A);
  index(Sio::kExitKey);
  EXPECT_FALSE(chip.inConfig());
  EXPECT_EQ(chip.strayCount(), 0u);
}

TEST_F(SuperIoTest, DecodingFollowsTheActivateBitAndProgrammedBase) {
  driverSequence();
  index(Sio::kEnterKey);
  writeReg(Sio::kRegLdn, Sio::kLdnGpio);
  writeReg(Sio::kRegBaseHigh, 0x0C);
  writeReg(Sio::kRegBaseLow, 0x40);
  writeReg(Sio::kRegActivate, 0x00);
  // A base programmed while inactive moves nothing until activation.
  writeReg(Sio::kRegBaseHigh, 0x0D);
  writeReg(Sio::kRegActivate, Sio::kActivateBit);
  index(Sio::kExitKey);

  EXPECT_EQ(decodes, (std::vector<Decode>{
                         {true, 0x0A00}, {true, 0x0C00}, {true, 0x0C40}, {false, 0x0C40}, {true, 0x0D40}}));
  EXPECT_EQ(chip.gpioBase(), 0x0D40);

  // Board setup moves an active block too.
  chip.setGpioBase(0x0290);
  EXPECT_EQ(decodes.back(), Decode(true, 0x0290));
}

TEST_F(SuperIoTest, LogicalDevicesKeepTheirOwnRegisters) {
  constexpr uint8_t kOtherLdn = 0x03;
  index(Sio::kEnterKey);
  writeReg(Sio::kRegLdn, kOtherLdn);
  writeReg(Sio::kRegActivate, Sio::kActivateBit);
  writeReg(Sio::kRegBaseHigh, 0x03);
  writeReg(0xF0, 0x5A);
  EXPECT_EQ(readReg(Sio::kRegLdn), kOtherLdn);
  EXPECT_EQ(readReg(0xF0), 0x5A);

  writeReg(Sio::kRegLdn, Sio::kLdnGpio);
  EXPECT_EQ(readReg(Sio::kRegBaseHigh), 0x0A);
  EXPECT_EQ(readReg(0xF0), 0x00);
  EXPECT_FALSE(chip.gpioActive());
  EXPECT_TRUE(decodes.empty());

  // Chip-level registers are shared, the id ones fixed.
  writeReg(SuperIo::kRegChipId, 0x00);
  EXPECT_EQ(readReg(SuperIo::kRegChipId), SuperIo::kChipId);
  EXPECT_EQ(readReg(SuperIo::kRegChipRevision), SuperIo::kChipRevision);
  writeReg(0x22, 0x11);
  writeReg(Sio::kRegLdn, kOtherLdn);
  EXPECT_EQ(readReg(0x22), 0x11);
  EXPECT_EQ(kernel.bus.read(sim::Space::Port, Sio::kIndexPort), 0x22) << "the index port reads back";
  index(Sio::kExitKey);
}

}  // namespace
