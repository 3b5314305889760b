// The routines the simulated kernel exports to driver images, each in the
// module that exports it on the 32-bit x86 system, with the calling
// convention and argument size its declaration in platform.h gives it.
//
// The convention and size are read off the declarations themselves, so the
// table cannot say one thing while the routine does another; a test holds
// them to the decorated names in the import libraries that the image was
// linked against (_KeSetTimerEx@20, @IofCompleteRequest@8, _DbgPrint).
#include <cstring>

#include "platform.h"
#include "sim/image.h"
#include "sim/routines.h"

namespace sim {

#if defined(__i386__)
namespace {

// Arguments occupy whole 32-bit stack slots on i386.
template <typename... A>
constexpr uint32_t slots() {
  return (0u + ... + static_cast<uint32_t>((sizeof(A) + 3) / 4 * 4));
}

template <typename R, typename... A>
constexpr Convention conventionOf(R(__attribute__((stdcall)) *)(A...)) {
  return Convention::Stdcall;
}
template <typename R, typename... A>
constexpr Convention conventionOf(R(__attribute__((fastcall)) *)(A...)) {
  return Convention::Fastcall;
}
template <typename R, typename... A>
constexpr Convention conventionOf(R (*)(A...)) {
  return Convention::Cdecl;
}
template <typename R, typename... A>
constexpr Convention conventionOf(R (*)(A..., ...)) {
  return Convention::Cdecl;
}

template <typename R, typename... A>
constexpr uint32_t argumentBytesOf(R(__attribute__((stdcall)) *)(A...)) {
  return slots<A...>();
}
template <typename R, typename... A>
constexpr uint32_t argumentBytesOf(R(__attribute__((fastcall)) *)(A...)) {
  return slots<A...>();
}
template <typename R, typename... A>
constexpr uint32_t argumentBytesOf(R (*)(A...)) {
  return slots<A...>();
}
template <typename R, typename... A>
constexpr uint32_t argumentBytesOf(R (*)(A..., ...)) {
  return slots<A...>();
}

// The kernel's own block copy and fill, which the C library's match in
// convention and effect.
void* kernelMemcpy(void* destination, const void* source, size_t length) {
  return std::memcpy(destination, source, length);
}
void* kernelMemset(void* destination, int fill, size_t length) {
  return std::memset(destination, fill, length);
}

#define SIM_EXPORT_AS(module, name, routine)                                                                 \
  KernelExport {                                                                                             \
    module, name, conventionOf(&routine), argumentBytesOf(&routine), reinterpret_cast<const void*>(&routine) \
  }

constexpr const char* kKernel = "ntoskrnl.exe";
constexpr const char* kHal = "HAL.dll";

constexpr const char* moduleName(Module module) { return module == Module::Hal ? kHal : kKernel; }

}  // namespace

// Every routine of the kernel's table, in the module that exports it, and
// the kernel's own block copy and fill.
const std::vector<KernelExport>& kernelExports() {
  static const std::vector<KernelExport> exports = {
#define SIM_EXPORT_ROW(exported, shown, module, lowest, highest, failure, failureId, overtake) \
  SIM_EXPORT_AS(moduleName(module), #exported, exported),
      SIM_KERNEL_ROUTINES(SIM_EXPORT_ROW)
#undef SIM_EXPORT_ROW
          SIM_EXPORT_AS(kKernel, "memcpy", kernelMemcpy),
      SIM_EXPORT_AS(kKernel, "memset", kernelMemset),
  };
  return exports;
}

#else

const std::vector<KernelExport>& kernelExports() {
  static const std::vector<KernelExport> none;
  return none;
}

#endif

}  // namespace sim
