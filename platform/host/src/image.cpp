#include "sim/image.h"

#include <sys/mman.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "pe_image.h"

namespace sim {
namespace {

constexpr uint32_t kPage = 0x1000;
// A driver image is a few hundred kilobytes at most; a size field beyond
// this is a damaged header, not a reason to reserve the address space.
constexpr uint32_t kMaxImageSize = 64u << 20;

size_t g_mapped = 0;

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

uint32_t span(const pe::Section& s) { return s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize; }

// The checks the kernel makes before it maps anything: the image is for
// i386 in the native subsystem, its headers and sections lie inside the
// image, and it can be relocated.
bool loadable(const pe::PeImage& file, std::string* error) {
  if (file.machine() != pe::kMachineI386) {
    *error = "machine " + hex(file.machine()) + " is not i386 (0x14C)";
    return false;
  }
  if (file.subsystem() != pe::kSubsystemNative) {
    *error = "subsystem " + std::to_string(file.subsystem()) + " is not native (1)";
    return false;
  }
  const pe::DataDirectory relocs = file.directory(pe::kDirBaseReloc);
  if ((file.characteristics() & pe::kFileRelocsStripped) || relocs.rva == 0 || relocs.size == 0) {
    *error = "no base relocations: the image could run only at its preferred base " + hex(file.imageBase());
    return false;
  }
  if (file.imageSize() == 0 || file.imageSize() > kMaxImageSize || file.headersSize() > file.imageSize() ||
      file.headersSize() > file.bytes().size()) {
    *error =
        "image size " + hex(file.imageSize()) + " or header size " + hex(file.headersSize()) + " is damaged";
    return false;
  }
  if (file.entryRva() == 0 || file.entryRva() >= file.imageSize()) {
    *error = "entry point " + hex(file.entryRva()) + " lies outside the image";
    return false;
  }
  for (const pe::Section& s : file.sections()) {
    if (s.virtualAddress < file.headersSize() ||
        static_cast<uint64_t>(s.virtualAddress) + span(s) > file.imageSize()) {
      *error = "section " + s.name + " lies outside the image";
      return false;
    }
  }
  return true;
}

// Adds the distance between the actual and the preferred base to every
// 32-bit address the image holds, as the relocation blocks list them.
bool relocate(uint8_t* image, const pe::PeImage& file, uint32_t delta, uint32_t* applied,
              std::string* error) {
  pe::Relocations relocs;
  if (!file.relocations(&relocs, error)) return false;
  for (uint32_t rva : relocs.highLow) {
    if (rva > file.imageSize() - 4) {
      *error = "base relocation at " + hex(rva) + " lies outside the image";
      return false;
    }
    uint32_t value;
    std::memcpy(&value, image + rva, 4);
    value += delta;
    std::memcpy(image + rva, &value, 4);
    (*applied)++;
  }
  return true;
}

// Fills each import address table slot with the routine of this kernel
// that the import names, by module and name. An import the kernel does not
// export fails the load, as on the real system.
bool bind(uint8_t* image, const pe::PeImage& file, uint32_t* bound, std::string* error) {
  std::vector<pe::Import> imports;
  if (!file.imports(&imports, error)) return false;
  for (const pe::Import& imp : imports) {
    if (imp.function.empty()) {
      *error = "imports " + imp.qualifiedName() + " by ordinal; this kernel binds by name only";
      return false;
    }
    const KernelExport* e = findExport(imp.dll, imp.function);
    if (e == nullptr) {
      *error = "imports " + imp.qualifiedName() + ", which the kernel does not export";
      return false;
    }
    if (imp.slotRva > file.imageSize() - 4) {
      *error = "the import slot of " + imp.qualifiedName() + " lies outside the image";
      return false;
    }
    uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e->address));
    std::memcpy(image + imp.slotRva, &address, 4);
    (*bound)++;
  }
  return true;
}

// Code is readable and executable, data readable and perhaps writable, as
// the section flags ask; a write into code faults instead of passing.
void protect(uint8_t* image, const pe::PeImage& file) {
  mprotect(image, (file.headersSize() + kPage - 1) & ~(kPage - 1), PROT_READ);
  for (const pe::Section& s : file.sections()) {
    uint32_t length = (span(s) + kPage - 1) & ~(kPage - 1);
    int prot = PROT_READ;
    if (s.characteristics & pe::kSectionExecute) prot |= PROT_EXEC;
    if (s.characteristics & pe::kSectionWrite) prot |= PROT_WRITE;
    if (length != 0 && s.virtualAddress % kPage == 0) mprotect(image + s.virtualAddress, length, prot);
  }
}

}  // namespace

const KernelExport* findExport(const std::string& module, const std::string& name) {
  std::string wanted = lower(module);
  for (const KernelExport& e : kernelExports()) {
    if (name == e.name && wanted == lower(e.module)) return &e;
  }
  return nullptr;
}

std::unique_ptr<DriverImage> DriverImage::map(const std::vector<uint8_t>& file, std::string* error,
                                              uint32_t base) {
  if (!kRunsImages) {
    *error = "only the 32-bit x86 build of the simulated kernel runs driver images";
    return nullptr;
  }
  pe::PeImage pe;
  if (!pe.load(file, error) || !loadable(pe, error)) return nullptr;

  uint32_t size = (pe.imageSize() + kPage - 1) & ~(kPage - 1);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the base the image is to be mapped at
  void* p = mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(base)), size, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED || reinterpret_cast<uintptr_t>(p) != base) {
    if (p != MAP_FAILED) munmap(p, size);
    p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      *error = "no room for an image of " + hex(size) + " bytes";
      return nullptr;
    }
  }
  std::unique_ptr<DriverImage> image(new DriverImage);
  image->memory_ = p;
  image->size_ = size;
  image->preferredBase_ = pe.imageBase();
  image->entryRva_ = pe.entryRva();
  g_mapped++;

  uint8_t* bytes = static_cast<uint8_t*>(p);
  std::memcpy(bytes, file.data(), pe.headersSize());
  for (const pe::Section& s : pe.sections()) {
    uint32_t copied = s.virtualSize != 0 && s.virtualSize < s.rawSize ? s.virtualSize : s.rawSize;
    if (copied != 0) std::memcpy(bytes + s.virtualAddress, file.data() + s.rawOffset, copied);
  }
  uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)) - pe.imageBase();
  if (!relocate(bytes, pe, delta, &image->relocations_, error) || !bind(bytes, pe, &image->imports_, error)) {
    return nullptr;
  }
  protect(bytes, pe);
  return image;
}

DriverImage::~DriverImage() {
  if (memory_ != nullptr) {
    munmap(memory_, size_);
    g_mapped--;
  }
}

size_t DriverImage::mappedCount() { return g_mapped; }

}  // namespace sim
