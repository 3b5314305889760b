// Test bench for the controller services: a simulated kernel, the board with
// its controller model, and a device extension reaching the GPIO
// block the way the claimed interface would, with the defaults start-up
// gives it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Board.h"
#include "DeviceExt.h"
#include "EventView.h"
#include "sim/kernel.h"
#include "tamrixsc.h"

namespace test {

constexpr const char* kParameters =
    "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\TAMRIXSC\\Parameters";

class LinkTest : public ::testing::Test {
 protected:
  LinkTest() : board(kernel) {
    std::memset(storage_, 0, sizeof(storage_));
    std::memset(&driverObject, 0, sizeof(driverObject));
    std::memset(&deviceObject, 0, sizeof(deviceObject));
    kernel.names.set(&driverObject, "\\Driver\\TAMRIXSC");
    kernel.names.set(&deviceObject, "\\Device\\8051SC0");
    kernel.registry.createKey(kParameters);

    ext = reinterpret_cast<CDeviceExt*>(storage_);
    new (&ext->Message) CMessage(ext);
    ext->DriverObject = &driverObject;
    ext->DeviceObject = &deviceObject;
    ext->PortBase = board::Board::kDefaultGpioBase;
    ext->AddressSpace = 1;
    ext->DevTimeoutComm = 60;
    ext->DevTimeoutPoll = 62;
    ext->DevTimeoutWatchdog = 600;
    ext->CmdReplyTimer = 5000;
    ext->CmdRetryDelay = 1000;
    ext->CmdMaxRetries = 3;
    ext->TimerPollCardlan = 1000;
    ext->TimerPollNormal = 30000;
    ext->ClockIncrement = kernel.clock.increment();
    ext->DispatchBoundUs = CDeviceExt::dispatchBoundUs(ext->ClockIncrement);
    ext->setDefaultSwitchParams();
    ext->setDefaultFirmwareVersion();
    g_DebugLevel = 5;

    board.controller.events().frame = [this](bool fromHost, const std::vector<uint8_t>& bytes,
                                             bool complete) {
      wire.push_back(std::string(fromHost ? "host> " : "ctl> ") + board::hexBytes(bytes) +
                     (complete ? "" : " ..."));
    };
    board.controller.events().display = [this](const std::string& text) { display.push_back(text); };
    board.controller.events().led = [this](bool on) { led.push_back(on); };
    kernel.errorLog.onEvent([this](const sim::LoggedEvent& e) {
      logged.push_back(e);
      events.push_back(board::eventLine(e));
    });
    kernel.bus.onAccess([this](const sim::BusAccess& a) { accesses.push_back(a); });
  }
  ~LinkTest() override {
    kernel.errorLog.reportUnwritten();
    EXPECT_TRUE(kernel.verifier.violations().empty())
        << sim::ruleName(kernel.verifier.violations().front().rule) << ": "
        << kernel.verifier.violations().front().detail;
  }

  // Trace lines as the debugger shows them, prefix included.
  const std::vector<std::string>& dbg() const { return kernel.debugger.lines(); }
  bool traced(const std::string& line) const { return countTraced(line) > 0; }
  int countTraced(const std::string& line) const {
    int n = 0;
    for (const auto& l : dbg()) n += l == line;
    return n;
  }
  int64_t elapsedUs() const { return kernel.clock.now() / sim::kTicksPerUs; }

  // Command frames as the controller took them in.
  std::vector<std::string> commands() const {
    std::vector<std::string> out;
    for (const auto& w : wire) {
      if (w.rfind("host> ", 0) == 0) out.push_back(w.substr(6));
    }
    return out;
  }

  // Accesses to one register of the block.
  std::vector<sim::BusAccess> accessesTo(uint32_t offset, bool write) const {
    std::vector<sim::BusAccess> out;
    for (const auto& a : accesses) {
      if (a.address == ext->PortBase + offset && a.write == write) out.push_back(a);
    }
    return out;
  }

  // The driver's trace level is a global of its own design; whatever a test
  // sets it to, the level before the test comes back after it.
  struct SavedTraceLevel {
    LONG level = g_DebugLevel;
    ~SavedTraceLevel() { g_DebugLevel = level; }
  } savedTraceLevel;
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
  board::Board board;
  DRIVER_OBJECT driverObject;
  DEVICE_OBJECT deviceObject;
  CDeviceExt* ext;
  std::vector<std::string> wire;
  std::vector<std::string> events;
  std::vector<sim::LoggedEvent> logged;
  std::vector<std::string> display;
  std::vector<bool> led;
  std::vector<sim::BusAccess> accesses;

 private:
  alignas(16) unsigned char storage_[sizeof(CDeviceExt)];
};

}  // namespace test
