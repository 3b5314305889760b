// The loader of the simulated kernel: maps a driver image (a PE32 file for
// 32-bit x86, as the real kernel loads it), applies its base relocations,
// binds its imports to the routines this kernel exports, and hands out its
// entry point.
//
// Only a 32-bit x86 build of the simulated kernel can run an image: the
// image's code calls this kernel's routines directly, with the i386
// calling conventions and structure layouts that platform.h declares there.
// Other builds refuse every image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

enum class Convention { Cdecl, Stdcall, Fastcall };

// One routine this kernel exports to images, as the module that exports it
// on the real machine names it.
struct KernelExport {
  const char* module;  // "ntoskrnl.exe" or "HAL.dll"
  const char* name;
  Convention convention;
  uint32_t argumentBytes;  // what the callee pops for __stdcall and __fastcall
  const void* address;
};

// Every routine an image may import; empty where images cannot run.
const std::vector<KernelExport>& kernelExports();
// The routine `module`!`name` (module compared without case), or null.
const KernelExport* findExport(const std::string& module, const std::string& name);

// True where this build can call an image's code.
constexpr bool kRunsImages =
#if defined(__i386__)
    true;
#else
    false;
#endif

class DriverImage {
 public:
  // Where images are mapped unless a test asks for another base: high in
  // the address space, as the x86 kernel places drivers, and never the
  // image's preferred base, so that every run exercises its relocations.
  static constexpr uint32_t kDefaultBase = 0xBA000000u;

  // Maps a fresh copy of `file` at `base` (or, when that range is taken,
  // wherever the host allows), relocated and bound. Null, with the cause in
  // *error, for an image that is not a loadable driver image for this
  // machine; nothing stays mapped then.
  static std::unique_ptr<DriverImage> map(const std::vector<uint8_t>& file, std::string* error,
                                          uint32_t base = kDefaultBase);
  ~DriverImage();
  DriverImage(const DriverImage&) = delete;
  DriverImage& operator=(const DriverImage&) = delete;

  uintptr_t base() const { return reinterpret_cast<uintptr_t>(memory_); }
  uint32_t size() const { return size_; }
  uint32_t preferredBase() const { return preferredBase_; }
  void* entryPoint() const { return static_cast<uint8_t*>(memory_) + entryRva_; }
  // Fix-ups applied and imports bound when the image was mapped.
  uint32_t relocationsApplied() const { return relocations_; }
  uint32_t importsBound() const { return imports_; }

  // Images mapped at this moment, in the whole process.
  static size_t mappedCount();

 private:
  DriverImage() = default;

  void* memory_ = nullptr;
  uint32_t size_ = 0;
  uint32_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  uint32_t relocations_ = 0;
  uint32_t imports_ = 0;
};

}  // namespace sim
