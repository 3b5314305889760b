#include "EventView.h"

#include <cstdio>

#include "catalogue.h"

namespace board {
namespace {
const sim::CatalogueEntry* find(uint32_t id) {
  for (size_t i = 0; i < sim::kCatalogueSize; i++) {
    if (sim::kCatalogue[i].id == id) return &sim::kCatalogue[i];
  }
  return nullptr;
}
}  // namespace

std::string eventText(const sim::LoggedEvent& event) {
  const sim::CatalogueEntry* entry = find(event.errorCode);
  if (entry == nullptr) {
    return "(no message for this identifier)";
  }
  std::string out;
  for (const char* p = entry->text; *p != 0; p++) {
    // Inserts %1 .. %9: the object's name, then the insertion strings.
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
      size_t n = static_cast<size_t>(p[1] - '1');
      if (n == 0) {
        out += event.objectName;
      } else if (n - 1 < event.strings.size()) {
        out += event.strings[n - 1];
      } else {
        out += p[0];
        out += p[1];
      }
      p++;
    } else {
      out += *p;
    }
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string eventLine(const sim::LoggedEvent& event) {
  const sim::CatalogueEntry* entry = find(event.errorCode);
  char head[256];
  snprintf(head, sizeof(head),
           "event: %s id=0x%08X object=%s unique=0x%08X major=%u ioctl=0x%08X final=0x%08X strings=%u text=",
           entry ? entry->name : "UNKNOWN", event.errorCode, event.objectName.c_str(), event.uniqueValue,
           static_cast<unsigned>(event.majorFunction), event.ioControlCode, event.finalStatus,
           static_cast<unsigned>(event.numberOfStrings));
  return head + eventText(event);
}

}  // namespace board
