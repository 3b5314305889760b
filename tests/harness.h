// Test bench for the controller link: a simulated kernel, the board with its
// controller model, and a device extension record reaching the GPIO block
// the way the claimed interface would.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Board.h"
#include "DeviceExt.h"
#include "sim/kernel.h"
#include "tamrixsc.h"

namespace test {

class LinkTest : public ::testing::Test {
 protected:
  LinkTest() : board(kernel) {
    std::memset(storage_, 0, sizeof(storage_));
    ext = reinterpret_cast<CDeviceExt*>(storage_);
    new (&ext->Message) CMessage(ext);
    ext->PortBase = board::Board::kDefaultGpioBase;
    ext->AddressSpace = 1;
    ext->CmdReplyTimer = 5000;
    g_DebugLevel = 5;
    board.controller.events().frame = [this](bool fromHost, const std::vector<uint8_t>& bytes,
                                             bool complete) {
      wire.push_back(std::string(fromHost ? "host> " : "ctl> ") + board::hexBytes(bytes) +
                     (complete ? "" : " ..."));
    };
    kernel.bus.onAccess([this](const sim::BusAccess& a) { accesses.push_back(a); });
  }
  ~LinkTest() override { g_DebugLevel = 2; }

  // Trace lines as the debugger shows them, prefix included.
  const std::vector<std::string>& dbg() const { return kernel.debugger.lines(); }
  bool traced(const std::string& line) const {
    for (const auto& l : dbg()) {
      if (l == line) return true;
    }
    return false;
  }
  int64_t elapsedUs() const { return kernel.clock.now() / sim::kTicksPerUs; }

  // Accesses to one register of the block.
  std::vector<sim::BusAccess> accessesTo(uint32_t offset, bool write) const {
    std::vector<sim::BusAccess> out;
    for (const auto& a : accesses) {
      if (a.address == ext->PortBase + offset && a.write == write) out.push_back(a);
    }
    return out;
  }

  sim::Kernel kernel;
  board::Board board;
  CDeviceExt* ext;
  std::vector<std::string> wire;
  std::vector<sim::BusAccess> accesses;

 private:
  alignas(16) unsigned char storage_[sizeof(CDeviceExt)];
};

}  // namespace test
