// halctl.exe: the HAL for Wine from the outside.
//
//   halctl routines   every routine of the run that is the HAL's, not Wine's,
//                     with what Wine 8.0 does and the rule the HAL follows
//   halctl shutdown   delivers IRP_MJ_SHUTDOWN to every device registered
//                     for it, and returns once all have completed it
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "Control.h"
#include "Routines.h"

namespace {
// How long the devices may take over their shutdown.
constexpr DWORD kShutdownWaitMs = 30000;

int routines() {
#define HALCTL_PRINT(module)                                                              \
  [](const char* name, const char* wine, const char* rule) {                              \
    std::printf("%s!%s\n    Wine 8.0: %s\n    here:     %s\n", module, name, wine, rule); \
  }
  auto hal = HALCTL_PRINT("HAL.dll");
  auto kernel = HALCTL_PRINT("ntoskrnl.exe");
#undef HALCTL_PRINT
#define HALCTL_HAL_ROW(name, wine, rule) hal(#name, wine, rule);
#define HALCTL_KERNEL_ROW(name, wine, rule) kernel(#name, wine, rule);
  WINEHAL_HAL_ROUTINES(HALCTL_HAL_ROW)
  WINEHAL_KERNEL_GAPS(HALCTL_KERNEL_ROW)
#undef HALCTL_HAL_ROW
#undef HALCTL_KERNEL_ROW
  return 0;
}

int shutdown() {
  HANDLE request = CreateEventA(nullptr, FALSE, FALSE, winehal::kShutdownEvent);
  HANDLE done = CreateEventA(nullptr, FALSE, FALSE, winehal::kShutdownDoneEvent);
  if (request == nullptr || done == nullptr) {
    std::fprintf(stderr, "halctl: cannot reach the HAL's shutdown events (error %lu)\n", GetLastError());
    return 1;
  }
  SetEvent(request);
  DWORD waited = WaitForSingleObject(done, kShutdownWaitMs);
  CloseHandle(request);
  CloseHandle(done);
  if (waited != WAIT_OBJECT_0) {
    std::fprintf(stderr, "halctl: no HAL answered the shutdown: is a driver registered for it?\n");
    return 1;
  }
  std::printf("shutdown: delivered\n");
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "routines") == 0) return routines();
  if (argc == 2 && std::strcmp(argv[1], "shutdown") == 0) return shutdown();
  std::fprintf(stderr, "usage: halctl routines|shutdown\n");
  return 2;
}
