// The whole machine under arbitrary scripts: the fuzzer's bytes become a
// scsim script (board set-up, registry values of any type and size, kernel
// failures, controller faults, requests with every code, any sizes, no
// buffer and any bytes, handles, time steps, unload and load), which runs on
// the simulated machine with the verifier on. A verifier report is a
// finding, and so is a script the interpreter refuses (the decoder must
// write only valid scripts).
//
// With MACHINE_FUZZER_PRINT set in the environment, each input's script is
// printed to standard output instead of run: that is how a finding becomes
// a scenario script.
//
// The decoder and the run are fuzz/MachineScript.h's, which the corpus test
// replays the seeds with.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MachineScript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string script = fuzz::machineScript(data, size);
  if (std::getenv("MACHINE_FUZZER_PRINT") != nullptr) {
    std::fputs(script.c_str(), stdout);
    return 0;
  }
  std::string out;
  std::string err;
  const int status = fuzz::runMachineScript(script, &out, &err);
  if (status != 0) {
    std::fprintf(stderr,
                 "machine_fuzzer: FINDING: exit status %d\n--- script\n%s--- output\n%s--- errors\n%s",
                 status, script.c_str(), out.c_str(), err.c_str());
    std::abort();
  }
  return 0;
}
