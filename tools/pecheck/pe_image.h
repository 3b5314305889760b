// A reader of 32-bit PE images, enough to vet a kernel driver image: the
// headers, the import directory, the base relocations and the message-table
// resource. Every read is checked against the file, so a truncated or
// malformed image yields an error, never a read outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace pecheck {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint16_t kFileRelocsStripped = 0x0001;

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
};

struct Import {
  std::string dll;
  std::string function;  // empty when imported by ordinal
  uint16_t ordinal = 0;

  // "dll!function", or "dll!#ordinal".
  std::string qualifiedName() const;
};

struct Message {
  uint32_t id = 0;
  bool unicode = false;  // a UTF-16 entry, as the event viewer expects
  std::string text;      // UTF-8
};

struct RelocationSummary {
  uint32_t blocks = 0;
  uint32_t highLow = 0;  // 32-bit address fix-ups
};

class PeImage {
 public:
  // Takes the file's bytes and reads the headers and the section table.
  bool load(std::vector<uint8_t> bytes, std::string* error);
  bool loadFile(const std::string& path, std::string* error);

  uint16_t machine() const { return machine_; }
  uint16_t characteristics() const { return characteristics_; }
  uint16_t magic() const { return magic_; }
  uint16_t subsystem() const { return subsystem_; }
  uint32_t checksum() const { return checksum_; }
  const std::vector<Section>& sections() const { return sections_; }
  DataDirectory directory(int index) const;

  // The PE checksum of the file: 16-bit sums with end-around carry over the
  // whole file, the checksum field read as zero, plus the file length.
  uint32_t computeChecksum() const;

  bool imports(std::vector<Import>* out, std::string* error) const;
  bool relocations(RelocationSummary* out, std::string* error) const;

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
  size_t sizeOfHeaders_ = 0;
  uint16_t machine_ = 0;
  uint16_t characteristics_ = 0;
  uint16_t magic_ = 0;
  uint16_t subsystem_ = 0;
  uint32_t checksum_ = 0;
  std::vector<DataDirectory> directories_;
  std::vector<Section> sections_;
};

// The message-table resource body (MESSAGE_RESOURCE_DATA) decoded.
bool decodeMessageTable(const std::vector<uint8_t>& data, std::vector<Message>* out, std::string* error);

// UTF-16LE code units to UTF-8, up to the first NUL; an unpaired surrogate
// becomes U+FFFD.
std::string utf16ToUtf8(const uint8_t* data, size_t units);

// One line of text: backslash, CR, LF, tab and other control characters
// written as C escapes.
std::string escapeText(const std::string& text);

// The findings of the driver-image checks; empty when the image passes.
std::vector<std::string> checkDriverImage(const PeImage& image);

// The findings of the console-program checks (PE32, i386, console
// subsystem, imports only from DLLs every Windows installation has); empty
// when the program passes.
std::vector<std::string> checkConsoleProgram(const PeImage& image);

// An allow list of imported routines: one per line, either "Function"
// (from any permitted module) or "module!Function" (module compared without
// case). '#' starts a comment.
class ImportAllowList {
 public:
  bool loadFile(const std::string& path, std::string* error);
  void parse(const std::string& text);
  bool allows(const Import& import) const;
  // Listed routines (module!Routine entries) that `imports` lacks.
  std::vector<std::string> missing(const std::vector<Import>& imports) const;

 private:
  std::set<std::string> functions_;
  std::set<std::string> qualified_;  // module lower-cased
};

}  // namespace pecheck
