// GPIO register access and the byte handshake, against the controller model
// and against a bare register block that answers with chosen values.
#include <map>

#include "Registers.h"
#include "harness.h"

namespace {

using test::LinkTest;

constexpr uint32_t kBase = board::Board::kDefaultGpioBase;

// A register block that reads fixed values and records what is written.
class ScriptedBlock : public sim::IoDevice {
 public:
  uint8_t read(uint32_t offset) override { return values[offset]; }
  void write(uint32_t offset, uint8_t value) override { writes.push_back({offset, value}); }
  std::map<uint32_t, uint8_t> values;
  std::vector<std::pair<uint32_t, uint8_t>> writes;
};

class RegisterTest : public ::testing::Test {
 protected:
  RegisterTest() {
    std::memset(storage_, 0, sizeof(storage_));
    ext = reinterpret_cast<CDeviceExt*>(storage_);
    ext->PortBase = kBase;
    ext->AddressSpace = 1;
    kernel.bus.attach(sim::Space::Port, kBase, Gpio::kBlockLength, &block);
  }
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
  ScriptedBlock block;
  CDeviceExt* ext;

 private:
  alignas(16) unsigned char storage_[sizeof(CDeviceExt)];
};

TEST_F(RegisterTest, HostLinesChangeOnlyTheirOwnBit) {
  for (uint8_t read : {0x00, 0xFF, 0xA5, 0x5A, 0x99}) {
    block.values[Gpio::kRegControl] = read;
    block.writes.clear();
    ext->setHostRequest(true);
    ext->setHostRequest(false);
    ext->setStrobe(true);
    ext->setStrobe(false);
    ASSERT_EQ(block.writes.size(), 4u);
    EXPECT_EQ(block.writes[0].second, read & ~0x40);
    EXPECT_EQ(block.writes[1].second, read | 0x40);
    EXPECT_EQ(block.writes[2].second, read & ~0x02);
    EXPECT_EQ(block.writes[3].second, read | 0x02);
    for (const auto& w : block.writes) EXPECT_EQ(w.first, Gpio::kRegControl);
  }
}

TEST_F(RegisterTest, LineSensesAreActiveLowWhateverTheOtherBits) {
  block.values[Gpio::kRegControl] = 0x00;
  EXPECT_TRUE(ext->isTRDY());
  EXPECT_TRUE(ext->isTREQ());
  block.values[Gpio::kRegControl] = 0xFF;
  EXPECT_FALSE(ext->isTRDY());
  EXPECT_FALSE(ext->isTREQ());
  block.values[Gpio::kRegControl] = static_cast<uint8_t>(~Gpio::kCtrlTrdy);
  EXPECT_TRUE(ext->isTRDY());
  EXPECT_FALSE(ext->isTREQ());
  block.values[Gpio::kRegControl] = static_cast<uint8_t>(~Gpio::kCtrlTreq);
  EXPECT_FALSE(ext->isTRDY());
  EXPECT_TRUE(ext->isTREQ());
}

TEST_F(RegisterTest, DataDirectionWritesAllEightLinesAscendingEveryTime) {
  for (bool output : {true, true, false, false}) {
    block.writes.clear();
    ext->setDataDirection(output);
    ASSERT_EQ(block.writes.size(), 8u);
    for (uint32_t i = 0; i < 8; i++) {
      EXPECT_EQ(block.writes[i].first, 0x23 + i);
      EXPECT_EQ(block.writes[i].second, output ? 0x80 : 0x01);
    }
  }
}

TEST_F(RegisterTest, MemorySpaceGoesThroughTheMappedView) {
  ScriptedBlock memory;
  const uint32_t physical = 0xFED00000;
  kernel.bus.attach(sim::Space::Memory, physical, Gpio::kBlockLength, &memory);
  ext->PortBase = kernel.bus.map(physical, Gpio::kBlockLength);
  ext->AddressSpace = 0;
  memory.values[Gpio::kRegData] = 0x5C;
  std::vector<sim::BusAccess> seen;
  kernel.bus.onAccess([&](const sim::BusAccess& a) { seen.push_back(a); });

  EXPECT_EQ(ext->readData(), 0x5C);
  ext->writeData(0x33);
  ASSERT_EQ(memory.writes.size(), 1u);
  EXPECT_EQ(memory.writes[0], std::make_pair(Gpio::kRegData, uint8_t{0x33}));
  EXPECT_TRUE(block.writes.empty());
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& a : seen) {
    EXPECT_EQ(a.space, sim::Space::Memory);
    EXPECT_EQ(a.address, physical + Gpio::kRegData);
  }
  // Any other value than 1 means memory space as well.
  ext->AddressSpace = 2;
  EXPECT_EQ(ext->readData(), 0x5C);
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

TEST_F(LinkTest, WriteByteTimesOutWhenTrdyNeverComes) {
  board.controller.setSilent(true);
  EXPECT_EQ(ext->writeByte(0x42), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::writeByte() ***** ERROR Device timeout [TRDY not asserted]; abort"));
  // 41 samples of the control register, 40 stalls of 5 us between them.
  EXPECT_EQ(accessesTo(Gpio::kRegControl, false).size(), 41u);
  EXPECT_EQ(elapsedUs(), 40 * 5 + 41 * 1);
  for (const auto& a : accesses) EXPECT_FALSE(a.write);
}

TEST_F(LinkTest, ReadByteTimesOutWhenTrdyNeverComesAndKeepsTheValue) {
  board.controller.setSilent(true);
  UCHAR value = 0x77;
  EXPECT_EQ(ext->readByte(&value), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(value, 0x77);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readByte() ***** ERROR Device timeout [TRDY not asserted]; abort"));
}

TEST_F(LinkTest, StuckTrdyLeavesTheStrobeAsserted) {
  board.controller.faults().stuckTrdyArmed = true;
  ext->setHostRequest(true);
  EXPECT_EQ(ext->writeByte(0x03), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::writeByte() ***** ERROR Device timeout [TRDY still asserted]; abort"));
  EXPECT_EQ(board.gpio.stored(Gpio::kRegControl) & Gpio::kCtrlStrobe, 0);
  EXPECT_EQ(board.gpio.stored(Gpio::kRegData), 0x03);
}

TEST_F(LinkTest, ByteHandshakeWithAPromptControllerTakesTheLeastAccesses) {
  ext->setHostRequest(true);
  accesses.clear();
  EXPECT_EQ(ext->writeByte(0x03), STATUS_SUCCESS);
  // TRDY seen, 8 line configs, data, strobe on (read+write), TRDY gone,
  // strobe off (read+write).
  EXPECT_EQ(accesses.size(), 15u);
  EXPECT_NE(board.gpio.stored(Gpio::kRegControl) & Gpio::kCtrlStrobe, 0);
  EXPECT_EQ(board.controller.state(), board::Controller::State::RxReady);
}

TEST_F(LinkTest, ReadByteTimesOutWhenTrdyStaysAsserted) {
  board.controller.postUnsolicited(0x11, {0x22});
  ASSERT_TRUE(ext->isTREQ());
  board.controller.faults().stuckTrdyArmed = true;
  ext->setDataDirection(false);
  ext->setHostRequest(true);
  UCHAR value = 0;
  EXPECT_EQ(ext->readByte(&value), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(value, 5);  // the length byte was read before the strobe
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readByte() ***** ERROR Device timeout [TRDY still asserted]; abort"));
  EXPECT_EQ(board.gpio.stored(Gpio::kRegControl) & Gpio::kCtrlStrobe, 0);
}

TEST_F(LinkTest, TraceLevelGatesTheErrorLines) {
  board.controller.setSilent(true);
  g_DebugLevel = 0;
  EXPECT_EQ(ext->writeByte(0x42), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(dbg().empty());
  g_DebugLevel = 1;
  EXPECT_EQ(ext->writeByte(0x42), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(dbg().size(), 1u);
}

}  // namespace
