// The `scctl` script command: the control tool run against the simulated
// device, as a user runs it from a command prompt.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace scsim {

class Machine;

// Runs scctl with `args`. Each line it writes to standard output reaches
// `print` as "scctl: LINE", each line to standard error as
// "scctl-err: LINE", in the order written, then "scctl-exit: N".
void runScctl(Machine& machine, const std::vector<std::string>& args,
              const std::function<void(const std::string&)>& print);

}  // namespace scsim
