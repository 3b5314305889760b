#include "version_resource.h"

#include <cstddef>

#include "pe_image.h"

namespace pecheck {
namespace {

constexpr uint32_t kFixedSignature = 0xFEEF04BDu;
constexpr size_t kFixedInfoSize = 52;  // VS_FIXEDFILEINFO
constexpr size_t kNodeHeader = 6;      // wLength, wValueLength, wType
constexpr uint16_t kTextValue = 1;     // wType: the value is UTF-16 text
constexpr int kMaxDepth = 3;           // VS_VERSIONINFO, StringFileInfo, StringTable, String

uint16_t get16(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint16_t>(d[at] | (d[at + 1] << 8));
}

uint32_t get32(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint32_t>(get16(d, at)) | (static_cast<uint32_t>(get16(d, at + 2)) << 16);
}

size_t align4(size_t at) { return (at + 3) & ~static_cast<size_t>(3); }

// One node of the block: its key, where its value lies, where its children
// start and where it ends. Offsets are from the start of the block, whose
// 32-bit alignment is the one the format pads to.
struct Node {
  std::string key;
  uint16_t type = 0;
  size_t value = 0;
  size_t valueBytes = 0;
  size_t children = 0;
  size_t end = 0;
};

// UTF-16 text from `at` up to its NUL or `end`; the offset after the NUL.
std::string readText(const std::vector<uint8_t>& d, size_t at, size_t end, size_t* after) {
  size_t units = 0;
  while (at + units * 2 + 1 < end && get16(d, at + units * 2) != 0) units++;
  if (after != nullptr) *after = at + units * 2 + 2;
  return pe::utf16ToUtf8(d.data() + at, units);
}

bool readNode(const std::vector<uint8_t>& d, size_t at, size_t limit, Node* node, std::string* error) {
  if (at + kNodeHeader > limit) {
    *error = "version resource: a node runs past its parent";
    return false;
  }
  uint16_t length = get16(d, at);
  uint16_t valueLength = get16(d, at + 2);
  node->type = get16(d, at + 4);
  node->end = at + length;
  if (length < kNodeHeader || node->end > limit) {
    *error = "version resource: a node's length runs past its parent";
    return false;
  }
  size_t afterKey = 0;
  node->key = readText(d, at + kNodeHeader, node->end, &afterKey);
  node->value = align4(afterKey);
  node->valueBytes = node->type == kTextValue ? valueLength * 2u : valueLength;
  if (node->value > node->end) node->value = node->end;
  if (node->valueBytes > node->end - node->value) node->valueBytes = node->end - node->value;
  node->children = align4(node->value + node->valueBytes);
  return true;
}

bool readChildren(const std::vector<uint8_t>& d, const Node& parent, int depth, VersionInfo* out,
                  std::string* error) {
  for (size_t at = parent.children; at + kNodeHeader <= parent.end;) {
    Node child;
    if (!readNode(d, at, parent.end, &child, error)) return false;
    if (depth == kMaxDepth) {
      out->strings[child.key] = readText(d, child.value, child.value + child.valueBytes, nullptr);
    } else if (depth > 1 || child.key == "StringFileInfo") {
      if (!readChildren(d, child, depth + 1, out, error)) return false;
    }
    at = align4(child.end);  // past `at`: a node is at least its header
  }
  return true;
}

}  // namespace

bool decodeVersionResource(const std::vector<uint8_t>& data, VersionInfo* out, std::string* error) {
  *out = VersionInfo();
  Node root;
  if (!readNode(data, 0, data.size(), &root, error)) return false;
  if (root.key != "VS_VERSION_INFO") {
    *error = "version resource: the block is '" + root.key + "', not VS_VERSION_INFO";
    return false;
  }
  if (root.valueBytes < kFixedInfoSize || get32(data, root.value) != kFixedSignature) {
    *error = "version resource: no VS_FIXEDFILEINFO";
    return false;
  }
  const size_t numbers[] = {root.value + 8, root.value + 16};  // file, product: MS then LS
  uint16_t* targets[] = {out->fileVersion, out->productVersion};
  for (int i = 0; i < 2; i++) {
    uint32_t ms = get32(data, numbers[i]);
    uint32_t ls = get32(data, numbers[i] + 4);
    targets[i][0] = static_cast<uint16_t>(ms >> 16);
    targets[i][1] = static_cast<uint16_t>(ms);
    targets[i][2] = static_cast<uint16_t>(ls >> 16);
    targets[i][3] = static_cast<uint16_t>(ls);
  }
  return readChildren(data, root, 1, out, error);
}

std::string versionText(const uint16_t (&version)[4]) {
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) +
         "." + std::to_string(version[3]);
}

std::vector<std::string> versionMismatches(const VersionInfo& info, const std::string& version) {
  std::vector<std::string> found;
  if (versionText(info.fileVersion) != version) {
    found.push_back("FILEVERSION is " + versionText(info.fileVersion) + ", not " + version);
  }
  if (versionText(info.productVersion) != version) {
    found.push_back("PRODUCTVERSION is " + versionText(info.productVersion) + ", not " + version);
  }
  for (const char* name : {"FileVersion", "ProductVersion"}) {
    auto s = info.strings.find(name);
    if (s == info.strings.end()) {
      found.push_back(std::string("no ") + name + " string");
    } else if (s->second != version) {
      found.push_back(std::string(name) + " is '" + s->second + "', not " + version);
    }
  }
  return found;
}

}  // namespace pecheck
