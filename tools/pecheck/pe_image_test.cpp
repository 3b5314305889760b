#include "pe_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "checks.h"

namespace pecheck {
namespace {

using namespace pe;

// Little-endian byte buffer with back-patching.
struct Blob {
  std::vector<uint8_t> b;
  size_t size() const { return b.size(); }
  void u8(uint8_t v) { b.push_back(v); }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v));
    u8(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  }
  void str(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    u8(0);
  }
  void align(size_t n) {
    while (b.size() % n) u8(0);
  }
  void put32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

struct MessageBlock {
  uint32_t low;
  std::vector<std::u16string> texts;
};

// MESSAGE_RESOURCE_DATA with Unicode entries.
std::vector<uint8_t> messageTable(const std::vector<MessageBlock>& blocks) {
  Blob t;
  t.u32(static_cast<uint32_t>(blocks.size()));
  size_t entries = 4 + blocks.size() * 12;
  std::vector<Blob> bodies;
  for (const MessageBlock& block : blocks) {
    t.u32(block.low);
    t.u32(block.low + static_cast<uint32_t>(block.texts.size()) - 1);
    t.u32(static_cast<uint32_t>(entries));
    Blob body;
    for (const std::u16string& text : block.texts) {
      // Header, text, terminating NUL, padded to a multiple of four.
      uint16_t length = static_cast<uint16_t>((4 + (text.size() + 1) * 2 + 3) & ~3u);
      size_t start = body.size();
      body.u16(length);
      body.u16(1);
      for (char16_t c : text) body.u16(c);
      body.u16(0);
      while (body.size() - start < length) body.u8(0);
    }
    entries += body.size();
    bodies.push_back(body);
  }
  for (const Blob& body : bodies) t.b.insert(t.b.end(), body.b.begin(), body.b.end());
  return t.b;
}

struct ImageRecipe {
  uint16_t machine = kMachineI386;
  uint16_t magic = kMagicPe32;
  uint16_t subsystem = kSubsystemNative;
  uint16_t characteristics = 0x2102;
  // A name of the form "#N" imports ordinal N.
  std::vector<std::pair<std::string, std::vector<std::string>>> imports = {
      {"ntoskrnl.exe", {"KeQuerySystemTime", "DbgPrint"}}, {"HAL.dll", {"KeStallExecutionProcessor"}}};
  bool relocs = true;
  std::vector<uint8_t> messages;  // empty: no resources
  uint32_t messageLanguage = kLangEnglishUs;
};

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kHeadersSize = 0x200;
constexpr size_t kChecksumOffset = 0x40 + 4 + 20 + 64;

// A one-section PE32 image holding the import, relocation and resource
// directories the recipe asks for.
std::vector<uint8_t> buildImage(const ImageRecipe& recipe) {
  Blob sec;
  uint32_t importRva = 0, importSize = 0, relocRva = 0, relocSize = 0, rsrcRva = 0, rsrcSize = 0;
  sec.u32(0xCCCCCCCC);  // stands in for code

  if (!recipe.imports.empty()) {
    sec.align(4);
    size_t descriptors = sec.size();
    importRva = kSectionRva + static_cast<uint32_t>(descriptors);
    importSize = static_cast<uint32_t>((recipe.imports.size() + 1) * 20);
    sec.b.resize(descriptors + importSize, 0);
    for (size_t d = 0; d < recipe.imports.size(); d++) {
      const auto& dll = recipe.imports[d];
      sec.align(4);
      size_t nameAt = sec.size();
      sec.str(dll.first);
      std::vector<uint32_t> thunks;
      for (const std::string& fn : dll.second) {
        if (fn[0] == '#') {
          thunks.push_back(0x80000000u | static_cast<uint32_t>(std::stoul(fn.substr(1))));
          continue;
        }
        sec.align(2);
        thunks.push_back(kSectionRva + static_cast<uint32_t>(sec.size()));
        sec.u16(0);
        sec.str(fn);
      }
      sec.align(4);
      size_t thunkAt = sec.size();
      for (uint32_t t : thunks) sec.u32(t);
      sec.u32(0);
      size_t desc = descriptors + d * 20;
      sec.put32(desc, kSectionRva + static_cast<uint32_t>(thunkAt));
      sec.put32(desc + 12, kSectionRva + static_cast<uint32_t>(nameAt));
      sec.put32(desc + 16, kSectionRva + static_cast<uint32_t>(thunkAt));
    }
  }

  if (recipe.relocs) {
    sec.align(4);
    relocRva = kSectionRva + static_cast<uint32_t>(sec.size());
    sec.u32(kSectionRva);
    sec.u32(12);
    sec.u16(0x3000);  // HIGHLOW at the section's first word
    sec.u16(0x0000);  // padding
    relocSize = 12;
  }

  if (!recipe.messages.empty()) {
    sec.align(4);
    size_t root = sec.size();
    rsrcRva = kSectionRva + static_cast<uint32_t>(root);
    // Three directories of one id entry each, then the data entry.
    const uint32_t ids[] = {kResourceMessageTable, 1, recipe.messageLanguage};
    for (int level = 0; level < 3; level++) {
      sec.u32(0);
      sec.u32(0);
      sec.u16(0);
      sec.u16(0);
      sec.u16(0);
      sec.u16(1);
      sec.u32(ids[level]);
      uint32_t next = static_cast<uint32_t>(sec.size() + 4 - root);
      sec.u32(level < 2 ? (0x80000000u | next) : next);
    }
    size_t dataEntry = sec.size();
    sec.u32(0);
    sec.u32(static_cast<uint32_t>(recipe.messages.size()));
    sec.u32(0);
    sec.u32(0);
    sec.put32(dataEntry, kSectionRva + static_cast<uint32_t>(sec.size()));
    sec.b.insert(sec.b.end(), recipe.messages.begin(), recipe.messages.end());
    rsrcSize = static_cast<uint32_t>(sec.size() - root);
  }
  sec.align(0x200);

  Blob img;
  img.u16(0x5A4D);
  img.b.resize(0x3C, 0);
  img.u32(0x40);
  img.u32(0x00004550);
  img.u16(recipe.machine);
  img.u16(1);  // sections
  img.u32(0);
  img.u32(0);
  img.u32(0);
  img.u16(224);
  img.u16(recipe.characteristics);
  size_t optional = img.size();
  img.u16(recipe.magic);
  img.b.resize(optional + 16, 0);
  img.u32(kSectionRva);  // entry point
  img.b.resize(optional + 28, 0);
  img.u32(0x10000);  // image base
  img.u32(0x1000);   // section alignment
  img.u32(0x200);    // file alignment
  img.b.resize(optional + 56, 0);
  img.u32(kSectionRva + static_cast<uint32_t>(sec.size()));  // image size
  img.u32(kHeadersSize);
  img.u32(0);  // checksum
  img.u16(recipe.subsystem);
  img.b.resize(optional + 92, 0);
  img.u32(16);
  const std::pair<uint32_t, uint32_t> dirs[16] = {
      {0, 0}, {importRva, importSize}, {rsrcRva, rsrcSize}, {0, 0}, {0, 0}, {relocRva, relocSize}};
  for (const auto& d : dirs) {
    img.u32(d.first);
    img.u32(d.second);
  }
  const char name[8] = ".data";
  img.b.insert(img.b.end(), name, name + 8);
  img.u32(static_cast<uint32_t>(sec.size()));
  img.u32(kSectionRva);
  img.u32(static_cast<uint32_t>(sec.size()));
  img.u32(kHeadersSize);
  img.b.resize(img.size() + 12, 0);
  img.u32(0xC0000040);
  img.b.resize(kHeadersSize, 0);
  img.b.insert(img.b.end(), sec.b.begin(), sec.b.end());
  return img.b;
}

PeImage loaded(const std::vector<uint8_t>& bytes) {
  PeImage image;
  std::string error;
  EXPECT_TRUE(image.load(bytes, &error)) << error;
  return image;
}

std::vector<std::string> importNames(const PeImage& image) {
  std::vector<Import> imports;
  std::string error;
  EXPECT_TRUE(image.imports(&imports, &error)) << error;
  std::vector<std::string> names;
  for (const Import& i : imports) names.push_back(i.qualifiedName());
  return names;
}

bool mentions(const std::vector<std::string>& findings, const std::string& word) {
  for (const std::string& f : findings) {
    if (f.find(word) != std::string::npos) return true;
  }
  return false;
}

TEST(PeImage, WellFormedDriverPassesAndListsImports) {
  PeImage image = loaded(buildImage(ImageRecipe{}));
  EXPECT_TRUE(checkDriverImage(image).empty());
  EXPECT_EQ(importNames(image),
            (std::vector<std::string>{"ntoskrnl.exe!KeQuerySystemTime", "ntoskrnl.exe!DbgPrint",
                                      "HAL.dll!KeStallExecutionProcessor"}));
}

// What a loader maps and binds by: the header fields, the slot each import
// is bound through (its import address table entry, which holds the RVA of
// its hint and name until then) and the RVA of each address to relocate.
TEST(PeImage, HeadersSlotsAndRelocationsAreReadForTheLoader) {
  std::vector<uint8_t> bytes = buildImage(ImageRecipe{});
  PeImage image = loaded(bytes);
  EXPECT_EQ(image.entryRva(), kSectionRva);
  EXPECT_EQ(image.imageBase(), 0x10000u);
  EXPECT_EQ(image.headersSize(), kHeadersSize);
  EXPECT_GT(image.imageSize(), kSectionRva);
  ASSERT_EQ(image.sections().size(), 1u);
  EXPECT_EQ(image.sections()[0].characteristics, 0xC0000040u);

  std::vector<Import> imports;
  std::string error;
  ASSERT_TRUE(image.imports(&imports, &error)) << error;
  ASSERT_EQ(imports.size(), 3u);
  EXPECT_EQ(imports[1].slotRva, imports[0].slotRva + 4);  // one table per module, one slot per import
  for (const Import& imp : imports) {
    size_t slot = 0;
    ASSERT_TRUE(image.rvaToOffset(imp.slotRva, 4, &slot)) << imp.function;
    uint32_t hintName = bytes[slot] | bytes[slot + 1] << 8 | bytes[slot + 2] << 16 | bytes[slot + 3] << 24;
    size_t name = 0;
    ASSERT_TRUE(image.rvaToOffset(hintName + 2, 1, &name));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[name])), imp.function);
  }

  Relocations relocs;
  ASSERT_TRUE(image.relocations(&relocs, &error)) << error;
  EXPECT_EQ(relocs.blocks, 1u);
  EXPECT_EQ(relocs.highLow, (std::vector<uint32_t>{kSectionRva}));
}

TEST(PeImage, OrdinalImportIsNamedByNumber) {
  ImageRecipe recipe;
  recipe.imports = {{"ntoskrnl.exe", {"#42", "DbgPrint"}}};
  EXPECT_EQ(importNames(loaded(buildImage(recipe))),
            (std::vector<std::string>{"ntoskrnl.exe!#42", "ntoskrnl.exe!DbgPrint"}));
}

TEST(PeImage, ModuleOtherThanKernelAndHalIsRejected) {
  ImageRecipe recipe;
  recipe.imports.push_back({"KERNEL32.dll", {"Beep"}});
  auto findings = checkDriverImage(loaded(buildImage(recipe)));
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_TRUE(mentions(findings, "KERNEL32.dll"));
}

TEST(PeImage, KernelModuleNamesCompareWithoutCase) {
  ImageRecipe recipe;
  recipe.imports = {{"NTOSKRNL.EXE", {"DbgPrint"}}, {"hal.DLL", {"KeStallExecutionProcessor"}}};
  EXPECT_TRUE(checkDriverImage(loaded(buildImage(recipe))).empty());
}

TEST(PeImage, WrongMachineAndSubsystemAreReported) {
  ImageRecipe recipe;
  recipe.machine = 0x8664;
  recipe.subsystem = 2;
  auto findings = checkDriverImage(loaded(buildImage(recipe)));
  EXPECT_TRUE(mentions(findings, "machine 0x8664"));
  EXPECT_TRUE(mentions(findings, "subsystem 2"));
}

TEST(ConsoleProgram, SystemDllsOnlyAndConsoleSubsystem) {
  ImageRecipe recipe;
  recipe.subsystem = kSubsystemConsole;
  recipe.imports = {{"KERNEL32.dll", {"CreateFileA", "DeviceIoControl"}}, {"msvcrt.dll", {"printf"}}};
  EXPECT_TRUE(checkConsoleProgram(loaded(buildImage(recipe))).empty());

  recipe.imports.push_back({"libstdc++-6.dll", {"_ZNSt8ios_base4InitC1Ev"}});
  recipe.imports.push_back({"libgcc_s_dw2-1.dll", {"__udivdi3"}});
  auto findings = checkConsoleProgram(loaded(buildImage(recipe)));
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_TRUE(mentions(findings, "libstdc++-6.dll"));
  EXPECT_TRUE(mentions(findings, "libgcc_s_dw2-1.dll"));
}

TEST(ConsoleProgram, DriverOrGuiImageIsNotAConsoleProgram) {
  ImageRecipe recipe;
  recipe.imports = {{"KERNEL32.dll", {"ExitProcess"}}};
  EXPECT_TRUE(mentions(checkConsoleProgram(loaded(buildImage(recipe))), "subsystem 1"));
  recipe.subsystem = 2;
  recipe.machine = 0x8664;
  auto findings = checkConsoleProgram(loaded(buildImage(recipe)));
  EXPECT_TRUE(mentions(findings, "subsystem 2"));
  EXPECT_TRUE(mentions(findings, "machine 0x8664"));
}

TEST(PeImage, Pe32PlusIsRefusedAtLoad) {
  ImageRecipe recipe;
  recipe.magic = 0x20B;
  PeImage image;
  std::string error;
  EXPECT_FALSE(image.load(buildImage(recipe), &error));
  EXPECT_NE(error.find("PE32"), std::string::npos) << error;
}

TEST(PeImage, MissingOrStrippedRelocationsAreReported) {
  ImageRecipe recipe;
  recipe.relocs = false;
  EXPECT_TRUE(mentions(checkDriverImage(loaded(buildImage(recipe))), "relocation"));

  ImageRecipe stripped;
  stripped.characteristics |= kFileRelocsStripped;
  EXPECT_TRUE(mentions(checkDriverImage(loaded(buildImage(stripped))), "stripped"));
}

TEST(PeImage, ChecksumIsTheFoldedWordSumPlusLength) {
  std::vector<uint8_t> bytes = buildImage(ImageRecipe{});
  bytes.push_back(0xAB);  // an odd length pads the last word with zero
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    sum += bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
  }
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  uint32_t expected = static_cast<uint32_t>(sum + bytes.size());
  EXPECT_EQ(loaded(bytes).computeChecksum(), expected);

  // The stored field itself does not enter the sum.
  for (int i = 0; i < 4; i++) bytes[kChecksumOffset + i] = static_cast<uint8_t>(expected >> (8 * i));
  PeImage good = loaded(bytes);
  EXPECT_EQ(good.checksum(), expected);
  EXPECT_TRUE(checkDriverImage(good).empty());

  bytes[kChecksumOffset] ^= 1;
  EXPECT_TRUE(mentions(checkDriverImage(loaded(bytes)), "checksum"));
}

TEST(PeImage, MessagesDecodeFromTheResourceTree) {
  ImageRecipe recipe;
  recipe.messages = messageTable(
      {{0x40040001, {u"Driver started.\r\n", u"caf\u00e9 \U0001F600"}}, {0xC0040010, {u"Ba\\d\tthing"}}});
  std::vector<Message> messages;
  std::string error;
  ASSERT_TRUE(loaded(buildImage(recipe)).messages(&messages, &error)) << error;
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].id, 0x40040001u);
  EXPECT_EQ(messages[0].text, "Driver started.\r\n");
  EXPECT_EQ(messages[1].id, 0x40040002u);
  EXPECT_EQ(messages[1].text, "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(messages[2].id, 0xC0040010u);
  EXPECT_EQ(escapeText(messages[0].text), "Driver started.\\r\\n");
  EXPECT_EQ(escapeText(messages[2].text), "Ba\\\\d\\tthing");
}

TEST(PeImage, MessagesNeedLanguage1033) {
  ImageRecipe recipe;
  recipe.messages = messageTable({{1, {u"x"}}});
  recipe.messageLanguage = 1031;
  std::vector<Message> messages;
  std::string error;
  EXPECT_FALSE(loaded(buildImage(recipe)).messages(&messages, &error));
  EXPECT_NE(error.find("language 1033"), std::string::npos) << error;
}

TEST(MessageTable, MalformedTablesFailInsteadOfLooping) {
  std::vector<Message> out;
  std::string error;
  // An entry of length 0 would never advance.
  std::vector<uint8_t> zeroLength = {1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 16, 0, 0, 0, 0, 0, 1, 0};
  EXPECT_FALSE(decodeMessageTable(zeroLength, &out, &error));
  // A block that ends before it starts.
  std::vector<uint8_t> backwards = {1, 0, 0, 0, 5, 0, 0, 0, 4, 0, 0, 0, 16, 0, 0, 0};
  EXPECT_FALSE(decodeMessageTable(backwards, &out, &error));
  // More blocks than bytes.
  std::vector<uint8_t> tooMany = {0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_FALSE(decodeMessageTable(tooMany, &out, &error));
}

TEST(Utf16, SurrogatesPairOrBecomeReplacement) {
  const uint8_t text[] = {0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8, 0x42, 0x00, 0x00, 0x00, 0x43, 0x00};
  EXPECT_EQ(utf16ToUtf8(text, 7),
            "A\xF0\x9F\x98\x80\xEF\xBF\xBD"
            "B");
}

TEST(AllowList, FunctionsAndQualifiedNames) {
  ImportAllowList list;
  list.parse("# kernel\nDbgPrint\n  HAL.DLL!KeStallExecutionProcessor  # stall\n\n");
  EXPECT_TRUE(list.allows({"ntoskrnl.exe", "DbgPrint", 0}));
  EXPECT_TRUE(list.allows({"hal.dll", "KeStallExecutionProcessor", 0}));
  EXPECT_FALSE(list.allows({"ntoskrnl.exe", "KeStallExecutionProcessor", 0}));
  EXPECT_FALSE(list.allows({"ntoskrnl.exe", "dbgprint", 0}));
  EXPECT_FALSE(list.allows({"ntoskrnl.exe", "kernel", 0}));
}

// Every strict prefix of a valid image is refused, and any answer comes
// without reading past the buffer (this binary runs under AddressSanitizer).
TEST(Robustness, EveryTruncationIsRefused) {
  ImageRecipe recipe;
  recipe.messages = messageTable({{1, {u"one", u"two"}}});
  std::vector<uint8_t> full = buildImage(recipe);
  for (size_t n = 0; n < full.size(); n++) {
    PeImage image;
    std::string error;
    EXPECT_FALSE(image.load(std::vector<uint8_t>(full.begin(), full.begin() + n), &error)) << n;
    EXPECT_FALSE(error.empty()) << n;
  }
}

TEST(Robustness, CorruptedImagesNeverCrash) {
  ImageRecipe recipe;
  recipe.messages = messageTable({{1, {u"one", u"two"}}, {9, {u"nine"}}});
  const std::vector<uint8_t> full = buildImage(recipe);
  std::mt19937 rng(12345);
  int refused = 0;
  for (int round = 0; round < 3000; round++) {
    std::vector<uint8_t> bytes = full;
    int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; f++) {
      // Most corruption goes to the headers and directories, where it matters.
      size_t at = rng() % 2 ? rng() % 0x200 : 0x200 + rng() % (bytes.size() - 0x200);
      bytes[at] = static_cast<uint8_t>(rng());
    }
    PeImage image;
    std::string error;
    if (!image.load(bytes, &error)) {
      refused++;
      continue;
    }
    std::vector<Import> imports;
    std::vector<Message> messages;
    Relocations relocs;
    image.imports(&imports, &error);
    image.messages(&messages, &error);
    image.relocations(&relocs, &error);
    checkDriverImage(image);
  }
  EXPECT_GT(refused, 0);
}

TEST(Robustness, GarbageBehindValidSignaturesIsHandled) {
  std::mt19937 rng(777);
  for (int round = 0; round < 500; round++) {
    std::vector<uint8_t> bytes(64 + rng() % 2048);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;
    bytes[0x3D] = bytes[0x3E] = bytes[0x3F] = 0;
    if (bytes.size() >= 0x44) {
      bytes[0x40] = 'P';
      bytes[0x41] = 'E';
      bytes[0x42] = bytes[0x43] = 0;
    }
    PeImage image;
    std::string error;
    if (image.load(bytes, &error)) {
      std::vector<Import> imports;
      std::vector<Message> messages;
      image.imports(&imports, &error);
      image.messages(&messages, &error);
      checkDriverImage(image);
    }
  }
  PeImage image;
  std::string error;
  std::vector<uint8_t> farLfanew = {'M', 'Z'};
  farLfanew.resize(0x40, 0);
  farLfanew[0x3C] = farLfanew[0x3D] = farLfanew[0x3E] = farLfanew[0x3F] = 0xFF;
  EXPECT_FALSE(image.load(farLfanew, &error));
  EXPECT_FALSE(image.loadFile("/nonexistent/tamrixsc.sys", &error));
}

}  // namespace
}  // namespace pecheck
