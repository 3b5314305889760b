// catalogue_check: compares the message table compiled into the kernel image
// with the catalogue of the simulated event log. Both come from the same
// message-compiler source through different compilers (windmc for the
// image, mcgen for the host); the event viewer shows the image's texts while
// the host tests see the catalogue's, so they must agree exactly.
//
// usage: catalogue_check IMAGE.sys
// Exit status 0 when the image holds exactly the catalogue's identifiers
// with the same texts as Unicode entries, 1 otherwise (including an image
// that cannot be read), 2 on a usage error.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "catalogue.h"
#include "pe_image.h"

namespace {

std::string visible(const std::string& text) {
  std::string s;
  for (char c : text) {
    if (c == '\r') {
      s += "\\r";
    } else if (c == '\n') {
      s += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
      s += buf;
    } else {
      s += c;
    }
  }
  return "\"" + s + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: catalogue_check IMAGE.sys\n");
    return 2;
  }
  const char* path = argv[1];
  pe::PeImage image;
  std::string error;
  if (!image.loadFile(path, &error)) {
    std::fprintf(stderr, "catalogue_check: %s: %s (build the target first)\n", path, error.c_str());
    return 1;
  }
  std::vector<pe::Message> table;
  if (!image.messages(&table, &error)) {
    std::fprintf(stderr, "catalogue_check: %s: %s\n", path, error.c_str());
    return 1;
  }

  int problems = 0;
  std::map<uint32_t, const pe::Message*> inImage;
  for (const pe::Message& m : table) {
    if (!inImage.emplace(m.id, &m).second) {
      std::fprintf(stderr, "0x%08X: listed twice in the image\n", m.id);
      problems++;
    }
  }
  std::map<uint32_t, const sim::CatalogueEntry*> inCatalogue;
  for (size_t i = 0; i < sim::kCatalogueSize; i++) {
    const sim::CatalogueEntry& e = sim::kCatalogue[i];
    inCatalogue.emplace(e.id, &e);
    auto it = inImage.find(e.id);
    if (it == inImage.end()) {
      std::fprintf(stderr, "0x%08X %s: missing from the image\n", e.id, e.name);
      problems++;
      continue;
    }
    const pe::Message& m = *it->second;
    if (!m.unicode) {
      std::fprintf(stderr, "0x%08X %s: not a Unicode entry\n", e.id, e.name);
      problems++;
    }
    if (m.text != e.text) {
      std::fprintf(stderr, "0x%08X %s: image has %s, catalogue has %s\n", e.id, e.name,
                   visible(m.text).c_str(), visible(e.text).c_str());
      problems++;
    }
  }
  for (const pe::Message& m : table) {
    if (inCatalogue.count(m.id) == 0) {
      std::fprintf(stderr, "0x%08X: in the image but not in the catalogue: %s\n", m.id,
                   visible(m.text).c_str());
      problems++;
    }
  }
  if (problems != 0) {
    std::fprintf(stderr, "catalogue_check: %s: %d difference(s)\n", path, problems);
    return 1;
  }
  std::printf("%s: %zu messages, identical to the catalogue\n", path, table.size());
  return 0;
}
