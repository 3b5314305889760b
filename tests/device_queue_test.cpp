// Requests that wait in the device queue behind one being served, as they do
// when other processors send them while a conversation runs: the start-I/O
// routine takes them one after another without nesting, and connect
// requests share the one registry copy of the switch values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Machine.h"
#include "scioctl.h"

namespace {

class DeviceQueueTest : public ::testing::Test {
 protected:
  DeviceQueueTest() : machine([this](const std::string& line) { lines.push_back(line); }) {}

  void load() {
    ASSERT_EQ(machine.load(), STATUS_SUCCESS);
    device = machine.kernel.io.lookup(scsim::Machine::kLinkName);
    ASSERT_NE(device, nullptr);
  }
  // The device looks busy with a request served elsewhere: what is sent now
  // waits in the queue.
  void holdQueue() { device->CurrentIrp = &elsewhere; }
  // The request served elsewhere ends: its start-I/O routine starts the
  // next packet at DISPATCH_LEVEL.
  void releaseQueue() {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    IoStartNextPacket(device, FALSE);
    KfLowerIrql(old);
  }
  void send(ULONG code, const std::vector<uint8_t>& record = {}) {
    uint32_t length = static_cast<uint32_t>(record.size());
    machine.ioctl(code, record, length, length, !record.empty(),
                  [this](const scsim::Machine::IoctlResult& r) { results.push_back(r); });
  }
  static std::vector<uint8_t> switchRecord(uint8_t source) {
    return {source, 0x11, 0x12, 0x13, 0, 0, 0, 0, 0, 0, 0, 0};
  }
  std::vector<std::string> wireFrom(size_t first) const {
    std::vector<std::string> out;
    for (size_t i = first; i < lines.size(); i++) {
      if (lines[i].rfind("wire: host> ", 0) == 0) out.push_back(lines[i].substr(12));
    }
    return out;
  }

  scsim::Machine machine;
  std::vector<std::string> lines;
  std::vector<scsim::Machine::IoctlResult> results;
  PDEVICE_OBJECT device = nullptr;
  IRP elsewhere = {};
};

TEST_F(DeviceQueueTest, HundredsOfQueuedRequestsRunOneFrameDeep) {
  load();
  EXPECT_TRUE(machine.kernel.io.startIoDeferred(device));
  holdQueue();
  constexpr size_t kQueued = 300;
  for (size_t i = 0; i < kQueued; i++) send(IOCTL_SC_STATUS_LED_OFF);
  EXPECT_EQ(machine.kernel.io.queued(device), kQueued);
  EXPECT_TRUE(results.empty());
  releaseQueue();
  ASSERT_EQ(results.size(), kQueued);
  for (const auto& r : results) EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(machine.kernel.io.queued(device), 0u);
  EXPECT_EQ(device->CurrentIrp, nullptr);
  // Each run of the start-I/O routine returned before the next began.
  EXPECT_EQ(machine.kernel.io.deepestStartIo(), 1);
  EXPECT_FALSE(machine.violated());
}

// A connect request with no known source resets the switch values and
// clears the registry copy; one queued behind it, whose registry read came
// before that, finds the copy cleared and fails without a frame.
TEST_F(DeviceQueueTest, QueuedConnectRequestsShareTheRegistryCopy) {
  load();
  send(IOCTL_SC_SWITCH_DISCONNECT, switchRecord(0));
  ASSERT_EQ(results.size(), 1u);
  ASSERT_EQ(results[0].status, STATUS_SUCCESS);
  const std::string& key = scsim::Machine::kParametersKey;
  machine.kernel.registry.setDword(key, "CardID", 0x21);
  machine.kernel.registry.setDword(key, "SignallingType", 1);
  machine.kernel.registry.setDword(key, "TNMappingType", 2);
  // Every attempt of the first connect goes unanswered: it fails and the
  // Cardlan stays disconnected.
  machine.board.controller.faults().noReplyCount = 3;
  machine.board.controller.faults().noReplyCode = 0x08;
  holdQueue();
  send(IOCTL_SC_SWITCH_CONNECT, switchRecord(7));
  send(IOCTL_SC_SWITCH_CONNECT, switchRecord(CS_REGISTRY));
  size_t before = lines.size();
  releaseQueue();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[1].status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(results[2].status, STATUS_UNSUCCESSFUL);
  // Three unanswered attempts with the defaults 70, 3, 3; none after them.
  EXPECT_EQ(wireFrom(before), std::vector<std::string>(3, "06 08 46 03 03 A6"));
  // Read again on arrival, the copy serves the next connect request.
  send(IOCTL_SC_SWITCH_CONNECT, switchRecord(CS_REGISTRY));
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[3].status, STATUS_SUCCESS);
  EXPECT_EQ(results[3].output, (std::vector<uint8_t>{0, 0x21, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(machine.violated());
}

}  // namespace
