#include "version_resource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes* b, uint32_t v) {
  b->push_back(static_cast<uint8_t>(v));
  b->push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes* b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}

void pad4(Bytes* b) {
  while (b->size() % 4 != 0) b->push_back(0);
}

void putText(Bytes* b, const std::string& s) {
  for (char c : s) put16(b, static_cast<uint8_t>(c));
  put16(b, 0);
}

// One node as the resource compiler lays it out: header, key, value,
// children, each part 32-bit aligned. Nodes are built at offset 0 mod 4.
Bytes node(const std::string& key, uint16_t type, const Bytes& value, uint16_t valueLength,
           const std::vector<Bytes>& children) {
  Bytes b;
  put16(&b, 0);  // length, filled in below
  put16(&b, valueLength);
  put16(&b, type);
  putText(&b, key);
  pad4(&b);
  b.insert(b.end(), value.begin(), value.end());
  for (const Bytes& c : children) {
    pad4(&b);
    b.insert(b.end(), c.begin(), c.end());
  }
  b[0] = static_cast<uint8_t>(b.size());
  b[1] = static_cast<uint8_t>(b.size() >> 8);
  return b;
}

Bytes text(const std::string& key, const std::string& value) {
  Bytes v;
  putText(&v, value);
  return node(key, 1, v, static_cast<uint16_t>(value.size() + 1), {});
}

Bytes versionBlock(uint32_t fileMs, uint32_t fileLs, const std::string& fileVersion) {
  Bytes fixed;
  put32(&fixed, 0xFEEF04BD);
  put32(&fixed, 0x00010000);
  put32(&fixed, fileMs);
  put32(&fixed, fileLs);
  put32(&fixed, 0x00010002);  // product 1.2.3.4
  put32(&fixed, 0x00030004);
  for (int i = 0; i < 7; i++) put32(&fixed, 0);
  Bytes table = node("040904B0", 1, {}, 0,
                     {text("FileVersion", fileVersion), text("ProductVersion", "1.2.3.4"),
                      text("OriginalFilename", "x.sys")});
  Bytes strings = node("StringFileInfo", 1, {}, 0, {table});
  Bytes translation;
  put32(&translation, 0x04B00409);
  Bytes vars = node("VarFileInfo", 1, {}, 0, {node("Translation", 0, translation, 4, {})});
  return node("VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()), {strings, vars});
}

TEST(VersionResource, NumbersAndStringsOfEveryTable) {
  pecheck::VersionInfo info;
  std::string error;
  ASSERT_TRUE(pecheck::decodeVersionResource(versionBlock(0x00010002, 0x00030004, "1.2.3.4"), &info, &error))
      << error;
  EXPECT_EQ(pecheck::versionText(info.fileVersion), "1.2.3.4");
  EXPECT_EQ(pecheck::versionText(info.productVersion), "1.2.3.4");
  EXPECT_EQ(info.strings.at("OriginalFilename"), "x.sys");
  EXPECT_EQ(info.strings.count("Translation"), 0u);  // VarFileInfo holds no strings
  EXPECT_TRUE(pecheck::versionMismatches(info, "1.2.3.4").empty());
}

TEST(VersionResource, EachPlaceThatDisagreesIsNamed) {
  pecheck::VersionInfo info;
  std::string error;
  ASSERT_TRUE(pecheck::decodeVersionResource(versionBlock(0x00010002, 0x00030005, "1.2.3"), &info, &error));
  auto found = pecheck::versionMismatches(info, "1.2.3.4");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], "FILEVERSION is 1.2.3.5, not 1.2.3.4");
  EXPECT_EQ(found[1], "FileVersion is '1.2.3', not 1.2.3.4");
}

TEST(VersionResource, TruncatedOrForeignBlocksFail) {
  Bytes whole = versionBlock(0x00010002, 0x00030004, "1.2.3.4");
  for (size_t size = 0; size < whole.size(); size++) {
    Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    pecheck::VersionInfo info;
    std::string error;
    // A cut inside the fixed part or a child fails; a cut in the last
    // string may still read; none may read outside the bytes.
    if (!pecheck::decodeVersionResource(cut, &info, &error)) {
      EXPECT_FALSE(error.empty()) << size;
    }
  }
  Bytes other = node("SOMETHING_ELSE", 0, Bytes(52, 0), 52, {});
  pecheck::VersionInfo info;
  std::string error;
  EXPECT_FALSE(pecheck::decodeVersionResource(other, &info, &error));
  EXPECT_NE(error.find("not VS_VERSION_INFO"), std::string::npos);
}

}  // namespace
