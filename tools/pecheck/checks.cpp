#include "checks.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace pecheck {

using pe::Import;
using pe::PeImage;

namespace {

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%X", v);
  return buf;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::string escapeText(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\x%02X", u);
          out += buf;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

namespace {
// What every image for the 32-bit target must be: PE32, i386, and of the
// subsystem named.
void checkHeaders(const PeImage& image, uint16_t subsystem, const char* subsystemName,
                  std::vector<std::string>* findings) {
  if (image.magic() != pe::kMagicPe32) {
    findings->push_back("optional header magic " + hex(image.magic()) + ", expected PE32 (0x10B)");
  }
  if (image.machine() != pe::kMachineI386) {
    findings->push_back("machine " + hex(image.machine()) + ", expected i386 (0x14C)");
  }
  if (image.subsystem() != subsystem) {
    findings->push_back("subsystem " + std::to_string(image.subsystem()) + ", expected " + subsystemName +
                        " (" + std::to_string(subsystem) + ")");
  }
}

// One finding for each module the image imports from that `allowed` does
// not hold (lower case), worded by `why`.
void checkImportModules(const PeImage& image, const std::set<std::string>& allowed, const std::string& why,
                        std::vector<std::string>* findings) {
  std::string error;
  std::vector<Import> imports;
  if (!image.imports(&imports, &error)) {
    findings->push_back(error);
  }
  std::set<std::string> reported;
  for (const Import& imp : imports) {
    std::string dll = lower(imp.dll);
    if (allowed.count(dll) == 0 && reported.insert(dll).second) {
      findings->push_back("imports from " + imp.dll + why);
    }
  }
}
}  // namespace

std::vector<std::string> checkDriverImage(const PeImage& image) {
  std::vector<std::string> findings;
  checkHeaders(image, pe::kSubsystemNative, "native", &findings);
  if (image.characteristics() & pe::kFileRelocsStripped) {
    findings.push_back("the file header says relocations were stripped");
  }
  if (image.checksum() != 0 && image.checksum() != image.computeChecksum()) {
    findings.push_back("checksum " + hex(image.checksum()) + " does not match the file (" +
                       hex(image.computeChecksum()) + ")");
  }

  std::string error;
  pe::Relocations relocs;
  if (!image.relocations(&relocs, &error)) {
    findings.push_back(error);
  } else if (relocs.highLow.empty()) {
    findings.push_back("the base relocations fix up nothing");
  }
  checkImportModules(image, {"ntoskrnl.exe", "hal.dll"},
                     "; a driver may import only from ntoskrnl.exe and HAL.dll", &findings);
  return findings;
}

std::vector<std::string> checkConsoleProgram(const PeImage& image) {
  std::vector<std::string> findings;
  checkHeaders(image, pe::kSubsystemConsole, "console", &findings);
  // The system's own DLLs: a program that needs any other (a compiler's
  // runtime, for one) does not start on a machine that lacks it.
  checkImportModules(image, {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll", "user32.dll"},
                     ", which is not a system DLL", &findings);
  return findings;
}

bool ImportAllowList::loadFile(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  parse(text.str());
  return true;
}

void ImportAllowList::parse(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t comment = line.find('#');
    if (comment != std::string::npos) line.resize(comment);
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    size_t last = line.find_last_not_of(" \t\r");
    line = line.substr(first, last - first + 1);
    size_t bang = line.find('!');
    if (bang == std::string::npos) {
      functions_.insert(line);
    } else {
      qualified_.insert(lower(line.substr(0, bang)) + "!" + line.substr(bang + 1));
    }
  }
}

bool ImportAllowList::allows(const Import& import) const {
  std::string name = import.function.empty() ? "#" + std::to_string(import.ordinal) : import.function;
  return functions_.count(name) != 0 || qualified_.count(lower(import.dll) + "!" + name) != 0;
}

std::vector<std::string> ImportAllowList::missing(const std::vector<Import>& imports) const {
  std::set<std::string> present;
  for (const Import& imp : imports) present.insert(lower(imp.dll) + "!" + imp.function);
  std::vector<std::string> out;
  for (const std::string& q : qualified_) {
    if (present.count(q) == 0) out.push_back(q);
  }
  return out;
}

}  // namespace pecheck
