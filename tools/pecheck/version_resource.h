// The version resource of an image (type 16, VS_VERSIONINFO): the numbers
// of its fixed part and the strings of its string tables, which the file's
// properties and driver listings show.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pecheck {

constexpr uint32_t kResourceVersion = 16;

struct VersionInfo {
  uint16_t fileVersion[4] = {};                // FILEVERSION, most significant first
  uint16_t productVersion[4] = {};             // PRODUCTVERSION
  std::map<std::string, std::string> strings;  // StringFileInfo: name to value, every table
};

// Reads a VS_VERSIONINFO block; every read is checked against `data`.
bool decodeVersionResource(const std::vector<uint8_t>& data, VersionInfo* out, std::string* error);

// "1.2.3.4".
std::string versionText(const uint16_t (&version)[4]);

// What in `info` does not carry `version` ("1.2.3.4"): the two numbers and
// the FileVersion and ProductVersion strings. Empty when all four do.
std::vector<std::string> versionMismatches(const VersionInfo& info, const std::string& version);

}  // namespace pecheck
