#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pe {
namespace {

constexpr size_t kDosLfanew = 0x3C;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kOptionalHeaderFixed = 96;  // PE32, before the data directories
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kMaxDirectories = 16;
constexpr uint32_t kMaxSections = 96;
constexpr size_t kImportDescriptorSize = 20;
constexpr uint32_t kOrdinalFlag = 0x80000000u;
constexpr uint32_t kResourceSubdirFlag = 0x80000000u;
constexpr uint32_t kResourceNameFlag = 0x80000000u;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;
constexpr uint16_t kMessageUnicode = 0x0001;
constexpr uint16_t kMessageUtf8 = 0x0002;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Bounds-checked little-endian reads within one byte range.
class View {
 public:
  View(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit View(const std::vector<uint8_t>& v) : data_(v.data()), size_(v.size()) {}

  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }
  bool has(size_t offset, size_t length) const { return offset <= size_ && length <= size_ - offset; }
  bool u16(size_t offset, uint16_t* v) const {
    if (!has(offset, 2)) return false;
    *v = get16(data_ + offset);
    return true;
  }
  bool u32(size_t offset, uint32_t* v) const {
    if (!has(offset, 4)) return false;
    *v = get32(data_ + offset);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%X", v);
  return buf;
}

void appendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// One level of a resource directory: the entry with numeric id `id`.
bool findResourceEntry(const View& rsrc, uint32_t dirOffset, uint32_t id, uint32_t* entryValue,
                       std::string* error) {
  uint16_t named = 0;
  uint16_t ids = 0;
  if (!rsrc.u16(dirOffset + 12, &named) || !rsrc.u16(dirOffset + 14, &ids)) {
    *error = "resource directory at " + hex(dirOffset) + " lies outside the resource data";
    return false;
  }
  uint32_t count = static_cast<uint32_t>(named) + ids;
  for (uint32_t i = 0; i < count; i++) {
    size_t entry = static_cast<size_t>(dirOffset) + 16 + static_cast<size_t>(i) * 8;
    uint32_t name = 0;
    uint32_t value = 0;
    if (!rsrc.u32(entry, &name) || !rsrc.u32(entry + 4, &value)) {
      *error = "resource directory at " + hex(dirOffset) + " runs past the resource data";
      return false;
    }
    if ((name & kResourceNameFlag) == 0 && name == id) {
      *entryValue = value;
      return true;
    }
  }
  *error = "no resource entry " + std::to_string(id) + " in the directory at " + hex(dirOffset);
  return false;
}

}  // namespace

std::string Import::qualifiedName() const {
  if (function.empty()) return dll + "!#" + std::to_string(ordinal);
  return dll + "!" + function;
}

bool PeImage::loadFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return load(std::move(bytes), error);
}

bool PeImage::load(std::vector<uint8_t> bytes, std::string* error) {
  bytes_ = std::move(bytes);
  directories_.clear();
  sections_.clear();
  View file(bytes_);

  uint16_t mz = 0;
  uint32_t lfanew = 0;
  if (!file.u16(0, &mz) || mz != 0x5A4D) {
    *error = "no MZ header";
    return false;
  }
  if (!file.u32(kDosLfanew, &lfanew)) {
    *error = "truncated DOS header";
    return false;
  }
  uint32_t signature = 0;
  if (!file.u32(lfanew, &signature) || signature != 0x00004550) {
    *error = "no PE signature at " + hex(lfanew);
    return false;
  }
  size_t fileHeader = static_cast<size_t>(lfanew) + 4;
  uint16_t sectionCount = 0;
  uint16_t optionalSize = 0;
  if (!file.has(fileHeader, kFileHeaderSize)) {
    *error = "truncated file header";
    return false;
  }
  file.u16(fileHeader, &machine_);
  file.u16(fileHeader + 2, &sectionCount);
  file.u16(fileHeader + 16, &optionalSize);
  file.u16(fileHeader + 18, &characteristics_);

  size_t optional = fileHeader + kFileHeaderSize;
  if (!file.has(optional, optionalSize) || !file.u16(optional, &magic_)) {
    *error = "truncated optional header";
    return false;
  }
  if (magic_ != kMagicPe32) {
    // Everything further on is laid out for PE32; stop at the magic.
    *error = "optional header magic " + hex(magic_) + " is not PE32 (0x10B)";
    return false;
  }
  if (optionalSize < kOptionalHeaderFixed) {
    *error = "optional header of " + std::to_string(optionalSize) + " bytes is too short for PE32";
    return false;
  }
  uint32_t directoryCount = 0;
  file.u32(optional + 16, &entryRva_);
  file.u32(optional + 28, &imageBase_);
  file.u32(optional + 56, &imageSize_);
  file.u32(optional + 60, &headersSize_);
  file.u32(optional + 64, &checksum_);
  file.u16(optional + 68, &subsystem_);
  file.u32(optional + 92, &directoryCount);
  checksumOffset_ = optional + 64;
  headersInFile_ = std::min<size_t>(headersSize_, bytes_.size());

  directoryCount = std::min(directoryCount, kMaxDirectories);
  if (kOptionalHeaderFixed + static_cast<size_t>(directoryCount) * 8 > optionalSize) {
    *error = "data directories run past the optional header";
    return false;
  }
  for (size_t i = 0; i < directoryCount; i++) {
    DataDirectory d;
    file.u32(optional + kOptionalHeaderFixed + i * 8, &d.rva);
    file.u32(optional + kOptionalHeaderFixed + i * 8 + 4, &d.size);
    directories_.push_back(d);
  }

  if (sectionCount > kMaxSections) {
    *error = std::to_string(sectionCount) + " sections is more than a PE image holds";
    return false;
  }
  size_t table = optional + optionalSize;
  if (!file.has(table, static_cast<size_t>(sectionCount) * kSectionHeaderSize)) {
    *error = "truncated section table";
    return false;
  }
  for (uint16_t i = 0; i < sectionCount; i++) {
    size_t h = table + static_cast<size_t>(i) * kSectionHeaderSize;
    Section s;
    const char* name = reinterpret_cast<const char*>(bytes_.data() + h);
    s.name.assign(name, strnlen(name, 8));
    file.u32(h + 8, &s.virtualSize);
    file.u32(h + 12, &s.virtualAddress);
    file.u32(h + 16, &s.rawSize);
    file.u32(h + 20, &s.rawOffset);
    file.u32(h + 36, &s.characteristics);
    if (!file.has(s.rawOffset, s.rawSize)) {
      *error = "section " + s.name + " runs past the end of the file";
      return false;
    }
    sections_.push_back(s);
  }
  return true;
}

DataDirectory PeImage::directory(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= directories_.size()) return DataDirectory{};
  return directories_[static_cast<size_t>(index)];
}

uint32_t PeImage::computeChecksum() const {
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes_.size(); i += 2) {
    uint32_t word = bytes_[i];
    if (i + 1 < bytes_.size()) word |= static_cast<uint32_t>(bytes_[i + 1]) << 8;
    if (checksumOffset_ != 0 && i >= checksumOffset_ && i < checksumOffset_ + 4) word = 0;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + bytes_.size());
}

bool PeImage::rvaToOffset(uint32_t rva, uint32_t size, size_t* offset) const {
  uint64_t end = static_cast<uint64_t>(rva) + size;
  if (end <= headersInFile_) {
    *offset = rva;
    return true;
  }
  for (const Section& s : sections_) {
    uint64_t start = s.virtualAddress;
    if (rva < start) continue;
    // Only the part of the section that the file holds can be read.
    if (end <= start + s.rawSize) {
      *offset = static_cast<size_t>(s.rawOffset) + (rva - s.virtualAddress);
      return true;
    }
  }
  return false;
}

bool PeImage::read16(size_t offset, uint16_t* value) const { return View(bytes_).u16(offset, value); }

bool PeImage::read32(size_t offset, uint32_t* value) const { return View(bytes_).u32(offset, value); }

bool PeImage::readString(uint32_t rva, std::string* out) const {
  size_t offset = 0;
  if (!rvaToOffset(rva, 1, &offset)) return false;
  out->clear();
  for (size_t i = offset; i < bytes_.size(); i++) {
    if (bytes_[i] == 0) return true;
    out->push_back(static_cast<char>(bytes_[i]));
  }
  return false;
}

bool PeImage::imports(std::vector<Import>* out, std::string* error) const {
  out->clear();
  DataDirectory dir = directory(kDirImport);
  if (dir.rva == 0 || dir.size == 0) return true;
  for (uint32_t index = 0;; index++) {
    size_t d = 0;
    uint32_t rva = dir.rva + index * static_cast<uint32_t>(kImportDescriptorSize);
    if (!rvaToOffset(rva, kImportDescriptorSize, &d)) {
      *error = "import descriptor " + std::to_string(index) + " lies outside the image";
      return false;
    }
    uint32_t lookup = 0, nameRva = 0, iat = 0;
    read32(d, &lookup);
    read32(d + 12, &nameRva);
    read32(d + 16, &iat);
    if (lookup == 0 && nameRva == 0 && iat == 0) return true;

    std::string dll;
    if (!readString(nameRva, &dll)) {
      *error = "import descriptor " + std::to_string(index) + " has no readable module name";
      return false;
    }
    uint32_t thunks = lookup != 0 ? lookup : iat;
    for (uint32_t t = 0;; t++) {
      size_t o = 0;
      uint32_t thunk = 0;
      if (!rvaToOffset(thunks + t * 4, 4, &o) || !read32(o, &thunk)) {
        *error = "import list of " + dll + " runs outside the image";
        return false;
      }
      if (thunk == 0) break;
      Import imp;
      imp.dll = dll;
      imp.slotRva = iat + t * 4;
      if (thunk & kOrdinalFlag) {
        imp.ordinal = static_cast<uint16_t>(thunk & 0xFFFF);
      } else {
        size_t h = 0;
        if (!rvaToOffset(thunk, 2, &h) || !read16(h, &imp.ordinal) || !readString(thunk + 2, &imp.function) ||
            imp.function.empty()) {
          *error = "import " + std::to_string(t) + " of " + dll + " has no readable name";
          return false;
        }
      }
      out->push_back(imp);
    }
  }
}

bool PeImage::relocations(Relocations* out, std::string* error) const {
  *out = Relocations{};
  DataDirectory dir = directory(kDirBaseReloc);
  if (dir.rva == 0 || dir.size == 0) {
    *error = "the base relocation directory is empty";
    return false;
  }
  size_t offset = 0;
  if (!rvaToOffset(dir.rva, dir.size, &offset)) {
    *error = "the base relocation directory lies outside the file";
    return false;
  }
  View relocs(bytes_.data() + offset, dir.size);
  size_t at = 0;
  while (at < relocs.size()) {
    uint32_t page = 0, blockSize = 0;
    if (!relocs.u32(at, &page) || !relocs.u32(at + 4, &blockSize) || blockSize < 8 || blockSize % 2 != 0 ||
        !relocs.has(at, blockSize)) {
      *error = "malformed base relocation block at " + hex(dir.rva + static_cast<uint32_t>(at));
      return false;
    }
    for (size_t e = at + 8; e < at + blockSize; e += 2) {
      uint16_t entry = 0;
      relocs.u16(e, &entry);
      uint16_t type = static_cast<uint16_t>(entry >> 12);
      uint32_t rva = page + (entry & 0x0FFFu);
      if (type == kRelocHighLow) {
        out->highLow.push_back(rva);
      } else if (type != kRelocAbsolute) {
        *error = "base relocation of type " + std::to_string(type) + " at " + hex(rva) +
                 "; an i386 image has only HIGHLOW";
        return false;
      }
    }
    out->blocks++;
    at += blockSize;
  }
  return true;
}

bool PeImage::findResource(uint32_t type, uint32_t name, uint32_t language, std::vector<uint8_t>* out,
                           std::string* error) const {
  DataDirectory dir = directory(kDirResource);
  size_t base = 0;
  if (dir.rva == 0 || dir.size == 0) {
    *error = "the image has no resources";
    return false;
  }
  if (!rvaToOffset(dir.rva, dir.size, &base)) {
    *error = "the resource directory lies outside the file";
    return false;
  }
  View rsrc(bytes_.data() + base, dir.size);
  uint32_t value = 0;
  const uint32_t path[] = {type, name, language};
  const char* what[] = {"type", "name", "language"};
  uint32_t at = 0;
  for (int level = 0; level < 3; level++) {
    if (!findResourceEntry(rsrc, at, path[level], &value, error)) {
      *error = "resource " + std::string(what[level]) + " " + std::to_string(path[level]) + ": " + *error;
      return false;
    }
    bool subdir = (value & kResourceSubdirFlag) != 0;
    if (subdir != (level < 2)) {
      *error =
          "resource " + std::string(what[level]) + " " + std::to_string(path[level]) +
          (subdir ? " is a directory where data was expected" : " is data where a directory was expected");
      return false;
    }
    at = value & ~kResourceSubdirFlag;
  }
  uint32_t dataRva = 0, dataSize = 0;
  if (!rsrc.u32(at, &dataRva) || !rsrc.u32(at + 4, &dataSize)) {
    *error = "resource data entry lies outside the resource data";
    return false;
  }
  size_t dataOffset = 0;
  if (!rvaToOffset(dataRva, dataSize, &dataOffset)) {
    *error = "resource data at " + hex(dataRva) + " lies outside the file";
    return false;
  }
  out->assign(bytes_.begin() + static_cast<std::ptrdiff_t>(dataOffset),
              bytes_.begin() + static_cast<std::ptrdiff_t>(dataOffset + dataSize));
  return true;
}

bool PeImage::messages(std::vector<Message>* out, std::string* error) const {
  std::vector<uint8_t> data;
  if (!findResource(kResourceMessageTable, 1, kLangEnglishUs, &data, error)) return false;
  return decodeMessageTable(data, out, error);
}

bool decodeMessageTable(const std::vector<uint8_t>& data, std::vector<Message>* out, std::string* error) {
  out->clear();
  View table(data);
  uint32_t blocks = 0;
  if (!table.u32(0, &blocks) || !table.has(4, static_cast<size_t>(blocks) * 12)) {
    *error = "message table: block array runs past the resource";
    return false;
  }
  for (uint32_t b = 0; b < blocks; b++) {
    uint32_t low = 0, high = 0, entries = 0;
    table.u32(4 + b * 12, &low);
    table.u32(8 + b * 12, &high);
    table.u32(12 + b * 12, &entries);
    if (high < low) {
      *error = "message table: block " + std::to_string(b) + " ends before it starts";
      return false;
    }
    size_t at = entries;
    for (uint64_t id = low; id <= high; id++) {
      uint16_t length = 0, flags = 0;
      if (!table.u16(at, &length) || !table.u16(at + 2, &flags) || length < 4 || !table.has(at, length)) {
        *error = "message table: entry " + hex(static_cast<uint32_t>(id)) + " is malformed";
        return false;
      }
      Message m;
      m.id = static_cast<uint32_t>(id);
      const uint8_t* text = table.data() + at + 4;
      size_t textBytes = length - 4u;
      m.unicode = (flags & kMessageUnicode) != 0;
      if (m.unicode) {
        m.text = utf16ToUtf8(text, textBytes / 2);
      } else if (flags & kMessageUtf8) {
        m.text.assign(reinterpret_cast<const char*>(text),
                      strnlen(reinterpret_cast<const char*>(text), textBytes));
      } else {
        // ANSI text, taken as Latin-1.
        for (size_t i = 0; i < textBytes && text[i] != 0; i++) appendUtf8(text[i], &m.text);
      }
      out->push_back(m);
      at += length;
    }
  }
  return true;
}

std::string utf16ToUtf8(const uint8_t* data, size_t units) {
  std::string out;
  for (size_t i = 0; i < units; i++) {
    uint32_t u = get16(data + 2 * i);
    if (u == 0) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
      uint32_t next = get16(data + 2 * (i + 1));
      if (next >= 0xDC00 && next < 0xE000) {
        appendUtf8(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00), &out);
        i++;
        continue;
      }
    }
    appendUtf8(u >= 0xD800 && u < 0xE000 ? 0xFFFD : u, &out);
  }
  return out;
}

}  // namespace pe
