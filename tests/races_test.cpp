// What one processor can show of the driver's multiprocessor races: requests
// that wait in the device queue behind one being served, as they do when
// other processors send them while a conversation runs, and a poll that is
// queued while unload stops the device.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "DeviceExt.h"
#include "Machine.h"
#include "scioctl.h"

namespace {

class RaceTest : public ::testing::Test {
 protected:
  RaceTest()
      : machine([this](const std::string& line) {
          lines.push_back(line);
          if (onLine) onLine(line);
        }) {}

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
  std::function<void(const std::string&)> onLine;
  PDEVICE_OBJECT device = nullptr;
  IRP elsewhere = {};
};

TEST_F(RaceTest, HundredsOfQueuedRequestsRunOneFrameDeep) {
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
TEST_F(RaceTest, QueuedConnectRequestsShareTheRegistryCopy) {
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

// A poll queued at the very end of unload's stop (its timer expired on
// another processor just before the cancel, and the call left the queue
// there only now) runs before the device and its extension are deleted: it
// finds the extension stopped and leaves the link alone, and nothing of the
// driver is left queued after unload.
TEST_F(RaceTest, UnloadWaitsForAPollStillQueued) {
  machine.kernel.registry.setDword(scsim::Machine::kParametersKey, "DebugLevel", 5);
  load();
  CDeviceExt* ext = static_cast<CDeviceExt*>(device->DeviceExtension);
  onLine = [this, ext](const std::string& line) {
    if (line == "dbg: TAMRIXSC: CDeviceExt::releaseInterface() Exit") {
      machine.kernel.dispatcher.queueDpc(&ext->PollDpc);
    }
  };
  uint64_t ran = machine.kernel.dispatcher.dpcsRun();
  size_t before = lines.size();
  ASSERT_TRUE(machine.unload());
  EXPECT_EQ(machine.kernel.dispatcher.dpcsRun(), ran + 1);
  EXPECT_EQ(wireFrom(before), (std::vector<std::string>{"08 02 55 4E 4C 44 00 C3"}));
  EXPECT_FALSE(machine.violated());
}

}  // namespace
