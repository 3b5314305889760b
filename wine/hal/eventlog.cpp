// The error log: entries the driver writes become event-viewer lines on the
// HAL's output, with the text from the message table of the driver's own
// image, as the event viewer takes it from the event source's message file.
#include <cstdio>
#include <map>

#include "Gaps.h"
#include "Hal.h"
#include "platform.h"

namespace winehal {
namespace {
struct MessageName {
  uint32_t id;
  const char* name;
};
// The symbolic names of the catalogue, from the header windmc made of it.
const MessageName kNames[] = {
#include "msgnames.inc"
};

struct OpenEntry {
  PVOID object;
  UCHAR size;
};

std::map<PVOID, OpenEntry>& openEntries() {
  static std::map<PVOID, OpenEntry> map;
  return map;
}

std::string narrow(const char16_t* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count && text[i] != 0; i++) {
    char16_t c = text[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The object's name in the object manager's namespace, through Wine's own
// ObQueryNameString: "\Device\..." or "\Driver\...".
std::string objectName(PVOID object) {
  using Query = NTSTATUS(NTAPI*)(PVOID, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<Query>(wineRoutine("ObQueryNameString"));
  ULONG buffer[256] = {};
  ULONG size = 0;
  const UNICODE_STRING* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
  // Wine names its device objects in the object namespace but not its
  // driver objects: an object without a name there is the driver, whose
  // name the driver object holds.
  if (query == nullptr || !NT_SUCCESS(query(object, buffer, sizeof(buffer), &size))) {
    name = &static_cast<PDRIVER_OBJECT>(object)->DriverName;
  }
  return narrow(reinterpret_cast<const char16_t*>(name->Buffer), name->Length / sizeof(WCHAR));
}

// The image the object belongs to, whose message table the entry's code
// names a message of. Wine leaves the objects' Type fields zero; the name
// tells a device from a driver.
PVOID imageOf(PVOID object, const std::string& name) {
  if (name.rfind("\\Device\\", 0) == 0) return static_cast<PDEVICE_OBJECT>(object)->DriverObject->DriverStart;
  return static_cast<PDRIVER_OBJECT>(object)->DriverStart;
}

// The viewer's text: %1 the object's name, %2 on the entry's strings; the
// closing line break left out.
std::string viewerText(PVOID image, uint32_t id, const std::string& object,
                       const std::vector<std::string>& strings) {
  std::u16string stored;
  if (!win32::messageText(image, id, &stored)) return "(no message for this identifier)";
  std::string text = narrow(stored.c_str(), stored.size());
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      size_t n = static_cast<size_t>(text[i + 1] - '1');
      if (n == 0) {
        out += object;
      } else if (n - 1 < strings.size()) {
        out += strings[n - 1];
      } else {
        out += text.substr(i, 2);
      }
      i++;
    } else {
      out += text[i];
    }
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}
}  // namespace
}  // namespace winehal

// The I/O manager zeroes the entry it hands out; it refuses one larger than
// ERROR_LOG_MAXIMUM_SIZE.
extern "C" PVOID NTAPI gap_IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  if (IoObject == nullptr || EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
  PVOID entry = win32::allocateZeroed(EntrySize);
  if (entry == nullptr) return nullptr;
  win32::Hold hold(winehal::hal().boardLock);
  winehal::openEntries()[entry] = {IoObject, EntrySize};
  return entry;
}

extern "C" VOID NTAPI gap_IoWriteErrorLogEntry(PVOID ElEntry) {
  winehal::OpenEntry open;
  {
    win32::Hold hold(winehal::hal().boardLock);
    auto it = winehal::openEntries().find(ElEntry);
    if (it == winehal::openEntries().end()) {
      winehal::output("verifier: IO_ERROR_LOG_ENTRY: write of an entry that was not allocated");
      return;
    }
    open = it->second;
    winehal::openEntries().erase(it);
  }
  const auto* packet = static_cast<const IO_ERROR_LOG_PACKET*>(ElEntry);
  const uint32_t id = static_cast<uint32_t>(packet->ErrorCode);
  std::vector<std::string> strings;
  size_t offset = packet->StringOffset;
  const auto* bytes = static_cast<const UCHAR*>(ElEntry);
  for (USHORT s = 0; s < packet->NumberOfStrings && offset + 1 < open.size; s++) {
    const auto* text = reinterpret_cast<const char16_t*>(bytes + offset);
    size_t count = 0;
    while (offset + 2 * count + 1 < open.size && text[count] != 0) count++;
    strings.push_back(winehal::narrow(text, count));
    offset += 2 * count + 2;
  }
  const std::string object = winehal::objectName(open.object);
  const char* name = "UNKNOWN";
  for (const winehal::MessageName& m : winehal::kNames) {
    if (m.id == id) name = m.name;
  }
  char head[256];
  snprintf(head, sizeof(head),
           "event: %s id=0x%08X object=%s unique=0x%08X major=%u ioctl=0x%08X final=0x%08X strings=%u text=",
           name, static_cast<unsigned>(id), object.c_str(), static_cast<unsigned>(packet->UniqueErrorValue),
           static_cast<unsigned>(packet->MajorFunctionCode), static_cast<unsigned>(packet->IoControlCode),
           static_cast<unsigned>(packet->FinalStatus), static_cast<unsigned>(packet->NumberOfStrings));
  std::string line = head + winehal::viewerText(winehal::imageOf(open.object, object), id, object, strings);
  win32::freeMemory(ElEntry);
  win32::Hold hold(winehal::hal().boardLock);
  winehal::output(line);
}
