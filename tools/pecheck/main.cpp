// pecheck: vets a kernel driver image and lists what it imports or the
// messages it carries.
//
// Exit status: 0 when every check and listing succeeded, 1 when the image
// failed a check or a listing could not be read, 2 on a usage error.
// Findings go to stderr; listings go to stdout.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "checks.h"
#include "version_resource.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: pecheck [options] IMAGE\n"
               "  --imports             print each imported routine as module!name\n"
               "  --allow-imports FILE  fail on an imported routine that FILE does not list\n"
               "  --exact-imports FILE  as --allow-imports, and fail on a listed routine not imported\n"
               "  --messages            print the message table (type 11, name 1, language 1033)\n"
               "                        as 0xID<TAB>text, one message a line\n"
               "  --expect-version V    fail unless the version resource (type 16, name 1, language\n"
               "                        1033) carries V (\"1.2.3.4\") in its numbers and strings\n"
               "  --console             check a console program instead of a driver: PE32, i386,\n"
               "                        console subsystem, imports from system DLLs only\n"
               "  --no-checks           skip the driver-image checks\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool listImports = false;
  bool listMessages = false;
  bool checks = true;
  bool console = false;
  std::string allowFile;
  std::string expectedVersion;
  bool exact = false;
  std::string path;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--imports") {
      listImports = true;
    } else if (arg == "--messages") {
      listMessages = true;
    } else if (arg == "--console") {
      console = true;
    } else if (arg == "--no-checks") {
      checks = false;
    } else if (arg == "--expect-version" && i + 1 < argc) {
      expectedVersion = argv[++i];
    } else if ((arg == "--allow-imports" || arg == "--exact-imports") && i + 1 < argc) {
      exact = arg == "--exact-imports";
      allowFile = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "pecheck: unknown option %s\n", arg.c_str());
      usage(stderr);
      return 2;
    } else if (path.empty()) {
      path = arg;
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (path.empty()) {
    usage(stderr);
    return 2;
  }

  pe::PeImage image;
  std::string error;
  if (!image.loadFile(path, &error)) {
    std::fprintf(stderr, "pecheck: %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }

  std::vector<std::string> findings;
  if (checks) findings = console ? pecheck::checkConsoleProgram(image) : pecheck::checkDriverImage(image);

  if (listImports || !allowFile.empty()) {
    std::vector<pe::Import> imports;
    if (!image.imports(&imports, &error)) {
      findings.push_back(error);
    }
    pecheck::ImportAllowList allowed;
    if (!allowFile.empty() && !allowed.loadFile(allowFile, &error)) {
      std::fprintf(stderr, "pecheck: %s\n", error.c_str());
      return 2;
    }
    for (const pe::Import& imp : imports) {
      if (listImports) std::printf("%s\n", imp.qualifiedName().c_str());
      if (!allowFile.empty() && !allowed.allows(imp)) {
        findings.push_back("imports " + imp.qualifiedName() + ", which " + allowFile + " does not allow");
      }
    }
    if (exact) {
      for (const std::string& m : allowed.missing(imports)) {
        findings.push_back("does not import " + m + ", which " + allowFile + " lists");
      }
    }
  }

  if (listMessages) {
    std::vector<pe::Message> messages;
    if (!image.messages(&messages, &error)) {
      findings.push_back("message table: " + error);
    }
    std::stable_sort(messages.begin(), messages.end(),
                     [](const pe::Message& a, const pe::Message& b) { return a.id < b.id; });
    for (const pe::Message& m : messages) {
      std::printf("0x%08X\t%s\n", m.id, pecheck::escapeText(m.text).c_str());
    }
  }

  if (!expectedVersion.empty()) {
    std::vector<uint8_t> data;
    pecheck::VersionInfo info;
    if (!image.findResource(pecheck::kResourceVersion, 1, pe::kLangEnglishUs, &data, &error) ||
        !pecheck::decodeVersionResource(data, &info, &error)) {
      findings.push_back("version resource: " + error);
    } else {
      for (const std::string& m : pecheck::versionMismatches(info, expectedVersion)) {
        findings.push_back("version resource: " + m);
      }
    }
  }

  for (const std::string& f : findings) {
    std::fprintf(stderr, "pecheck: %s: %s\n", path.c_str(), f.c_str());
  }
  if (!findings.empty()) return 1;
  if (checks) std::fprintf(stderr, "pecheck: %s: ok\n", path.c_str());
  return 0;
}
