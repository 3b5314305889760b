// The reader of the PE format: the one place that knows how a 32-bit PE
// image (PE32) is laid out. It reads the headers, the section table, the
// base relocations, the imports with the slot each is bound through, and
// the resources, among them the message table. The simulated kernel's
// loader maps and binds what it reads; pecheck checks and summarises it.
//
// Every read is checked against the file, so a truncated or malformed
// image yields an error, never a read outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pe {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint16_t kFileRelocsStripped = 0x0001;

constexpr uint32_t kSectionExecute = 0x20000000u;
constexpr uint32_t kSectionWrite = 0x80000000u;

constexpr int kDirImport = 1;
constexpr int kDirResource = 2;
constexpr int kDirBaseReloc = 5;

constexpr uint32_t kResourceMessageTable = 11;
constexpr uint32_t kLangEnglishUs = 1033;

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct Section {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
};

struct Import {
  std::string dll;
  std::string function;  // empty when imported by ordinal
  uint16_t ordinal = 0;
  uint32_t slotRva = 0;  // the import address table entry bound to it

  // "dll!function", or "dll!#ordinal".
  std::string qualifiedName() const;
};

// The base relocations: the 32-bit address fix-ups, by RVA, in the order
// of their blocks.
struct Relocations {
  uint32_t blocks = 0;
  std::vector<uint32_t> highLow;
};

struct Message {
  uint32_t id = 0;
  bool unicode = false;  // a UTF-16 entry, as the event viewer expects
  std::string text;      // UTF-8
};

class PeImage {
 public:
  // Takes the file's bytes and reads the headers and the section table.
  bool load(std::vector<uint8_t> bytes, std::string* error);
  bool loadFile(const std::string& path, std::string* error);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  uint16_t machine() const { return machine_; }
  uint16_t characteristics() const { return characteristics_; }
  uint16_t magic() const { return magic_; }
  uint16_t subsystem() const { return subsystem_; }
  uint32_t checksum() const { return checksum_; }
  uint32_t entryRva() const { return entryRva_; }
  uint32_t imageBase() const { return imageBase_; }
  uint32_t imageSize() const { return imageSize_; }
  uint32_t headersSize() const { return headersSize_; }
  const std::vector<Section>& sections() const { return sections_; }
  DataDirectory directory(int index) const;

  // The PE checksum of the file: 16-bit sums with end-around carry over the
  // whole file, the checksum field read as zero, plus the file length.
  uint32_t computeChecksum() const;

  bool imports(std::vector<Import>* out, std::string* error) const;
  bool relocations(Relocations* out, std::string* error) const;

  // The raw bytes of resource type/name/language, all given as numbers.
  bool findResource(uint32_t type, uint32_t name, uint32_t language, std::vector<uint8_t>* out,
                    std::string* error) const;
  // The message table of resource 11/1/1033, in the order of its blocks.
  bool messages(std::vector<Message>* out, std::string* error) const;

  // The file offset of an RVA whose `size` bytes lie in one section (or in
  // the headers).
  bool rvaToOffset(uint32_t rva, uint32_t size, size_t* offset) const;

 private:
  bool read16(size_t offset, uint16_t* value) const;
  bool read32(size_t offset, uint32_t* value) const;
  bool readString(uint32_t rva, std::string* out) const;

  std::vector<uint8_t> bytes_;
  size_t checksumOffset_ = 0;
  size_t headersInFile_ = 0;  // the headers the file holds
  uint16_t machine_ = 0;
  uint16_t characteristics_ = 0;
  uint16_t magic_ = 0;
  uint16_t subsystem_ = 0;
  uint32_t checksum_ = 0;
  uint32_t entryRva_ = 0;
  uint32_t imageBase_ = 0;
  uint32_t imageSize_ = 0;
  uint32_t headersSize_ = 0;
  std::vector<DataDirectory> directories_;
  std::vector<Section> sections_;
};

// The message-table resource body (MESSAGE_RESOURCE_DATA) decoded.
bool decodeMessageTable(const std::vector<uint8_t>& data, std::vector<Message>* out, std::string* error);

// UTF-16LE code units to UTF-8, up to the first NUL; an unpaired surrogate
// becomes U+FFFD.
std::string utf16ToUtf8(const uint8_t* data, size_t units);

}  // namespace pe
