// Start-up and stop of a device extension on the whole board: discovery
// through the Super I/O chip, the claims, the controller conversation in
// order, the poll timer, and the way down.
#include "Registers.h"
#include "harness.h"

namespace {

using test::kParameters;
using test::LinkTest;

const std::vector<std::string> kStartupFrames = {
    "08 01 58 02 3C 3E 00 23",  // DRIVER_CONNECT with the default time-outs
    "03 09 F4",                 // SWITCH_DISCONNECT
    "07 0A 44 4D 49 4E C7",     // HD_WRITE "DMIN"
    "03 07 F6",                 // FIRMWARE_VERSION
    "03 06 F7",                 // STATUS_LED_OFF
    "07 0A 43 44 4C 4E CE",     // HD_WRITE "CDLN"
    "06 08 46 03 03 A6",        // SWITCH_CONNECT 70, 3, 3
    "08 0B 43 44 4C 4E 0A C2",  // HD_RESET "CDLN"
};

class StartupTest : public LinkTest {
 protected:
  StartupTest() {
    ext->PortBase = 0;
    ext->AddressSpace = 1;
    kernel.enforceClaims();
  }
  NTSTATUS init() { return ext->Init(&driverObject, &deviceObject); }
  void advanceMs(int64_t ms) {
    kernel.scheduler.waitUntil([] { return false; }, kernel.clock.now() + ms * sim::kTicksPerMs);
  }
  std::vector<std::string> eventNames() const {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.substr(7, e.find(' ', 7) - 7));
    return out;
  }
  // Claims as reported, each as "start+length", an empty list as "-".
  std::vector<std::string> claimHistory() const {
    std::vector<std::string> out;
    for (const auto& list : kernel.resources.history) {
      out.push_back(list.empty() ? "-" : sim::hex(list[0].start, 4) + "+" + std::to_string(list[0].length));
    }
    return out;
  }
  void stopAndRelease(bool shutdown) {
    ext->stop(shutdown);
    EXPECT_FALSE(kernel.dispatcher.isArmed(&ext->PollTimer));
  }
};

TEST_F(StartupTest, DefaultsGiveTheStartupFramesInOrderAndArmThePoll) {
  EXPECT_EQ(init(), STATUS_SUCCESS);
  EXPECT_EQ(commands(), kStartupFrames);
  EXPECT_EQ(display, (std::vector<std::string>{"DMIN", "CDLN"}));
  EXPECT_EQ(led, (std::vector<bool>{false}));
  EXPECT_EQ(ext->CardlanState, CL_CONNECTING);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"MSG_DRIVER_STARTED"}));
  EXPECT_EQ(events[0],
            "event: MSG_DRIVER_STARTED id=0x6007832C object=\\Device\\8051SC0 unique=0x00000000 major=0 "
            "ioctl=0x00000000 final=0x00000000 strings=0 text=Driver started; initialized device "
            "[\\Device\\8051SC0].");
  EXPECT_EQ(kernel.irql.level(), PASSIVE_LEVEL);
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::Init() Exit; status [0x0]"));

  // The first poll comes 0.5 s after start-up, at the clock interrupt that
  // follows, then one per Cardlan period.
  wire.clear();
  advanceMs(499);
  EXPECT_TRUE(commands().empty());
  advanceMs(16);
  EXPECT_EQ(commands(), (std::vector<std::string>{"03 03 FA"}));
  advanceMs(1000);
  EXPECT_EQ(commands().size(), 2u);
}

TEST_F(StartupTest, SuperIoSequenceAndClaimsInOrder) {
  std::vector<std::string> sio;
  kernel.bus.onAccess([&](const sim::BusAccess& a) {
    if (a.space == sim::Space::Port && (a.address == 0x2E || a.address == 0x2F)) {
      char text[16];
      snprintf(text, sizeof(text), "%s%02X %02X", a.write ? "w" : "r", a.address, a.value);
      sio.push_back(text);
    }
  });
  board.superIo.setDeviceRegister(Sio::kLdnGpio, Sio::kRegActivate, 0x40);
  EXPECT_EQ(init(), STATUS_SUCCESS);
  EXPECT_EQ(sio, (std::vector<std::string>{"w2E 55", "w2E 07", "w2F 0A", "w2E 30", "r2F 40", "w2E 30",
                                           "w2F 41", "w2E 60", "r2F 0A", "w2E 61", "r2F 00", "w2E AA"}));
  EXPECT_EQ(board.superIo.enterKeyCount(), 1u);
  EXPECT_EQ(board.superIo.strayCount(), 0u);
  EXPECT_EQ(claimHistory(), (std::vector<std::string>{"0x002E+2", "-", "0x0A00+80"}));
  EXPECT_EQ(ext->PortBase, 0x0A00u);
  EXPECT_FALSE(ext->PortMapped);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::locateDevice() GPIO device activated; base address [0x00000A00]"));
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::allocateHardware() Port was not mapped; using low part [0xA00]"));
  // The block is set up: request and strobe released, setup registers.
  EXPECT_EQ(board.gpio.stored(Gpio::kRegSetup31), 0x00);
  EXPECT_EQ(board.gpio.stored(Gpio::kRegSetup2C), 0x00);
  EXPECT_EQ(board.gpio.stored(Gpio::kRegSetup2D), 0x01);
  EXPECT_EQ(board.gpio.stored(Gpio::kRegSetup30), 0x01);
}

TEST_F(StartupTest, BaseFromTheChipIsWhereTheBlockIsClaimed) {
  board.superIo.setGpioBase(0x0C40);
  EXPECT_EQ(init(), STATUS_SUCCESS);
  EXPECT_EQ(ext->PortBase, 0x0C40u);
  EXPECT_EQ(claimHistory().back(), "0x0C40+80");
  EXPECT_EQ(commands(), kStartupFrames);
}

TEST_F(StartupTest, MemorySpaceIsMappedAndUnmapped) {
  board.setGpioSpace(sim::Space::Memory);
  EXPECT_EQ(init(), STATUS_SUCCESS);
  EXPECT_TRUE(ext->PortMapped);
  EXPECT_TRUE(kernel.bus.isMapped(ext->PortBase));
  EXPECT_EQ(commands(), kStartupFrames);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::allocateHardware() Translated address; low part [0xFED0A000]; high part "
             "[0x0]; type [0]"));
  stopAndRelease(false);
  EXPECT_EQ(kernel.bus.mappingCount(), 0u);
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::releaseHardware() Port unmapped; port size [80]"));
  EXPECT_FALSE(kernel.resources.anyClaims());
}

TEST_F(StartupTest, ConflictOnTheConfigurationPortsTouchesNoPort) {
  board.setConflict(board::Board::Range::Config, true);
  EXPECT_EQ(init(), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(events,
            (std::vector<std::string>{
                "event: MSG_INIT_FAILED id=0xE007832F object=\\Driver\\TAMRIXSC unique=0xC0000182 major=0 "
                "ioctl=0x00000000 final=0x00000000 strings=1 text=The driver failed to initialize due to the "
                "following error: Resource conflict detected."}));
  EXPECT_TRUE(traced(
      "TAMRIXSC: CDeviceExt::locateDevice() ***** ERROR Failed to allocate the Super I/O control port"));
  EXPECT_TRUE(accesses.empty());
  EXPECT_FALSE(kernel.resources.anyClaims());
  EXPECT_FALSE(kernel.dispatcher.isArmed(&ext->PollTimer));
}

TEST_F(StartupTest, FailedReportOnTheBlockWritesNoRegister) {
  board.setReportFailure(board::Board::Range::Gpio, static_cast<int32_t>(0xC000009A));
  EXPECT_EQ(init(), static_cast<NTSTATUS>(0xC000009A));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("unique=0xC000009A"), std::string::npos);
  EXPECT_NE(events[0].find("error: Function 'IoReportResourceUsage' failed."), std::string::npos);
  EXPECT_TRUE(traced(
      "TAMRIXSC: CDeviceExt::acquireInterface() ***** ERROR Failed to allocate the GPIO interface ports"));
  for (const auto& a : accesses) EXPECT_NE(a.address & 0xFF00, 0x0A00u);
  EXPECT_FALSE(kernel.resources.anyClaims());
}

TEST_F(StartupTest, ConflictOnTheBlockAndFailedReportOnTheConfigurationPorts) {
  board.setConflict(board::Board::Range::Gpio, true);
  EXPECT_EQ(init(), STATUS_DEVICE_CONFIGURATION_ERROR);
  board.setConflict(board::Board::Range::Gpio, false);
  board.setReportFailure(board::Board::Range::Config, static_cast<int32_t>(0xC0000001));
  EXPECT_EQ(init(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"MSG_INIT_FAILED", "MSG_INIT_FAILED"}));
  EXPECT_TRUE(commands().empty());
}

TEST_F(StartupTest, FailedMappingReleasesTheClaim) {
  board.setGpioSpace(sim::Space::Memory);
  kernel.failures.arm("MmMapIoSpace", 0, 1);
  EXPECT_EQ(init(), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("error: Function 'MmMapIoSpace' failed."), std::string::npos);
  EXPECT_EQ(ext->PortBase, 0u);
  EXPECT_FALSE(kernel.resources.anyClaims());
  EXPECT_EQ(kernel.bus.mappingCount(), 0u);
}

// Both ranges are claimed and translated on ISA bus 0, the one ISA bus the
// board has; the HAL refuses a translation on ISA bus 1, as it refuses any
// bus the machine does not have.
TEST_F(StartupTest, ClaimsAreTranslatedOnTheIsaBusTheBoardHas) {
  PHYSICAL_ADDRESS port;
  port.QuadPart = Sio::kIndexPort;
  PHYSICAL_ADDRESS translated;
  ULONG space = 1;
  EXPECT_FALSE(HalTranslateBusAddress(Isa, 1, port, &space, &translated));
  ASSERT_TRUE(kernel.translations.empty());
  EXPECT_EQ(init(), STATUS_SUCCESS);
  ASSERT_EQ(kernel.translations.size(), 2u);
  EXPECT_EQ(kernel.translations[0].busStart, Sio::kIndexPort);
  EXPECT_EQ(kernel.translations[0].length, Sio::kPortCount);
  EXPECT_EQ(kernel.translations[1].busStart, 0x0A00u);
  EXPECT_EQ(kernel.translations[1].length, Gpio::kBlockLength);
  EXPECT_EQ(claimHistory(), (std::vector<std::string>{"0x002E+2", "-", "0x0A00+80"}));
}

TEST_F(StartupTest, BogusBaseOrFailedTranslationEndsStartupCleanly) {
  // 0xFFB4 is the first base whose 80-byte block would run past port
  // 0xFFFF and wrap onto the system ports at the bottom of the space.
  for (uint16_t base : {0x0000, 0xFFFF, 0xFFB4, 0xFFF8}) {
    events.clear();
    board.superIo.setGpioBase(base);
    uint64_t claimsBefore = kernel.resources.history.size();
    EXPECT_EQ(init(), STATUS_DEVICE_CONFIGURATION_ERROR) << base;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].find("error: Invalid GPIO base address."), std::string::npos);
    // The configuration ports were claimed and given back; the block never.
    for (size_t i = claimsBefore; i < kernel.resources.history.size(); i++) {
      for (const auto& range : kernel.resources.history[i]) EXPECT_EQ(range.start, 0x2Eu) << base;
    }
    EXPECT_TRUE(kernel.verifier.violations().empty()) << base;
  }
  board.superIo.setGpioBase(0xFFB0);  // the block ends at the last port
  EXPECT_EQ(init(), STATUS_SUCCESS);
  EXPECT_EQ(ext->PortBase, 0xFFB0u);
  ext->stop(false);
  wire.clear();
  board.superIo.setGpioBase(0x0A00);
  events.clear();
  kernel.failures.arm("HalTranslateBusAddress", 0, 1);
  EXPECT_EQ(init(), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("error: Function 'HalTranslateBusAddress' failed."), std::string::npos);
  EXPECT_TRUE(commands().empty());
  EXPECT_FALSE(kernel.resources.anyClaims());
}

TEST_F(StartupTest, SilentControllerEndsStartupAfterThreeConnects) {
  board.controller.setSilent(true);
  EXPECT_EQ(init(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"MSG_TEXT", "MSG_TEXT", "MSG_INIT_FAILED"}));
  EXPECT_NE(events[2].find("Cannot connect to the 8051 System Controller."), std::string::npos);
  EXPECT_FALSE(kernel.dispatcher.isArmed(&ext->PollTimer));
  EXPECT_FALSE(kernel.resources.anyClaims());
  EXPECT_EQ(kernel.irql.level(), PASSIVE_LEVEL);
  // The lines were returned to idle on release.
  EXPECT_NE(board.gpio.stored(Gpio::kRegControl) & Gpio::kCtrlHostRequest, 0);
}

TEST_F(StartupTest, UnreadableVersionStillStarts) {
  board.controller.faults().noReplyCount = 3;
  board.controller.faults().noReplyCode = FIRMWARE_VERSION;
  EXPECT_EQ(init(), STATUS_SUCCESS);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"MSG_TEXT", "MSG_TEXT", "MSG_FIRMWARE_VERSION_FAILED",
                                                    "MSG_DRIVER_STARTED"}));
  EXPECT_EQ(ext->FirmwareVersionLength, 7);
}

// An administrator who writes 0 retries gets one attempt of each command,
// not none: with none, the start-up would report a connect that never
// reached the wires.
TEST_F(StartupTest, ZeroRetriesMeanOneAttemptOfEachCommand) {
  kernel.registry.setDword(kParameters, "DevTimeoutCommMS", 60);
  kernel.registry.setDword(kParameters, "DevTimeoutPollS", 62);
  kernel.registry.setDword(kParameters, "DevTimeoutWatchdogMS", 600);
  kernel.registry.setDword(kParameters, "CmdReplyTimerUS", 5000);
  kernel.registry.setDword(kParameters, "CmdRetryDelayUS", 1000);
  kernel.registry.setDword(kParameters, "CmdMaxRetries", 0);
  kernel.registry.setDword(kParameters, "TimerPollCardlanMS", 1000);
  kernel.registry.setDword(kParameters, "TimerPollNormalMS", 30000);
  EXPECT_EQ(init(), STATUS_SUCCESS);
  EXPECT_EQ(ext->CmdMaxRetries, 1);
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::readRegistryParams() !!!!! WARNING CmdMaxRetries [0] is below the "
             "limit; using [1]"));
  EXPECT_EQ(commands(), kStartupFrames);
  EXPECT_EQ(ext->CardlanState, CL_CONNECTING);
  EXPECT_TRUE(kernel.dispatcher.isArmed(&ext->PollTimer));
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"MSG_DRIVER_STARTED"}));

  // One attempt against a controller that stopped answering, no retry.
  board.controller.faults().noReplyCount = 10;
  wire.clear();
  events.clear();
  advanceMs(520);
  EXPECT_EQ(commands(), (std::vector<std::string>{"03 03 FA"}));
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"MSG_TEXT"}));  // the failed poll, no retry event
}

TEST_F(StartupTest, ShutdownAndUnloadSequences) {
  ASSERT_EQ(init(), STATUS_SUCCESS);
  wire.clear();
  stopAndRelease(true);
  EXPECT_EQ(commands(), (std::vector<std::string>{"03 05 F8", "08 02 44 4F 57 4E 01 BD"}));
  EXPECT_EQ(led.back(), true);
  EXPECT_FALSE(kernel.resources.anyClaims());
  // A second stop, as unload after shutdown, sends nothing.
  wire.clear();
  ext->stop(false);
  EXPECT_TRUE(wire.empty());
}

TEST_F(StartupTest, PollQueuedAroundStopNeverTalksToTheController) {
  ASSERT_EQ(init(), STATUS_SUCCESS);
  ext->stop(false);
  wire.clear();
  // As a poll that another processor had already taken off the queue.
  kernel.dispatcher.queueDpc(&ext->PollDpc);
  kernel.scheduler.point(sim::Point::Call);
  EXPECT_EQ(kernel.dispatcher.dpcsRun(), 1u);
  EXPECT_TRUE(wire.empty());
}

TEST_F(StartupTest, UnloadSendsOnlyTheDisconnectEvenToASilentController) {
  ASSERT_EQ(init(), STATUS_SUCCESS);
  board.controller.setSilent(true);
  wire.clear();
  stopAndRelease(false);
  // Cut off at the first byte, three times: the controller took nothing in.
  EXPECT_TRUE(commands().empty());
  EXPECT_EQ(countTraced("TAMRIXSC: CDeviceExt::hcDriverDisconnect() !!!!! WARNING Command failed; status "
                        "[0xC0000001]; retrying..."),
            2);
  EXPECT_FALSE(kernel.resources.anyClaims());
  board.controller.setSilent(false);
  wire.clear();
  // A new device's extension is zeroed: nothing started, nothing stopped.
  ext->Started = FALSE;
  ext->Stopped = FALSE;
  ASSERT_EQ(init(), STATUS_SUCCESS);
  wire.clear();
  stopAndRelease(false);
  EXPECT_EQ(commands(), (std::vector<std::string>{"08 02 55 4E 4C 44 00 C3"}));
}

TEST_F(StartupTest, RegistryValuesReachTheConnectPayload) {
  kernel.registry.setDword(kParameters, "OptionResetNoPoll", 1);
  kernel.registry.setDword(kParameters, "OptionShowCommErrors", 1);
  EXPECT_EQ(init(), STATUS_SUCCESS);
  EXPECT_EQ(commands()[0], "08 01 58 02 3C 3E 81 A2");
}

// The start-up conversation holds the link lock from the first command to
// the last, with the poll armed and the extension marked started in the same
// hold: a poll or a shutdown on another processor waits for all of it.
TEST_F(StartupTest, StartupConversationHoldsTheLinkLock) {
  std::vector<std::string> seen;
  board.controller.events().frame = [this, &seen](bool fromHost, const std::vector<uint8_t>&, bool) {
    if (fromHost) {
      seen.push_back(std::string(ext->LinkLock != 0 ? "held" : "free") + " at " +
                     std::to_string(kernel.irql.level()));
    }
  };
  ASSERT_EQ(init(), STATUS_SUCCESS);
  EXPECT_EQ(seen, std::vector<std::string>(kStartupFrames.size(), "held at 2"));
  EXPECT_EQ(ext->LinkLock, 0u);
  EXPECT_EQ(kernel.irql.level(), PASSIVE_LEVEL);
  EXPECT_TRUE(ext->Started);
  EXPECT_TRUE(kernel.dispatcher.isArmed(&ext->PollTimer));
}

// A shutdown that comes while the start-up is still claiming the interface,
// before any conversation: nothing is started yet, so nothing is stopped,
// and the start-up then goes on as usual.
// A shutdown that comes while the driver claims its ports, before the
// start-up's conversation: the stop finds nothing started and only marks the
// device stopped; the start-up then gives up before its first command, so
// the controller hears nothing and the interface is given back.
TEST_F(StartupTest, ShutdownBeforeTheConnectAbandonsTheStartup) {
  auto boardPolicy = kernel.resources.policy;
  bool shutdownSent = false;
  kernel.resources.policy = [&](const sim::ResourceRange& range) {
    if (!shutdownSent) {
      shutdownSent = true;
      ext->stop(true);
    }
    return boardPolicy ? boardPolicy(range) : sim::ResourceVerdict{0, false};
  };
  ASSERT_EQ(init(), STATUS_SUCCESS);
  EXPECT_TRUE(shutdownSent);
  EXPECT_TRUE(commands().empty());
  EXPECT_TRUE(led.empty());
  EXPECT_TRUE(ext->Stopped);
  EXPECT_FALSE(ext->Started);
  EXPECT_FALSE(kernel.dispatcher.isArmed(&ext->PollTimer));
  EXPECT_FALSE(kernel.resources.anyClaims());
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::Init() !!!!! WARNING Device stopped during start-up; start-up "
             "abandoned"));
  EXPECT_TRUE(eventNames().empty());  // not started
  // A later stop, as unload's, sends nothing.
  ext->stop(false);
  EXPECT_TRUE(commands().empty());
}

// A shutdown between two commands of the start-up, after the connect:
// the start-up sends no further command, tells the controller it goes down
// as the shutdown would have, and leaves no poll armed.
TEST_F(StartupTest, ShutdownAfterTheConnectEndsTheStartupWithDown) {
  bool connected = false;
  bool shutdownSent = false;
  board.controller.events().frame = [&](bool fromHost, const std::vector<uint8_t>& bytes, bool complete) {
    wire.push_back(std::string(fromHost ? "host> " : "ctl> ") + board::hexBytes(bytes) +
                   (complete ? "" : " ..."));
    connected = connected || (!fromHost && bytes.size() > 1 && bytes[1] == 0x08);
  };
  // Once the step that connects the Cardlan (and arms the poll) has let
  // the link go and the thread is back at PASSIVE_LEVEL.
  kernel.irql.onLower([&](uint8_t level) {
    if (level == PASSIVE_LEVEL && connected && !shutdownSent) {
      shutdownSent = true;
      ext->stop(true);
    }
  });
  ASSERT_EQ(init(), STATUS_SUCCESS);
  EXPECT_TRUE(shutdownSent);
  std::vector<std::string> expected(kStartupFrames.begin(), kStartupFrames.end() - 1);
  expected.push_back("03 05 F8");                 // STATUS_LED_ON
  expected.push_back("08 02 44 4F 57 4E 01 BD");  // DRIVER_DISCONNECT "DOWN", shutdown
  EXPECT_EQ(commands(), expected);
  EXPECT_EQ(led, (std::vector<bool>{false, true}));
  EXPECT_FALSE(ext->Started);
  EXPECT_FALSE(kernel.dispatcher.isArmed(&ext->PollTimer));
  EXPECT_FALSE(kernel.resources.anyClaims());
  wire.clear();
  advanceMs(2000);
  EXPECT_TRUE(commands().empty());
}

// A shutdown or unload after a failed start-up, whose interface is already
// released and unmapped: nothing is sent and nothing released again.
TEST_F(StartupTest, StopAfterAFailedStartupTouchesNothing) {
  board.setGpioSpace(sim::Space::Memory);
  board.controller.setSilent(true);
  ASSERT_EQ(init(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(kernel.bus.mappingCount(), 0u);
  size_t claims = kernel.resources.history.size();
  size_t touched = accesses.size();
  ext->stop(true);
  ext->stop(false);
  EXPECT_EQ(kernel.resources.history.size(), claims);
  EXPECT_EQ(accesses.size(), touched);
  EXPECT_FALSE(ext->Started);
  // The fixture fails the test on a verifier report, such as a second unmap.
}

}  // namespace

namespace {

// A controller that answers the connect and then nothing, with the reply
// timer and the retry delay at their limits: each command of the start-up
// is a stretch of its own, none longer than the driver's bound; under one
// hold for the whole conversation, three of them retried, the start-up
// kept its processor at DISPATCH_LEVEL for about twenty seconds.
TEST_F(StartupTest, EachStartupCommandIsAStretchOfItsOwn) {
  kernel.registry.setDword(kParameters, "DevTimeoutCommMS", 60);
  kernel.registry.setDword(kParameters, "DevTimeoutPollS", 62);
  kernel.registry.setDword(kParameters, "DevTimeoutWatchdogMS", 600);
  kernel.registry.setDword(kParameters, "CmdReplyTimerUS", 1000000);
  kernel.registry.setDword(kParameters, "CmdRetryDelayUS", 1000000);
  kernel.registry.setDword(kParameters, "CmdMaxRetries", 3);
  kernel.registry.setDword(kParameters, "TimerPollCardlanMS", 30000);
  kernel.registry.setDword(kParameters, "TimerPollNormalMS", 30000);
  board.controller.events().frame = [this](bool fromHost, const std::vector<uint8_t>& bytes, bool complete) {
    wire.push_back(std::string(fromHost ? "host> " : "ctl> ") + board::hexBytes(bytes) +
                   (complete ? "" : " ..."));
    if (!fromHost && bytes.size() > 1 && bytes[1] == 0x01) board.controller.faults().noReplyCount = 100;
  };
  EXPECT_EQ(init(), STATUS_SUCCESS);
  // Every command once; the display keeps "DMIN" out, the disconnect
  // having failed.
  EXPECT_EQ(commands().size(), kStartupFrames.size() - 1);
  const sim::Ticks bound = static_cast<sim::Ticks>(ext->DispatchBoundUs) * sim::kTicksPerUs;
  EXPECT_LE(kernel.irql.longestStretch(), bound);
  EXPECT_GT(kernel.irql.longestStretch(), bound * 9 / 10);
  // The two retried commands after the connect (the firmware version and
  // the Cardlan connect) give up after one attempt.
  EXPECT_EQ(
      countTraced("TAMRIXSC: CDeviceExt::retryFits() !!!!! WARNING No retry; it could keep the processor "
                  "at DISPATCH_LEVEL past [" +
                  std::to_string(ext->DispatchBoundUs) + "] us; status [0xC0000001]"),
      2);
}

}  // namespace
