// The link-fault matrix: every fault of the fault catalogue
// (scsim/FaultCatalogue.cpp), as each row's matrix cases aim it, injected
// into every controller operation the driver has, through its caller.
//
// An operation is a command code sent by one caller in one step of the
// driver's life: start-up, a request, the poll, shutdown or unload. A fault
// is aimed at the first frame of that code in the step: faults of the reply
// are armed when the controller has taken the command in; faults of the
// command frame and of the lines are armed between the transaction before
// it and that one (or before the step, when it comes first). A run of the
// step without a fault first learns where the frame comes and how long its
// command and reply are.
//
// Each cell checks the outcome the driver's design gives: the final status
// of the operation (by the status the step reports, or the operation's own
// trace), the number of attempts (retry warnings, MSG_TEXT events and the
// frames the controller saw), the trace that names the fault, the final
// event of a failure, the Cardlan state and the lines left behind, and that
// the next transaction works once the controller is healthy again.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceExt.h"
#include "FaultCatalogue.h"
#include "Machine.h"
#include "Script.h"

namespace linkmatrix {
namespace {

// The matrix's faults are the cases of the fault catalogue's rows.
struct Fault {
  const scsim::ControllerFault* row;
  const scsim::MatrixCase* aim;
};

std::vector<Fault> matrixFaults() {
  std::vector<Fault> faults;
  for (const scsim::ControllerFault& row : scsim::faultCatalogue()) {
    for (const scsim::MatrixCase& c : row.cases) faults.push_back(Fault{&row, &c});
  }
  return faults;
}

constexpr LONG kNoDevice = -1;

// One operation: a command code, the step that sends it and how.
struct Operation {
  const char* name;
  uint8_t code;
  const char* setup;         // script run first, without a fault
  const char* trigger;       // the step that sends the code
  bool retried;              // the transaction retry pattern (3 attempts), or one attempt
  const char* retryWarning;  // the pattern's warning, when retried
  const char* commandName;   // in its MSG_TEXT events, when retried
  uint8_t capacity;          // reply data bytes the caller offers room for
  const char* okLine;        // a line of the step when the operation succeeded in the end
  const char* failLine;      // ... when it failed in the end
  const char* failEvent;     // an event line part that its failure adds, or null
  LONG stateOk;              // CardlanState after the step, or kNoDevice
  LONG stateFailed;          // ... after the operation failed and the rest of the step went through
  LONG stateForGood;         // ... after the controller stayed faulty from this operation on
};

constexpr const char* kLoaded = "load\n";
constexpr const char* kDisconnected = "load\nioctl IOCTL_SC_SWITCH_DISCONNECT in=12\n";
constexpr const char* kWithGroup =
    "load\nioctl IOCTL_SC_SWITCH_DISCONNECT in=12\nioctl IOCTL_SC_HD_GROUP_ADD in=12\n";

#define HC_RETRY(fn) "CDeviceExt::" fn "() !!!!! WARNING Command failed; status [0xC0000001]; retrying..."
// The ten display requests run in the pattern and fail with
// MSG_HEX_DISPLAY_FAILED; the Cardlan stays disconnected whatever happens.
constexpr Operation hdRequest(const char* name, uint8_t code, uint8_t capacity, const char* trigger) {
  return Operation{name,
                   code,
                   kWithGroup,
                   trigger,
                   true,
                   "CDeviceExt::IoControlHexDisplay() !!!!! WARNING Command [0x",
                   "HEX_DISPLAY",
                   capacity,
                   "ioctl: code=0x%X status=0x00000000",
                   "ioctl: code=0x%X status=0xC0000001",
                   "MSG_HEX_DISPLAY_FAILED",
                   CL_DISCONNECTED,
                   CL_DISCONNECTED,
                   CL_DISCONNECTED};
}

const Operation kOperations[] = {
    // Start-up.
    {"DRIVER_CONNECT at load", 1, "", "load\n", true, HC_RETRY("hcDriverConnect"), "DRIVER_CONNECT", 0,
     "load: status=0x00000000", "load: status=0xC0000001",
     "text=The driver failed to initialize due to the following error: Cannot connect", CL_CONNECTING,
     kNoDevice, kNoDevice},
    {"SWITCH_DISCONNECT at load", 9, "", "load\n", false, nullptr, nullptr, 0,
     "CDeviceExt::clSwitchDisconnect() Exit; status [0x0]",
     "CDeviceExt::clSwitchDisconnect() Exit; status [0xC0000001]", "text=Cardlan DISCONNECT operation failed",
     CL_CONNECTING, CL_CONNECTING, CL_NONE},
    {"HD_WRITE DMIN at load", 10, "", "load\n", false, nullptr, nullptr, 0,
     "CDeviceExt::hdWrite() Exit; status [0x0]", "CDeviceExt::hdWrite() Exit; status [0xC0000001]", nullptr,
     CL_CONNECTING, CL_CONNECTING, CL_DISCONNECTED},
    {"FIRMWARE_VERSION at load", 7, "", "load\n", true, HC_RETRY("hcFirmwareVersion"), "FIRMWARE_VERSION", 64,
     "CDeviceExt::hcFirmwareVersion() Returned [",
     "CDeviceExt::hcFirmwareVersion() ***** ERROR Failed to read, status [0xC0000001]; default version "
     "[Unknown]",
     "MSG_FIRMWARE_VERSION_FAILED", CL_CONNECTING, CL_CONNECTING, CL_DISCONNECTED},
    {"STATUS_LED_OFF at load", 6, "", "load\n", false, nullptr, nullptr, 0,
     "CDeviceExt::hcStatusLED() Exit; status [0x0]", "CDeviceExt::hcStatusLED() Exit; status [0xC0000001]",
     nullptr, CL_CONNECTING, CL_CONNECTING, CL_DISCONNECTED},
    {"SWITCH_CONNECT at load", 8, "", "load\n", true, HC_RETRY("clSwitchConnect"), "SWITCH_CONNECT", 0,
     "CDeviceExt::clSwitchConnect() Exit; status [0x0]",
     "CDeviceExt::clSwitchConnect() Exit; status [0xC0000001]", "text=Cardlan CONNECT operation failed",
     CL_CONNECTING, CL_DISCONNECTED, CL_DISCONNECTED},
    {"HD_RESET at load", 11, "", "load\n", false, nullptr, nullptr, 0,
     "CDeviceExt::hdReset() Exit; status [0x0]", "CDeviceExt::hdReset() Exit; status [0xC0000001]", nullptr,
     CL_CONNECTING, CL_CONNECTING, CL_CONNECTING},
    // The poll, with both slots active.
    {"POLL", 3, "load\ncontroller slots 0x40 0x40\n", "advance 600\n", true, HC_RETRY("hcPoll"), "POLL", 4,
     "CDeviceExt::hcPoll() CardlanStatus",
     "CDeviceExt::hcPoll() ***** ERROR Sanity poll failed; status [0xC0000001]", "text=Sanity poll failed",
     CL_ACTIVE, CL_CONNECTING, CL_CONNECTING},
    {"HD_WRITE OK at poll", 10, "load\ncontroller slots 0x40 0x40\n", "advance 600\n", false, nullptr,
     nullptr, 0, "CDeviceExt::hdWrite() Exit; status [0x0]",
     "CDeviceExt::hdWrite() Exit; status [0xC0000001]", nullptr, CL_ACTIVE, CL_ACTIVE, CL_ACTIVE},
    // Requests.
    {"COMMAND_4", 4, kLoaded, "ioctl IOCTL_SC_COMMAND4\n", false, nullptr, nullptr, 0,
     "ioctl: code=0x%X status=0x00000000", "ioctl: code=0x%X status=0xC0000001", nullptr, CL_CONNECTING,
     CL_CONNECTING, CL_CONNECTING},
    {"STATUS_LED_ON request", 5, kLoaded, "ioctl IOCTL_SC_STATUS_LED_ON\n", false, nullptr, nullptr, 0,
     "ioctl: code=0x%X status=0x00000000", "ioctl: code=0x%X status=0xC0000001", nullptr, CL_CONNECTING,
     CL_CONNECTING, CL_CONNECTING},
    {"STATUS_LED_OFF request", 6, kLoaded, "ioctl IOCTL_SC_STATUS_LED_OFF\n", false, nullptr, nullptr, 0,
     "ioctl: code=0x%X status=0x00000000", "ioctl: code=0x%X status=0xC0000001", nullptr, CL_CONNECTING,
     CL_CONNECTING, CL_CONNECTING},
    {"SWITCH_DISCONNECT request", 9, kLoaded, "ioctl IOCTL_SC_SWITCH_DISCONNECT in=12\n", false, nullptr,
     nullptr, 0, "ioctl: code=0x%X status=0x00000000", "ioctl: code=0x%X status=0xC0000001",
     "text=Cardlan DISCONNECT operation failed", CL_DISCONNECTED, CL_CONNECTING, CL_CONNECTING},
    {"HD_WRITE DMIN at disconnect request", 10, kLoaded, "ioctl IOCTL_SC_SWITCH_DISCONNECT in=12\n", false,
     nullptr, nullptr, 0, "CDeviceExt::hdWrite() Exit; status [0x0]",
     "CDeviceExt::hdWrite() Exit; status [0xC0000001]", nullptr, CL_DISCONNECTED, CL_DISCONNECTED,
     CL_DISCONNECTED},
    {"SWITCH_CONNECT request", 8, kDisconnected, "ioctl IOCTL_SC_SWITCH_CONNECT in=12 1\n", true,
     HC_RETRY("clSwitchConnect"), "SWITCH_CONNECT", 0, "ioctl: code=0x%X status=0x00000000",
     "ioctl: code=0x%X status=0xC0000001", "text=Cardlan CONNECT operation failed", CL_CONNECTING,
     CL_DISCONNECTED, CL_DISCONNECTED},
    hdRequest("IOCTL_SC_HD_RESET", 11, 0, "ioctl IOCTL_SC_HD_RESET in=12 0 0 0x41 0x42 0x43 0x44\n"),
    hdRequest("IOCTL_SC_HD_SET_STATUS", 12, 0, "ioctl IOCTL_SC_HD_SET_STATUS in=12 0 0 0 0 0 0 1\n"),
    hdRequest("IOCTL_SC_HD_CLEAR_STATUS", 13, 0, "ioctl IOCTL_SC_HD_CLEAR_STATUS in=12\n"),
    hdRequest("IOCTL_SC_HD_STATUS_QUERY", 14, 1, "ioctl IOCTL_SC_HD_STATUS_QUERY in=12\n"),
    hdRequest("IOCTL_SC_HD_SET_REFRESH_RATE", 15, 0,
              "ioctl IOCTL_SC_HD_SET_REFRESH_RATE in=12 0 0 0 0 0 0 3\n"),
    hdRequest("IOCTL_SC_HD_GROUP_ADD", 16, 1, "ioctl IOCTL_SC_HD_GROUP_ADD in=12\n"),
    hdRequest("IOCTL_SC_HD_GROUP_DELETE", 17, 0, "ioctl IOCTL_SC_HD_GROUP_DELETE in=12 1\n"),
    hdRequest("IOCTL_SC_HD_MESSAGE_ADD", 18, 1,
              "ioctl IOCTL_SC_HD_MESSAGE_ADD in=12 1 0 0x48 0x45 0x4C 0x4F\n"),
    hdRequest("IOCTL_SC_HD_MESSAGE_EXCHANGE", 19, 0,
              "ioctl IOCTL_SC_HD_MESSAGE_EXCHANGE in=12 0 1 0x48 0x45 0x4C 0x4F\n"),
    hdRequest("IOCTL_SC_HD_MESSAGE_DELETE", 20, 0, "ioctl IOCTL_SC_HD_MESSAGE_DELETE in=12 0 1\n"),
    // Stop.
    {"STATUS_LED_ON at shutdown", 5, kLoaded, "shutdown\n", false, nullptr, nullptr, 0,
     "CDeviceExt::hcStatusLED() Exit; status [0x0]", "CDeviceExt::hcStatusLED() Exit; status [0xC0000001]",
     nullptr, CL_CONNECTING, CL_CONNECTING, CL_CONNECTING},
    {"DRIVER_DISCONNECT at shutdown", 2, kLoaded, "shutdown\n", true, HC_RETRY("hcDriverDisconnect"),
     "DRIVER_DISCONNECT", 0, "CDeviceExt::hcDriverDisconnect() Exit; status [0x0]",
     "CDeviceExt::hcDriverDisconnect() Exit; status [0xC0000001]", nullptr, CL_CONNECTING, CL_CONNECTING,
     CL_CONNECTING},
    {"DRIVER_DISCONNECT at unload", 2, kLoaded, "unload\n", true, HC_RETRY("hcDriverDisconnect"),
     "DRIVER_DISCONNECT", 0, "CDeviceExt::hcDriverDisconnect() Exit; status [0x0]",
     "CDeviceExt::hcDriverDisconnect() Exit; status [0xC0000001]", nullptr, kNoDevice, kNoDevice, kNoDevice},
};

// Cells that cannot occur, and why.
struct Impossible {
  uint8_t code;
  const char* fault;  // the catalogue's case
  const char* why;
};
const Impossible kImpossible[] = {
    {7, "reply-over-capacity",
     "FIRMWARE_VERSION offers 64 data bytes, the most a frame can carry: a longer reply has a length byte "
     "above 68, which is the reply-length-69 cell"},
};

const char* whyImpossible(const Operation& op, const Fault& fault) {
  for (const auto& i : kImpossible) {
    if (i.code == op.code && std::string(i.fault) == fault.aim->name) return i.why;
  }
  return nullptr;
}

// One frame on the wires, as the controller saw it.
struct Frame {
  bool fromHost;
  std::vector<uint8_t> bytes;
  bool complete;
};

// A scripted machine whose controller can be hit at one frame of the step.
class Bench {
 public:
  Bench() : script_(out_, err_) {
    auto& events = controller().events();
    auto wire = events.frame;
    events.frame = [this, wire](bool fromHost, const std::vector<uint8_t>& bytes, bool complete) {
      if (wire) wire(fromHost, bytes, complete);
      onFrame(fromHost, bytes, complete);
    };
    machine().kernel.bus.onAccess([this](const sim::BusAccess& access) { onAccess(access); });
    run("registry set DebugLevel 5\n");
  }

  scsim::Machine& machine() { return script_.machine(); }
  board::Controller& controller() { return machine().board.controller; }

  // Runs script text; returns the lines it printed.
  std::vector<std::string> run(const std::string& text) {
    std::istringstream in(text);
    script_.run(in);
    EXPECT_EQ(err_.str(), "") << text;
    err_.str("");
    std::vector<std::string> lines;
    std::istringstream printed(out_.str());
    out_.str("");
    for (std::string line; std::getline(printed, line);) lines.push_back(line);
    return lines;
  }

  // Frames seen since the last call.
  std::vector<Frame> takeFrames() {
    std::vector<Frame> f;
    f.swap(frames_);
    return f;
  }

  // Aims `fault` at the first frame of the target's code in what runs
  // next, which comes after `before` other command frames.
  // A step that claims the interface first pulses the host request line,
  // which a controller takes for the start of a frame: a fault of the
  // command frame is armed only after that pulse (`afterClaim`).
  void aim(const Fault& fault, const scsim::Target& target, int before, bool afterClaim) {
    fault_ = fault;
    target_ = target;
    switch (fault.aim->aim) {
      case scsim::Aim::ByCode: arm(); break;
      case scsim::Aim::Reply: replyPending_ = true; break;
      case scsim::Aim::Command:
        if (before == 0 && afterClaim) {
          idleWait_ = true;
          pulseWait_ = true;
        } else if (before == 0) {
          arm();
        } else {
          waitFrames_ = before;
        }
        break;
    }
  }

  // The controller works again, with no fault left armed.
  void heal() {
    scsim::faultNamed("alive")->apply(controller(), {});
    controller().faults() = board::Controller::Faults{};
    replyPending_ = false;
    waitFrames_ = 0;
    idleWait_ = false;
    pulseWait_ = false;
  }

  bool armed() const { return armed_; }

 private:
  void arm() {
    fault_.row->apply(controller(), scsim::readArgs(*fault_.row, fault_.aim->args(target_)));
    armed_ = true;
  }

  void onFrame(bool fromHost, const std::vector<uint8_t>& bytes, bool complete) {
    frames_.push_back(Frame{fromHost, bytes, complete});
    if (!fromHost || !complete) return;
    if (waitFrames_ > 0 && --waitFrames_ == 0) idleWait_ = true;
    if (replyPending_ && bytes.size() > 1 && bytes[1] == target_.code) {
      replyPending_ = false;
      arm();
    }
  }

  // Between two transactions: the controller is idle, the host has let go
  // of the request line and has seen TREQ deasserted. The next look at the
  // lines is the next command's.
  void onAccess(const sim::BusAccess& access) {
    if (!idleWait_) return;
    auto& gpio = machine().board.gpio;
    if (pulseWait_) {
      pulseWait_ = !gpio.hostRequest();
      return;
    }
    if (access.write) return;
    if (controller().state() != board::Controller::State::Idle || gpio.hostRequest() || gpio.treq()) return;
    idleWait_ = false;
    arm();
  }

  std::ostringstream out_;
  std::ostringstream err_;
  scsim::Script script_;
  std::vector<Frame> frames_;
  Fault fault_{};
  scsim::Target target_{};
  bool replyPending_ = false;
  int waitFrames_ = 0;
  bool idleWait_ = false;
  bool pulseWait_ = false;
  bool armed_ = false;
};

// What a run of the step without a fault shows about the operation's frame.
struct Layout {
  int before = -1;  // command frames of the step before the first of the code
  uint8_t hostLength = 0;
  uint8_t replyLength = 0;
  int sameCode = 0;  // frames of the code in the step
};

Layout learn(const Operation& op) {
  Bench bench;
  bench.run(op.setup);
  bench.takeFrames();
  bench.run(op.trigger);
  Layout layout;
  int hostIndex = 0;
  bool afterOurs = false;
  for (const Frame& f : bench.takeFrames()) {
    if (f.fromHost) {
      afterOurs = false;
      if (f.bytes.size() > 1 && f.bytes[1] == op.code) {
        if (layout.before < 0) {
          layout.before = hostIndex;
          layout.hostLength = f.bytes[0];
          afterOurs = true;
        }
        layout.sameCode++;
      }
      hostIndex++;
    } else if (afterOurs && layout.replyLength == 0) {
      layout.replyLength = f.bytes.empty() ? 0 : f.bytes[0];
    }
  }
  return layout;
}

std::string withCode(const char* pattern, uint32_t ioctl) {
  char text[160];
  snprintf(text, sizeof(text), pattern, ioctl);
  return text;
}

int count(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const auto& l : lines) n += l.find(part) != std::string::npos;
  return n;
}

// The request code in the step's ioctl line, when it is a request.
uint32_t ioctlOf(const std::vector<std::string>& lines) {
  for (const auto& l : lines) {
    unsigned code;
    if (sscanf(l.c_str(), "ioctl: code=0x%X", &code) == 1) return code;
  }
  return 0;
}

LONG cardlanState(scsim::Machine& m) {
  PDEVICE_OBJECT device = m.kernel.io.lookup(scsim::Machine::kLinkName);
  if (device == nullptr) return kNoDevice;
  return static_cast<CDeviceExt*>(device->DeviceExtension)->CardlanState;
}

bool stopped(scsim::Machine& m) {
  PDEVICE_OBJECT device = m.kernel.io.lookup(scsim::Machine::kLinkName);
  return device != nullptr && static_cast<CDeviceExt*>(device->DeviceExtension)->Stopped;
}

void checkCell(const Operation& op, const Fault& fault, const Layout& layout) {
  const scsim::Target target{op.code, layout.hostLength, layout.replyLength, op.capacity};
  Bench bench;
  bench.run(op.setup);
  bench.takeFrames();
  bench.aim(fault, target, layout.before, std::string(op.trigger).rfind("load", 0) == 0);
  std::vector<std::string> lines = bench.run(op.trigger);
  std::vector<Frame> frames = bench.takeFrames();
  ASSERT_TRUE(bench.armed()) << "the fault was never armed";

  using scsim::Outcome;
  const Outcome reach = fault.row->outcome;
  bool fails = reach == Outcome::ForGood || (reach == Outcome::Once && !op.retried);
  int attempts = !op.retried ? 1 : reach == Outcome::ForGood ? 3 : reach == Outcome::Once ? 2 : 1;

  // The operation's final status, as the step or its trace shows it.
  uint32_t ioctl = ioctlOf(lines);
  std::string okLine = withCode(op.okLine, ioctl);
  std::string failLine = withCode(op.failLine, ioctl);
  if (fails) {
    EXPECT_GE(count(lines, failLine), 1) << "expected: " << failLine;
  } else {
    EXPECT_EQ(count(lines, failLine), 0) << "not expected: " << failLine;
    EXPECT_GE(count(lines, okLine), 1) << "expected: " << okLine;
  }

  // The attempts: retry warnings and MSG_TEXT events of the pattern, and
  // the frames of the code that the controller saw.
  if (op.retried) {
    EXPECT_EQ(count(lines, op.retryWarning), attempts - 1) << op.retryWarning;
    EXPECT_EQ(count(lines, std::string("Communication errors during '") + op.commandName + "'"),
              attempts - 1);
  }
  // A fault that hides the command hides it from every attempt it hits.
  int invisible = !fault.aim->hidesCommand ? 0 : reach == Outcome::ForGood ? attempts : 1;
  int later = reach == Outcome::ForGood ? 0 : layout.sameCode - 1;
  int seen = 0;
  for (const Frame& f : frames) seen += f.fromHost && f.bytes.size() > 1 && f.bytes[1] == op.code;
  EXPECT_EQ(seen, attempts - invisible + later) << "command frames of code " << int(op.code);

  // The trace that names the fault.
  std::string trace = fault.aim->trace(target);
  EXPECT_GE(count(lines, trace), 1) << "expected trace: " << trace;

  // The final event of a failure.
  if (op.failEvent != nullptr) {
    if (fails) {
      EXPECT_GE(count(lines, op.failEvent), 1) << "expected event: " << op.failEvent;
    } else if (reach != Outcome::ForGood) {
      EXPECT_EQ(count(lines, op.failEvent), 0) << "not expected event: " << op.failEvent;
    }
  }

  // The state left behind: the Cardlan state, and the host's lines let go.
  LONG expected = !fails ? op.stateOk : reach == Outcome::ForGood ? op.stateForGood : op.stateFailed;
  EXPECT_EQ(cardlanState(bench.machine()), expected) << "Cardlan state";
  auto& gpio = bench.machine().board.gpio;
  EXPECT_FALSE(gpio.hostRequest()) << "host request left asserted";
  EXPECT_FALSE(gpio.hostDrivesData()) << "data lines left driven";

  // A healthy controller: the next transaction goes through. A driver that
  // is gone or stopped is loaded afresh first.
  bench.heal();
  std::string next;
  if (cardlanState(bench.machine()) == kNoDevice || stopped(bench.machine())) {
    next = "unload\nload\n";
  }
  std::vector<std::string> after = bench.run(next + "ioctl IOCTL_SC_STATUS_LED_ON\n");
  EXPECT_EQ(count(after, "ioctl: code=0x222054 status=0x00000000"), 1) << "the next transaction failed";
  EXPECT_EQ(count(after, "wire: host> 03 05 F8"), 1);
  EXPECT_EQ(count(after, "wire: ctl> 04 05 00 F7"), 1);
  if (!next.empty()) {
    EXPECT_EQ(count(after, "load: status=0x00000000"), 1);
  }

  std::vector<std::string> end = bench.run("unload\n");
  lines.insert(lines.end(), after.begin(), after.end());
  lines.insert(lines.end(), end.begin(), end.end());
  EXPECT_EQ(count(lines, "verifier: "), 0) << "the verifier reported a violation";
}

TEST(LinkFaultMatrix, EveryFaultIntoEveryOperation) {
  const std::vector<Fault> faults = matrixFaults();
  int checkedCells = 0;
  int impossibleCells = 0;
  for (const Operation& op : kOperations) {
    Layout layout = learn(op);
    ASSERT_GE(layout.before, 0) << op.name << ": the step sends no frame of code " << int(op.code);
    for (const Fault& fault : faults) {
      if (const char* why = whyImpossible(op, fault)) {
        std::cout << "impossible: " << op.name << " x " << fault.aim->name << ": " << why << "\n";
        // A frame carries at most 64 data bytes, so only a smaller capacity
        // can be overrun by a reply of valid length.
        EXPECT_EQ(op.capacity, 64) << op.name;
        impossibleCells++;
        continue;
      }
      SCOPED_TRACE(std::string(op.name) + " x " + fault.aim->name);
      checkCell(op, fault, layout);
      checkedCells++;
    }
  }
  for (const auto& i : kImpossible) {
    bool known = false;
    for (const Operation& op : kOperations) known = known || op.code == i.code;
    EXPECT_TRUE(known) << "an impossible cell names no operation";
    known = false;
    for (const Fault& f : faults) known = known || std::string(i.fault) == f.aim->name;
    EXPECT_TRUE(known) << "an impossible cell names no fault";
  }
  std::cout << "link-fault matrix: " << checkedCells << " cells checked, " << impossibleCells
            << " cells impossible, " << sizeof(kOperations) / sizeof(kOperations[0]) << " operations x "
            << faults.size() << " faults\n";
}

}  // namespace
}  // namespace linkmatrix
