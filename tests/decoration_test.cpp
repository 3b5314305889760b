// The binding of images to the simulated kernel, held to mingw-w64's import
// libraries: the image calls each routine with the convention and argument
// size its decorated name in the library states (_KeSetTimerEx@20 pops 20
// bytes, @IofCompleteRequest@8 takes its first two in ECX and EDX,
// _DbgPrint leaves the stack to the caller). The simulated kernel's routine
// must be declared the same way, or the stack is silently corrupted.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "sim/image.h"

namespace {

// The names in the symbol index of an ar archive (its first member, "/"):
// a big-endian count, that many big-endian member offsets, then the names.
std::set<std::string> archiveSymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::set<std::string> names;
  constexpr size_t kMagic = 8, kMemberHeader = 60;
  if (bytes.compare(0, kMagic, "!<arch>\n") != 0 || bytes.size() < kMagic + kMemberHeader + 4 ||
      bytes.compare(kMagic, 2, "/ ") != 0) {
    return names;
  }
  size_t size = std::stoul(bytes.substr(kMagic + 48, 10));
  size_t body = kMagic + kMemberHeader;
  if (body + size > bytes.size()) return names;
  auto be32 = [&](size_t at) {
    return static_cast<uint32_t>(
        static_cast<uint8_t>(bytes[at]) << 24 | static_cast<uint8_t>(bytes[at + 1]) << 16 |
        static_cast<uint8_t>(bytes[at + 2]) << 8 | static_cast<uint8_t>(bytes[at + 3]));
  };
  uint32_t count = be32(body);
  size_t at = body + 4 + 4 * static_cast<size_t>(count);
  for (uint32_t i = 0; i < count && at < body + size; i++) {
    size_t end = bytes.find('\0', at);
    if (end == std::string::npos) break;
    names.insert(bytes.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

std::string decorated(const sim::KernelExport& e) {
  std::string size = std::to_string(e.argumentBytes);
  switch (e.convention) {
    case sim::Convention::Stdcall: return "_" + std::string(e.name) + "@" + size;
    case sim::Convention::Fastcall: return "@" + std::string(e.name) + "@" + size;
    case sim::Convention::Cdecl: break;
  }
  return "_" + std::string(e.name);
}

// Every import symbol the library has for a routine, whatever its
// decoration, for the failure message.
std::string spellingsOf(const std::set<std::string>& symbols, const std::string& name) {
  std::string found;
  for (const std::string& s : symbols) {
    if (s.rfind("__imp_", 0) == 0 && s.find(name) != std::string::npos) found += " " + s;
  }
  return found.empty() ? " none" : found;
}

TEST(Decoration, EveryExportMatchesTheImportLibraryOfItsModule) {
  std::set<std::string> kernel = archiveSymbols(IMPORT_LIB_NTOSKRNL);
  std::set<std::string> hal = archiveSymbols(IMPORT_LIB_HAL);
  ASSERT_GT(kernel.size(), 1000u) << IMPORT_LIB_NTOSKRNL;
  ASSERT_GT(hal.size(), 50u) << IMPORT_LIB_HAL;
  ASSERT_FALSE(sim::kernelExports().empty());
  for (const sim::KernelExport& e : sim::kernelExports()) {
    bool isHal = std::string(e.module) == "HAL.dll";
    ASSERT_TRUE(isHal || std::string(e.module) == "ntoskrnl.exe") << e.module;
    const std::set<std::string>& library = isHal ? hal : kernel;
    std::string symbol = "__imp_" + decorated(e);
    EXPECT_EQ(library.count(symbol), 1u) << e.module << "!" << e.name << " is declared as " << symbol
                                         << "; the import library has" << spellingsOf(library, e.name);
  }
}

TEST(Decoration, ConventionsAreReadOffTheDeclarations) {
  const sim::KernelExport* setTimer = sim::findExport("ntoskrnl.exe", "KeSetTimerEx");
  const sim::KernelExport* complete = sim::findExport("ntoskrnl.exe", "IofCompleteRequest");
  const sim::KernelExport* print = sim::findExport("ntoskrnl.exe", "DbgPrint");
  ASSERT_TRUE(setTimer && complete && print);
  EXPECT_EQ(decorated(*setTimer), "_KeSetTimerEx@20");  // the due time is 8 bytes
  EXPECT_EQ(decorated(*complete), "@IofCompleteRequest@8");
  EXPECT_EQ(decorated(*print), "_DbgPrint");
}

}  // namespace
