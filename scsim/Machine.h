// The whole simulated machine with the driver in it: kernel, board, the
// driver's entry point, and every output channel as one ordered stream of
// lines ("dbg: ...", "event: ...", "wire: ...", "display: ...", "led: ...",
// "verifier: ...").
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Board.h"
#include "sim/kernel.h"
#include "tamrixsc.h"

namespace scsim {

class Machine {
 public:
  static inline const std::string kParametersKey = sim::narrow(sim::fromWide(::kParametersPath));
  static inline const std::string kLinkName = sim::narrow(sim::fromWide(::kLinkName));

  // `sink` receives every channel line as it happens.
  explicit Machine(std::function<void(const std::string&)> sink);
  ~Machine();

  // Driver and machine, as the script commands see them. Each returns the
  // status the system reports; `present` says whether there was anything to
  // act on.
  NTSTATUS load();
  // From now on `load` maps this driver image and runs it, instead of the
  // driver compiled into this program; a fresh copy at each load.
  void useImage(std::vector<uint8_t> file, uint32_t base = sim::DriverImage::kDefaultBase) {
    image_ = std::move(file);
    imageBase_ = base;
    usesImage_ = true;
  }
  bool usesImage() const { return usesImage_; }
  bool unload();
  bool shutdown(NTSTATUS* status);
  NTSTATUS open();
  NTSTATUS close();
  struct IoctlResult {
    bool completed = false;
    NTSTATUS status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> output;
  };
  // Sends a buffered request; `done` runs when it completes.
  bool ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t inputLength, uint32_t outputLength,
             bool buffer, std::function<void(const IoctlResult&)> done);
  void advanceMs(int64_t ms);
  int64_t timeUs() const { return kernel.clock.now() / sim::kTicksPerUs; }

  bool driverLoaded() const { return kernel.io.loaded(); }
  bool violated() const { return !kernel.verifier.violations().empty(); }

  sim::Kernel kernel;

 private:
  // The routines the driver calls act on this machine's kernel while the
  // machine lives.
  sim::Kernel::Scope activeKernel_{kernel};

 public:
  board::Board board;

 private:
  PDEVICE_OBJECT device() const { return kernel.io.lookup(kLinkName); }
  std::function<void(const std::string&)> sink_;
  std::vector<uint8_t> image_;
  uint32_t imageBase_ = sim::DriverImage::kDefaultBase;
  bool usesImage_ = false;
};

// "ioctl: code=0x222018 status=0x00000000 info=12 out=[01 05 ...]"
std::string ioctlLine(uint32_t code, const Machine::IoctlResult& result);

}  // namespace scsim
