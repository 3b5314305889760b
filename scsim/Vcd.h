// The GPIO wires between the host and the controller over virtual time, as
// a Value Change Dump (IEEE 1364): the four handshake lines, the eight data
// lines and their direction, each a 1-bit wire at its electrical level.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace scsim {

class Machine;

class VcdWriter {
 public:
  // Opens `path` and writes the header and the levels at the start; the
  // writer then follows every register access of the GPIO block.
  VcdWriter(const std::string& path, Machine& machine);
  // Closes the dump at the virtual time reached.
  ~VcdWriter();
  VcdWriter(const VcdWriter&) = delete;
  VcdWriter& operator=(const VcdWriter&) = delete;

  bool good() const { return out_.good(); }

 private:
  static constexpr int kWires = 13;  // four handshake lines, eight data lines, direction
  void sample(bool all);

  Machine& machine_;
  std::ofstream out_;
  bool levels_[kWires] = {};
  int64_t lastTime_ = -1;
};

}  // namespace scsim
