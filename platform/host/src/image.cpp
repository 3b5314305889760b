#include "sim/image.h"

#include <sys/mman.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

// PE32 as the i386 kernel loads it.
constexpr uint16_t kDosMagic = 0x5A4D;  // "MZ"
constexpr uint32_t kDosLfanew = 0x3C;
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderFixed = 96;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirBaseReloc = 5;
constexpr uint32_t kImportDescriptorSize = 20;
constexpr uint32_t kOrdinalFlag = 0x80000000u;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;
constexpr uint32_t kSectionExecute = 0x20000000u;
constexpr uint32_t kSectionWrite = 0x80000000u;
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

// Little-endian reads that fail instead of reading past the buffer.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  const uint8_t* data() const { return data_; }
  bool has(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }
  bool u16(uint64_t offset, uint16_t* v) const {
    if (!has(offset, 2)) return false;
    *v = static_cast<uint16_t>(data_[offset] | data_[offset + 1] << 8);
    return true;
  }
  bool u32(uint64_t offset, uint32_t* v) const {
    uint16_t low = 0, high = 0;
    if (!u16(offset, &low) || !u16(offset + 2, &high)) return false;
    *v = low | static_cast<uint32_t>(high) << 16;
    return true;
  }
  // A NUL-terminated name inside the buffer.
  bool name(uint64_t offset, std::string* out) const {
    out->clear();
    for (uint64_t i = offset; i < size_; i++) {
      if (data_[i] == 0) return !out->empty();
      out->push_back(static_cast<char>(data_[i]));
    }
    return false;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

struct Section {
  std::string name;
  uint32_t rva;
  uint32_t virtualSize;
  uint32_t rawOffset;
  uint32_t rawSize;
  uint32_t characteristics;
};

struct Headers {
  uint32_t imageBase = 0;
  uint32_t imageSize = 0;
  uint32_t headersSize = 0;
  uint32_t entryRva = 0;
  uint32_t importRva = 0;
  uint32_t relocRva = 0;
  uint32_t relocSize = 0;
  std::vector<Section> sections;
};

// The checks the kernel makes before it maps anything: the file is a PE32
// image for i386 in the native subsystem, its headers and sections lie
// inside the file and the image, and it can be relocated.
bool readHeaders(const Bytes& file, Headers* h, std::string* error) {
  uint16_t mz = 0;
  uint32_t lfanew = 0, signature = 0;
  if (!file.u16(0, &mz) || mz != kDosMagic || !file.u32(kDosLfanew, &lfanew)) {
    *error = "not an executable image (no MZ header)";
    return false;
  }
  if (!file.u32(lfanew, &signature) || signature != kPeSignature) {
    *error = "no PE signature at " + hex(lfanew);
    return false;
  }
  uint64_t fileHeader = static_cast<uint64_t>(lfanew) + 4;
  uint16_t machine = 0, sectionCount = 0, optionalSize = 0, characteristics = 0, magic = 0, subsystem = 0;
  if (!file.has(fileHeader, kFileHeaderSize)) {
    *error = "truncated file header";
    return false;
  }
  file.u16(fileHeader, &machine);
  file.u16(fileHeader + 2, &sectionCount);
  file.u16(fileHeader + 16, &optionalSize);
  file.u16(fileHeader + 18, &characteristics);
  if (machine != kMachineI386) {
    *error = "machine " + hex(machine) + " is not i386 (0x14C)";
    return false;
  }
  uint64_t optional = fileHeader + kFileHeaderSize;
  if (optionalSize < kOptionalHeaderFixed + 8 * (kDirBaseReloc + 1) || !file.has(optional, optionalSize)) {
    *error = "truncated optional header";
    return false;
  }
  file.u16(optional, &magic);
  if (magic != kMagicPe32) {
    *error = "optional header magic " + hex(magic) + " is not PE32 (0x10B)";
    return false;
  }
  file.u16(optional + 68, &subsystem);
  if (subsystem != kSubsystemNative) {
    *error = "subsystem " + std::to_string(subsystem) + " is not native (1)";
    return false;
  }
  uint32_t directoryCount = 0;
  file.u32(optional + 16, &h->entryRva);
  file.u32(optional + 28, &h->imageBase);
  file.u32(optional + 56, &h->imageSize);
  file.u32(optional + 60, &h->headersSize);
  file.u32(optional + 92, &directoryCount);
  if (directoryCount > kDirImport) file.u32(optional + kOptionalHeaderFixed + 8 * kDirImport, &h->importRva);
  if (directoryCount > kDirBaseReloc) {
    file.u32(optional + kOptionalHeaderFixed + 8 * kDirBaseReloc, &h->relocRva);
    file.u32(optional + kOptionalHeaderFixed + 8 * kDirBaseReloc + 4, &h->relocSize);
  }
  if ((characteristics & kFileRelocsStripped) || h->relocRva == 0 || h->relocSize == 0) {
    *error = "no base relocations: the image could run only at its preferred base " + hex(h->imageBase);
    return false;
  }
  if (h->imageSize == 0 || h->imageSize > kMaxImageSize || h->headersSize > h->imageSize ||
      !file.has(0, h->headersSize)) {
    *error = "image size " + hex(h->imageSize) + " or header size " + hex(h->headersSize) + " is damaged";
    return false;
  }
  if (h->entryRva == 0 || h->entryRva >= h->imageSize) {
    *error = "entry point " + hex(h->entryRva) + " lies outside the image";
    return false;
  }
  uint64_t table = optional + optionalSize;
  if (!file.has(table, static_cast<uint64_t>(sectionCount) * kSectionHeaderSize)) {
    *error = "truncated section table";
    return false;
  }
  for (uint16_t i = 0; i < sectionCount; i++) {
    uint64_t at = table + static_cast<uint64_t>(i) * kSectionHeaderSize;
    Section s{};
    const char* name = reinterpret_cast<const char*>(file.data() + at);
    s.name.assign(name, strnlen(name, 8));
    file.u32(at + 8, &s.virtualSize);
    file.u32(at + 12, &s.rva);
    file.u32(at + 16, &s.rawSize);
    file.u32(at + 20, &s.rawOffset);
    file.u32(at + 36, &s.characteristics);
    uint64_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
    if (s.rva < h->headersSize || s.rva + span > h->imageSize) {
      *error = "section " + s.name + " lies outside the image";
      return false;
    }
    if (s.rawSize != 0 && !file.has(s.rawOffset, s.rawSize)) {
      *error = "section " + s.name + " runs past the end of the file (truncated image?)";
      return false;
    }
    h->sections.push_back(s);
  }
  return true;
}

// Adds the distance between the actual and the preferred base to every
// 32-bit address the image holds, as the relocation blocks list them.
bool relocate(uint8_t* image, const Headers& h, uint32_t delta, uint32_t* applied, std::string* error) {
  if (h.relocRva >= h.imageSize || h.relocSize > h.imageSize - h.relocRva) {
    *error = "the base relocation directory lies outside the image";
    return false;
  }
  Bytes relocs(image + h.relocRva, h.relocSize);
  uint32_t at = 0;
  while (at < h.relocSize) {
    uint32_t page = 0, blockSize = 0;
    if (!relocs.u32(at, &page) || !relocs.u32(at + 4, &blockSize) || blockSize < 8 || blockSize % 2 != 0 ||
        !relocs.has(at, blockSize)) {
      *error = "malformed base relocation block at " + hex(h.relocRva + at);
      return false;
    }
    for (uint32_t e = at + 8; e < at + blockSize; e += 2) {
      uint16_t entry = 0;
      relocs.u16(e, &entry);
      uint16_t type = static_cast<uint16_t>(entry >> 12);
      uint32_t rva = page + (entry & 0x0FFFu);
      if (type == kRelocAbsolute) continue;
      if (type != kRelocHighLow) {
        *error = "base relocation of type " + std::to_string(type) + " at " + hex(rva) +
                 "; an i386 image has only HIGHLOW";
        return false;
      }
      if (rva > h.imageSize - 4) {
        *error = "base relocation at " + hex(rva) + " lies outside the image";
        return false;
      }
      uint32_t value;
      std::memcpy(&value, image + rva, 4);
      value += delta;
      std::memcpy(image + rva, &value, 4);
      (*applied)++;
    }
    at += blockSize;
  }
  return true;
}

// Fills each import address table with the routines of this kernel, by
// module and name. An import the kernel does not export fails the load, as
// on the real system.
bool bind(uint8_t* image, const Headers& h, uint32_t* bound, std::string* error) {
  if (h.importRva == 0) return true;
  Bytes view(image, h.imageSize);
  for (uint32_t index = 0;; index++) {
    uint64_t d = static_cast<uint64_t>(h.importRva) + index * kImportDescriptorSize;
    uint32_t lookup = 0, nameRva = 0, iat = 0;
    if (!view.u32(d, &lookup) || !view.u32(d + 12, &nameRva) || !view.u32(d + 16, &iat)) {
      *error = "import descriptor " + std::to_string(index) + " lies outside the image";
      return false;
    }
    if (lookup == 0 && nameRva == 0 && iat == 0) return true;
    std::string module;
    if (!view.name(nameRva, &module)) {
      *error = "import descriptor " + std::to_string(index) + " has no readable module name";
      return false;
    }
    uint32_t thunks = lookup != 0 ? lookup : iat;
    for (uint32_t t = 0;; t++) {
      uint32_t thunk = 0;
      uint64_t slot = static_cast<uint64_t>(iat) + 4ull * t;
      if (!view.u32(static_cast<uint64_t>(thunks) + 4ull * t, &thunk) || !view.has(slot, 4)) {
        *error = "import list of " + module + " runs outside the image";
        return false;
      }
      if (thunk == 0) break;
      if (thunk & kOrdinalFlag) {
        *error = "imports " + module + "!#" + std::to_string(thunk & 0xFFFF) +
                 " by ordinal; this kernel binds by name only";
        return false;
      }
      std::string routine;
      if (!view.name(static_cast<uint64_t>(thunk) + 2, &routine)) {
        *error = "import " + std::to_string(t) + " of " + module + " has no readable name";
        return false;
      }
      const KernelExport* e = findExport(module, routine);
      if (e == nullptr) {
        *error = "imports " + module + "!" + routine + ", which the kernel does not export";
        return false;
      }
      uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e->address));
      std::memcpy(image + slot, &address, 4);
      (*bound)++;
    }
  }
}

// Code is readable and executable, data readable and perhaps writable, as
// the section flags ask; a write into code faults instead of passing.
void protect(uint8_t* image, const Headers& h) {
  mprotect(image, (h.headersSize + kPage - 1) & ~(kPage - 1), PROT_READ);
  for (const Section& s : h.sections) {
    uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
    uint32_t length = (span + kPage - 1) & ~(kPage - 1);
    int prot = PROT_READ;
    if (s.characteristics & kSectionExecute) prot |= PROT_EXEC;
    if (s.characteristics & kSectionWrite) prot |= PROT_WRITE;
    if (length != 0 && s.rva % kPage == 0) mprotect(image + s.rva, length, prot);
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
  Headers h;
  if (!readHeaders(Bytes(file.data(), file.size()), &h, error)) return nullptr;

  uint32_t size = (h.imageSize + kPage - 1) & ~(kPage - 1);
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
  image->preferredBase_ = h.imageBase;
  image->entryRva_ = h.entryRva;
  g_mapped++;

  uint8_t* bytes = static_cast<uint8_t*>(p);
  std::memcpy(bytes, file.data(), h.headersSize);
  for (const Section& s : h.sections) {
    uint32_t copied = s.virtualSize != 0 && s.virtualSize < s.rawSize ? s.virtualSize : s.rawSize;
    if (copied != 0) std::memcpy(bytes + s.rva, file.data() + s.rawOffset, copied);
  }
  uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)) - h.imageBase;
  if (!relocate(bytes, h, delta, &image->relocations_, error) || !bind(bytes, h, &image->imports_, error)) {
    return nullptr;
  }
  protect(bytes, h);
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
