// The whole machine under arbitrary scripts: the machine fuzzer's bytes as
// a scsim script, and the run of one as the fuzzer runs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// The script an input stands for; every input gives a valid script.
std::string machineScript(const uint8_t* data, size_t size);

// Runs a script on a fresh machine with the verifier on, with the fuzzer's
// one liberty with time (below); returns scsim's exit status.
//
// A read that has returned the same value a thousand times in a row costs
// the bus a millisecond from then on, as a slow bus may. The driver's long
// waits are bounded by the clock, not by a count of samples, so a second's
// wait for a silent controller ends the same way, in a thousand samples
// instead of nearly a million.
int runMachineScript(const std::string& script, std::string* out, std::string* err);

}  // namespace fuzz
