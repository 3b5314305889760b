#include "Vcd.h"

#include "Machine.h"

namespace scsim {
namespace {

// One tick of the simulated clock is 100 ns.
constexpr const char* kTimescale = "100 ns";

struct Wire {
  const char* name;
  char id;
};
// host request, strobe, TRDY and TREQ are active low: level 0 is asserted.
constexpr Wire kWireNames[] = {
    {"host_request", '!'}, {"strobe", '"'}, {"trdy", '#'},     {"treq", '$'}, {"d0", '%'},
    {"d1", '&'},           {"d2", '\''},    {"d3", '('},       {"d4", ')'},   {"d5", '*'},
    {"d6", '+'},           {"d7", ','},     {"data_out", '-'},
};

}  // namespace

VcdWriter::VcdWriter(const std::string& path, Machine& machine) : machine_(machine), out_(path) {
  static_assert(sizeof(kWireNames) / sizeof(kWireNames[0]) == kWires, "one name per wire");
  out_ << "$date simulated $end\n"
       << "$version scsim $end\n"
       << "$timescale " << kTimescale << " $end\n"
       << "$scope module gpio $end\n";
  for (const Wire& w : kWireNames) out_ << "$var wire 1 " << w.id << ' ' << w.name << " $end\n";
  out_ << "$upscope $end\n$enddefinitions $end\n";
  sample(true);
  machine_.board.gpio.onAccess([this] { sample(false); });
}

VcdWriter::~VcdWriter() {
  machine_.board.gpio.onAccess(nullptr);
  int64_t now = machine_.kernel.clock.now();
  if (now > lastTime_) out_ << '#' << now << '\n';
}

void VcdWriter::sample(bool all) {
  const board::GpioBlock& gpio = machine_.board.gpio;
  bool levels[kWires];
  levels[0] = !gpio.hostRequest();
  levels[1] = !gpio.strobe();
  levels[2] = !gpio.trdy();
  levels[3] = !gpio.treq();
  uint8_t data = gpio.dataLines();
  for (int bit = 0; bit < 8; bit++) levels[4 + bit] = (data >> bit) & 1;
  levels[12] = gpio.hostDrivesData();

  int64_t now = machine_.kernel.clock.now();
  bool stamped = false;
  for (int i = 0; i < kWires; i++) {
    if (!all && levels[i] == levels_[i]) continue;
    if (!stamped) {
      if (now != lastTime_) out_ << '#' << now << '\n';
      if (all) out_ << "$dumpvars\n";
      lastTime_ = now;
      stamped = true;
    }
    levels_[i] = levels[i];
    out_ << (levels[i] ? '1' : '0') << kWireNames[i].id << '\n';
  }
  if (all) out_ << "$end\n";
}

}  // namespace scsim
