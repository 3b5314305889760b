#include "msgtable.h"

#include <cstdio>

namespace msgtable {

namespace {

constexpr uint32_t kRtMessageTable = 11;
constexpr uint32_t kMessageTableName = 1;
constexpr uint32_t kLanguageEnglishUs = 1033;
constexpr uint16_t kUnicodeEntry = 1;

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// Little-endian reads that fail instead of reading past the end.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool u16(size_t off, uint16_t* v) const {
    if (off > size_ || size_ - off < 2) return false;
    *v = static_cast<uint16_t>(data_[off] | data_[off + 1] << 8);
    return true;
  }
  bool u32(size_t off, uint32_t* v) const {
    if (off > size_ || size_ - off < 4) return false;
    *v = static_cast<uint32_t>(data_[off]) | static_cast<uint32_t>(data_[off + 1]) << 8 |
         static_cast<uint32_t>(data_[off + 2]) << 16 | static_cast<uint32_t>(data_[off + 3]) << 24;
    return true;
  }
  bool has(size_t off, size_t len) const { return off <= size_ && size_ - off >= len; }
  const uint8_t* at(size_t off) const { return data_ + off; }
  size_t size() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

struct Section {
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawSize;
  uint32_t rawOffset;
};

class Image {
 public:
  explicit Image(const std::vector<uint8_t>& file) : file_(file.data(), file.size()) {}

  // Finds the resource directory; false when the image has none.
  bool load(std::string* error) {
    uint16_t magic = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!file_.u16(0, &magic) || magic != 0x5A4D || !file_.u32(0x3C, &peOffset) ||
        !file_.u32(peOffset, &signature) || signature != 0x00004550) {
      *error = "not a PE image";
      return false;
    }
    const size_t coff = size_t{peOffset} + 4;
    uint16_t sectionCount = 0, optionalSize = 0, optionalMagic = 0;
    if (!file_.u16(coff + 2, &sectionCount) || !file_.u16(coff + 16, &optionalSize) ||
        !file_.u16(coff + 20, &optionalMagic)) {
      *error = "truncated file header";
      return false;
    }
    const size_t optional = coff + 20;
    // Data directories: at 96 in a PE32 optional header, at 112 in PE32+.
    size_t directories;
    if (optionalMagic == 0x10B) {
      directories = optional + 96;
    } else if (optionalMagic == 0x20B) {
      directories = optional + 112;
    } else {
      *error = "unknown optional header " + hex(optionalMagic);
      return false;
    }
    uint32_t directoryCount = 0;
    const size_t countOffset = directories - 4;
    if (!file_.u32(countOffset, &directoryCount)) {
      *error = "truncated optional header";
      return false;
    }
    uint32_t resourceSize = 0;
    resourceRva_ = 0;
    const size_t resourceEntry = directories + 2 * 8;
    if (directoryCount > 2 && resourceEntry + 8 <= optional + optionalSize) {
      if (!file_.u32(resourceEntry, &resourceRva_) || !file_.u32(resourceEntry + 4, &resourceSize)) {
        *error = "truncated data directories";
        return false;
      }
    }
    const size_t table = optional + optionalSize;
    for (uint16_t i = 0; i < sectionCount; i++) {
      Section s{};
      const size_t h = table + size_t{i} * 40;
      if (!file_.u32(h + 8, &s.virtualSize) || !file_.u32(h + 12, &s.virtualAddress) ||
          !file_.u32(h + 16, &s.rawSize) || !file_.u32(h + 20, &s.rawOffset)) {
        *error = "truncated section table";
        return false;
      }
      sections_.push_back(s);
    }
    if (resourceRva_ == 0 || resourceSize == 0) {
      *error = "the image has no resources";
      return false;
    }
    if (!map(resourceRva_, resourceSize, &resourceOffset_)) {
      *error = "the resource directory lies outside the file";
      return false;
    }
    resourceSize_ = resourceSize;
    return true;
  }

  // File offset of `size` bytes at `rva`, which must lie in one section's
  // file data.
  bool map(uint32_t rva, uint32_t size, size_t* offset) const {
    for (const Section& s : sections_) {
      if (rva < s.virtualAddress) continue;
      const uint32_t delta = rva - s.virtualAddress;
      if (delta >= s.rawSize || s.rawSize - delta < size) continue;
      const size_t off = size_t{s.rawOffset} + delta;
      if (!file_.has(off, size)) return false;
      *offset = off;
      return true;
    }
    return false;
  }

  // Follows the directory entry with integer name `id`; `offset` is relative
  // to the resource directory and is replaced by the entry's target.
  bool enter(uint32_t id, bool wantDirectory, uint32_t* offset, std::string* error) const {
    const Bytes dir(file_.at(resourceOffset_), resourceSize_);
    uint16_t named = 0, ids = 0;
    if (!dir.u16(*offset + 12, &named) || !dir.u16(*offset + 14, &ids)) {
      *error = "truncated resource directory";
      return false;
    }
    // Named entries come first; integer names follow.
    for (uint32_t i = named; i < uint32_t{named} + ids; i++) {
      uint32_t name = 0, target = 0;
      const size_t e = size_t{*offset} + 16 + size_t{i} * 8;
      if (!dir.u32(e, &name) || !dir.u32(e + 4, &target)) {
        *error = "truncated resource directory";
        return false;
      }
      if (name != id) continue;
      if (((target & 0x80000000u) != 0) != wantDirectory) {
        *error = "resource tree has an unexpected shape";
        return false;
      }
      *offset = target & 0x7FFFFFFFu;
      return true;
    }
    *error = "no resource entry " + std::to_string(id);
    return false;
  }

  bool resource(const uint32_t (&path)[3], Bytes* data, std::string* error) const {
    uint32_t offset = 0;
    if (!enter(path[0], true, &offset, error) || !enter(path[1], true, &offset, error) ||
        !enter(path[2], false, &offset, error)) {
      return false;
    }
    const Bytes dir(file_.at(resourceOffset_), resourceSize_);
    uint32_t rva = 0, size = 0;
    if (!dir.u32(offset, &rva) || !dir.u32(offset + 4, &size)) {
      *error = "truncated resource data entry";
      return false;
    }
    size_t fileOffset;
    if (!map(rva, size, &fileOffset)) {
      *error = "resource data lies outside the file";
      return false;
    }
    *data = Bytes(file_.at(fileOffset), size);
    return true;
  }

 private:
  Bytes file_;
  std::vector<Section> sections_;
  uint32_t resourceRva_ = 0;
  size_t resourceOffset_ = 0;
  uint32_t resourceSize_ = 0;
};

bool decodeEntry(const Bytes& table, size_t off, uint32_t id, size_t* length, Message* message,
                 std::string* error) {
  uint16_t size = 0, flags = 0;
  if (!table.u16(off, &size) || !table.u16(off + 2, &flags) || size < 4 || !table.has(off, size)) {
    *error = "entry " + hex(id) + " is malformed";
    return false;
  }
  message->id = id;
  message->unicode = flags == kUnicodeEntry;
  message->text.clear();
  if (message->unicode) {
    if (size % 2 != 0) {
      *error = "entry " + hex(id) + " has an odd UTF-16 length";
      return false;
    }
    for (size_t p = off + 4; p < off + size; p += 2) {
      uint16_t unit = 0;
      if (!table.u16(p, &unit) || unit >= 0x80) {
        *error = "entry " + hex(id) + " holds a character outside ASCII";
        return false;
      }
      message->text += static_cast<char>(unit);
    }
  } else {
    message->text.assign(reinterpret_cast<const char*>(table.at(off + 4)), size - 4);
  }
  // The compiler terminates and pads each text with NULs.
  while (!message->text.empty() && message->text.back() == '\0') message->text.pop_back();
  *length = size;
  return true;
}

}  // namespace

bool readMessageTable(const std::vector<uint8_t>& file, std::vector<Message>* messages, std::string* error) {
  messages->clear();
  Image image(file);
  if (!image.load(error)) return false;
  Bytes table(nullptr, 0);
  if (!image.resource({kRtMessageTable, kMessageTableName, kLanguageEnglishUs}, &table, error)) {
    *error = "message table: " + *error;
    return false;
  }
  uint32_t blocks = 0;
  if (!table.u32(0, &blocks) || !table.has(4, size_t{blocks} * 12)) {
    *error = "message table: truncated block list";
    return false;
  }
  for (uint32_t b = 0; b < blocks; b++) {
    uint32_t low = 0, high = 0, entries = 0;
    if (!table.u32(4 + size_t{b} * 12, &low) || !table.u32(8 + size_t{b} * 12, &high) ||
        !table.u32(12 + size_t{b} * 12, &entries)) {
      *error = "message table: truncated block list";
      return false;
    }
    if (high < low) {
      *error = "message table: block " + hex(low) + ".." + hex(high) + " is reversed";
      return false;
    }
    size_t off = entries;
    for (uint64_t id = low; id <= high; id++) {
      Message m;
      size_t length;
      if (!decodeEntry(table, off, static_cast<uint32_t>(id), &length, &m, error)) {
        *error = "message table: " + *error;
        return false;
      }
      messages->push_back(m);
      off += length;
    }
  }
  return true;
}

}  // namespace msgtable
