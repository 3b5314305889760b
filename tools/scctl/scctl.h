// scctl: the control tool of the 8051 System Controller driver.
//
// The tool itself (arguments, requests, results in words) is the same in
// both builds; only the way to the device differs: CreateFile and
// DeviceIoControl on Windows, the simulated I/O manager inside scsim.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "scioctl.h"

namespace scctl {

// Exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitRefused = 1;  // the driver, the controller, the display or the system refused
constexpr int kExitUsage = 2;    // the command line was wrong; nothing was sent
constexpr int kExitAbsent = 3;   // no device: the driver is not installed, not started, or found no board
constexpr int kExitDenied = 4;   // access denied: not an administrator

// Where the device is, as user mode names it.
constexpr const char* kDevicePath = SC_DEVICE_PATH;

// How one request came back.
struct Completion {
  bool statusKnown = true;   // false when the system reported only an error of its own
  uint32_t status = 0;       // NTSTATUS the driver completed the request with
  uint32_t systemError = 0;  // the system's own error code when the status is not known
  uint32_t information = 0;  // bytes of the reply
};

enum class OpenResult { Opened, NotFound, AccessDenied, Failed };

class Device {
 public:
  virtual ~Device() = default;
  // Opens the device; `detail` says what the system answered.
  virtual OpenResult open(std::string* detail) = 0;
  // Sends one buffered request. `buffer` holds the input (its first
  // `inputLength` bytes) and is at least `outputLength` long; on success
  // its first `information` bytes are the reply.
  virtual Completion control(uint32_t code, std::vector<uint8_t>* buffer, uint32_t inputLength,
                             uint32_t outputLength) = 0;
};

// A subcommand as typed after "scctl" ("display group-add") and the
// requests it sends, in order.
struct Subcommand {
  std::string path;
  std::vector<uint32_t> codes;
};
std::vector<Subcommand> subcommands();

// Runs the tool: `args` are the words after the program's name. Results go
// to `out`, errors to `err`; returns the exit status.
int run(const std::vector<std::string>& args, Device& device, std::ostream& out, std::ostream& err);

// "STATUS_UNSUCCESSFUL (0xC0000001)", or "0x..." alone for a status this
// driver never returns.
std::string statusName(uint32_t status);

}  // namespace scctl
