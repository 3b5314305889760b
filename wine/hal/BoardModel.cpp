#include "BoardModel.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "Controller.h"
#include "GpioBlock.h"
#include "Pci.h"
#include "SuperIo.h"
#include "sim/kernel.h"

namespace winehal {
namespace {
// As the simulated board: the GPIO block's default base, and where the
// chipset places it when it decodes in memory space.
constexpr uint16_t kDefaultGpioBase = 0x0A00;
constexpr uint64_t kGpioPhysical = 0xFED0A000;
// One LPC I/O cycle, as the simulated bus charges it.
constexpr sim::Ticks kBusCycle = 1 * sim::kTicksPerUs;

std::string hexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  char text[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    snprintf(text, sizeof(text), i == 0 ? "%02X" : " %02X", bytes[i]);
    out += text;
  }
  return out;
}

bool number(const std::string& word, int64_t min, int64_t max, int64_t* value) {
  char* end = nullptr;
  long long v = strtoll(word.c_str(), &end, 0);
  if (word.empty() || *end != 0 || v < min || v > max) return false;
  *value = v;
  return true;
}
}  // namespace

struct BoardModel::Parts {
  explicit Parts(std::function<void(const std::string&)> out)
      : output(std::move(out)), superIo(kDefaultGpioBase), gpio(clock), controller(gpio) {}

  std::function<void(const std::string&)> output;
  sim::Clock clock;
  board::PciBus pci;
  board::SuperIo superIo;
  board::GpioBlock gpio;
  board::Controller controller;
  bool gpioInMemory = false;
  // Where the LPC bridge sits, so that another placement or none replaces it.
  uint32_t bridgeBus = 0;
  uint32_t bridgeDevice = board::PciBus::kLpcBridgeDevice;
  uint32_t bridgeFunction = 0;
  bool bridgePlaced = true;

  bool inGpio(uint64_t address) const {
    return address >= superIo.gpioBase() && address - superIo.gpioBase() < Gpio::kBlockLength;
  }
};

BoardModel::BoardModel(std::function<void(const std::string&)> output)
    : parts_(std::make_unique<Parts>(std::move(output))) {
  Parts& p = *parts_;
  p.pci.defaultBoard();
  auto& events = p.controller.events();
  events.frame = [&p](bool fromHost, const std::vector<uint8_t>& bytes, bool complete) {
    std::string text = hexBytes(bytes);
    if (!complete) text += text.empty() ? "..." : " ...";
    p.output(std::string("wire: ") + (fromHost ? "host> " : "ctl> ") + text);
  };
  events.display = [&p](const std::string& text) { p.output("display: \"" + text + "\""); };
  events.led = [&p](bool on) { p.output(on ? "led: on" : "led: off"); };
  events.interleaved = [&p](const std::string& detail) {
    p.output("verifier: INTERLEAVED_CONVERSATION: " + detail);
  };
}

BoardModel::~BoardModel() = default;

void BoardModel::setParties(std::function<uint32_t()> party, std::function<bool(uint32_t)> holdsLock) {
  parts_->controller.setParty(std::move(party));
  parts_->controller.setPartyActive(std::move(holdsLock));
}

void BoardModel::setClockIncrement(uint32_t units) { parts_->clock.setIncrement(units); }

// The set-up commands of scsim that describe the board, in its words.
bool BoardModel::setUp(const std::string& line, std::string* error) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) {
    if (word[0] == '#') break;
    w.push_back(word);
  }
  if (w.empty()) return true;
  Parts& p = *parts_;
  auto bad = [&](const std::string& why) {
    *error = "'" + line + "': " + why;
    return false;
  };
  int64_t a = 0;
  int64_t b = 0;
  const std::string what = w[0] + (w.size() > 1 ? " " + w[1] : "");
  if (what == "pci bridge" && w.size() >= 3) {
    if (p.bridgePlaced) p.pci.removeFunction(p.bridgeBus, p.bridgeDevice, p.bridgeFunction);
    p.bridgePlaced = false;
    if (w[2] == "none") return w.size() == 3 || bad("nothing may follow 'none'");
    if (!number(w[2], 0, 0xFFFF, &a)) return bad("DEVICE is a 16-bit number");
    p.bridgeBus = 0;
    p.bridgeDevice = board::PciBus::kLpcBridgeDevice;
    p.bridgeFunction = 0;
    for (size_t i = 3; i + 1 < w.size(); i += 2) {
      if (!number(w[i + 1], 0, 255, &b)) return bad("'" + w[i] + "' needs a number");
      if (w[i] == "bus") {
        p.bridgeBus = static_cast<uint32_t>(b);
      } else if (w[i] == "slot") {
        p.bridgeDevice = static_cast<uint32_t>(b);
      } else if (w[i] == "function") {
        p.bridgeFunction = static_cast<uint32_t>(b);
      } else {
        return bad("unknown option '" + w[i] + "'");
      }
    }
    if (w.size() % 2 == 0) return bad("an option without its number");
    p.bridgePlaced =
        p.pci.addFunction(p.bridgeBus, p.bridgeDevice, p.bridgeFunction, board::PciBus::kVendorIntel,
                          static_cast<uint16_t>(a), board::PciBus::kClassIsaBridge);
    return p.bridgePlaced || bad("no such place");
  }
  if (what == "pci buses" && w.size() == 3 && number(w[2], 0, board::PciBus::kMaxBuses, &a)) {
    p.pci.setBusCount(static_cast<uint32_t>(a));
    return true;
  }
  if (what == "superio base" && w.size() == 3 && number(w[2], 0, 0xFFFF, &a)) {
    p.superIo.setGpioBase(static_cast<uint16_t>(a));
    return true;
  }
  if (what == "superio space" && w.size() == 3 && (w[2] == "memory" || w[2] == "io")) {
    p.gpioInMemory = w[2] == "memory";
    return true;
  }
  if ((what == "controller silent" || what == "controller alive") && w.size() == 2) {
    p.controller.setSilent(w[1] == "silent");
    return true;
  }
  if (what == "controller slots" && w.size() == 4 && number(w[2], 0, 255, &a) && number(w[3], 0, 255, &b)) {
    p.controller.firmware().slotPrimary = static_cast<uint8_t>(a);
    p.controller.firmware().slotSecondary = static_cast<uint8_t>(b);
    return true;
  }
  if (what == "controller errors" && w.size() == 4 && number(w[2], 0, 255, &a) && number(w[3], 0, 255, &b)) {
    p.controller.firmware().commErrors = static_cast<uint8_t>(a);
    p.controller.firmware().pollErrors = static_cast<uint8_t>(b);
    return true;
  }
  if (what == "controller version" && w.size() == 3 && w[2].size() <= board::Controller::kMaxVersion) {
    p.controller.firmware().version = w[2];
    return true;
  }
  if (what == "controller post" && w.size() == 3 && number(w[2], 0, 255, &a)) {
    p.controller.firmware().postCode = static_cast<uint8_t>(a);
    return true;
  }
  if (what == "controller latency" && w.size() == 3 && number(w[2], 0, 0xFFFFFFFF, &a)) {
    p.controller.setReplyLatencyUs(static_cast<uint32_t>(a));
    return true;
  }
  return bad("not a board set-up this HAL takes");
}

uint8_t BoardModel::portRead(uint16_t port) {
  Parts& p = *parts_;
  p.clock.advance(kBusCycle);
  if (port >= Sio::kIndexPort && port - Sio::kIndexPort < Sio::kPortCount) {
    return p.superIo.read(port - Sio::kIndexPort);
  }
  if (!p.gpioInMemory && p.inGpio(port)) return p.gpio.read(port - p.superIo.gpioBase());
  // A read that no device claims floats high, as on the LPC bus.
  return 0xFF;
}

void BoardModel::portWrite(uint16_t port, uint8_t value) {
  Parts& p = *parts_;
  p.clock.advance(kBusCycle);
  if (port >= Sio::kIndexPort && port - Sio::kIndexPort < Sio::kPortCount) {
    p.superIo.write(port - Sio::kIndexPort, value);
  } else if (!p.gpioInMemory && p.inGpio(port)) {
    p.gpio.write(port - p.superIo.gpioBase(), value);
  }
}

uint8_t BoardModel::memoryRead(uint64_t physical) {
  Parts& p = *parts_;
  p.clock.advance(kBusCycle);
  if (p.gpioInMemory && physical >= kGpioPhysical && physical - kGpioPhysical < Gpio::kBlockLength) {
    return p.gpio.read(static_cast<uint32_t>(physical - kGpioPhysical));
  }
  return 0xFF;
}

void BoardModel::memoryWrite(uint64_t physical, uint8_t value) {
  Parts& p = *parts_;
  p.clock.advance(kBusCycle);
  if (p.gpioInMemory && physical >= kGpioPhysical && physical - kGpioPhysical < Gpio::kBlockLength) {
    p.gpio.write(static_cast<uint32_t>(physical - kGpioPhysical), value);
  }
}

uint32_t BoardModel::pciRead(uint32_t bus, uint32_t slot, void* buffer, uint32_t length) {
  return parts_->pci.read(bus, slot, buffer, length);
}

bool BoardModel::translate(uint32_t interfaceType, uint32_t bus, uint64_t busAddress, uint32_t* space,
                           uint64_t* translated) {
  Parts& p = *parts_;
  if (!sim::busExists(interfaceType, bus, &p.pci)) return false;
  if (p.gpioInMemory && p.inGpio(busAddress)) {
    *space = 0;
    *translated = kGpioPhysical + (busAddress - p.superIo.gpioBase());
  } else {
    *translated = busAddress;
  }
  return true;
}

void BoardModel::stallUs(uint32_t microseconds) {
  parts_->clock.advance(static_cast<sim::Ticks>(microseconds) * sim::kTicksPerUs);
}

int64_t BoardModel::readInterruptTime() {
  parts_->clock.advance(sim::Clock::kReadCost);
  return parts_->clock.interruptTime();
}

}  // namespace winehal
