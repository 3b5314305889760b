// The Win32 side of the HAL (see Win32.h).
#include "Win32.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace win32 {
namespace {
struct MonitorState {
  CRITICAL_SECTION section;
  CONDITION_VARIABLE condition;
};

struct ThreadStart {
  void (*routine)(void*);
  void* argument;
};

DWORD WINAPI threadEntry(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.routine(start.argument);
  return 0;
}
}  // namespace

Monitor::Monitor() : state_(new MonitorState) {
  auto* s = static_cast<MonitorState*>(state_);
  InitializeCriticalSection(&s->section);
  InitializeConditionVariable(&s->condition);
}

Monitor::~Monitor() {
  auto* s = static_cast<MonitorState*>(state_);
  DeleteCriticalSection(&s->section);
  delete s;
}

void Monitor::enter() { EnterCriticalSection(&static_cast<MonitorState*>(state_)->section); }
void Monitor::leave() { LeaveCriticalSection(&static_cast<MonitorState*>(state_)->section); }

void Monitor::wait() {
  auto* s = static_cast<MonitorState*>(state_);
  SleepConditionVariableCS(&s->condition, &s->section, INFINITE);
}

void Monitor::notifyAll() { WakeAllConditionVariable(&static_cast<MonitorState*>(state_)->condition); }

uint32_t currentThread() { return GetCurrentThreadId(); }

void yieldProcessor() { YieldProcessor(); }

bool startThread(void (*routine)(void*), void* argument) {
  auto* start = new ThreadStart{routine, argument};
  HANDLE thread = CreateThread(nullptr, 0, threadEntry, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}

void* moduleHandle(const char* module) { return reinterpret_cast<void*>(GetModuleHandleA(module)); }

void* procAddress(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool makeWritable(void* address, uint32_t length) {
  DWORD old = 0;
  return VirtualProtect(address, length, PAGE_READWRITE, &old) != 0;
}

void* reserveAddresses(uint32_t length) { return VirtualAlloc(nullptr, length, MEM_RESERVE, PAGE_NOACCESS); }

void releaseAddresses(void* address) { VirtualFree(address, 0, MEM_RELEASE); }

void* allocateZeroed(uint32_t length) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length); }

void freeMemory(void* p) { HeapFree(GetProcessHeap(), 0, p); }

void stopTimerCallbacks(void* tpTimer) { SetThreadpoolTimer(static_cast<PTP_TIMER>(tpTimer), nullptr, 0, 0); }

void waitTimerCallbacks(void* tpTimer) {
  WaitForThreadpoolTimerCallbacks(static_cast<PTP_TIMER>(tpTimer), FALSE);
}

// MESSAGE_RESOURCE_DATA: a count of blocks, each a range of identifiers
// and the offset of its entries; each entry a length, flags (1: UTF-16)
// and the text.
bool messageText(void* base, uint32_t id, std::u16string* text) {
  HMODULE module = static_cast<HMODULE>(base);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), reinterpret_cast<LPCWSTR>(RT_MESSAGETABLE));
  if (found == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, found);
  const auto* data = static_cast<const MESSAGE_RESOURCE_DATA*>(LockResource(loaded));
  if (data == nullptr) return false;
  const auto* bytes = reinterpret_cast<const BYTE*>(data);
  for (DWORD b = 0; b < data->NumberOfBlocks; b++) {
    const MESSAGE_RESOURCE_BLOCK& block = data->Blocks[b];
    if (id < block.LowId || id > block.HighId) continue;
    const BYTE* entry = bytes + block.OffsetToEntries;
    for (DWORD n = block.LowId; n < id; n++) {
      entry += reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(entry)->Length;
    }
    const auto* e = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(entry);
    text->clear();
    if (e->Flags & 1) {
      const auto* p = reinterpret_cast<const char16_t*>(e->Text);
      size_t count = (e->Length - 4) / 2;
      for (size_t i = 0; i < count && p[i] != 0; i++) *text += p[i];
    } else {
      for (size_t i = 0; i < e->Length - 4u && e->Text[i] != 0; i++)
        *text += static_cast<char16_t>(e->Text[i]);
    }
    return true;
  }
  return false;
}

void* createEvent(const char* name) { return CreateEventA(nullptr, FALSE, FALSE, name); }

void waitEvent(void* event) { WaitForSingleObject(static_cast<HANDLE>(event), INFINITE); }

void setEvent(void* event) { SetEvent(static_cast<HANDLE>(event)); }

bool readLines(const char* path, std::vector<std::string>* lines) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got != 0) text.append(buffer, got);
  CloseHandle(file);
  lines->clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(line);
    start = end + 1;
  }
  return true;
}

void appendLine(const char* path, const std::string& line) {
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string whole = line + "\n";
  DWORD written = 0;
  WriteFile(file, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace win32

namespace win32 {
namespace {
// An address in the module's image as the loader finds it: an RVA from
// the module's base. In a 32-bit process the sum wraps, so any address,
// in the image or not, has one.
DWORD rvaOf(const void* base, const void* p) {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(base));
}
}  // namespace

// The export directory stays where it is, so that the forwarders it holds
// (names within its range) stay forwarders; its three tables are rewritten,
// in place for a rebound name, or copied with the new names merged in the
// order the loader's binary search expects.
bool bindExports(void* module, Export* rows, size_t count, std::string* error) {
  auto* base = static_cast<BYTE*>(module);
  if (base == nullptr) {
    *error = "ntoskrnl.exe is not loaded";
    return false;
  }
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto* dir = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  auto* functions = reinterpret_cast<DWORD*>(base + dir->AddressOfFunctions);
  auto* names = reinterpret_cast<DWORD*>(base + dir->AddressOfNames);
  auto* ordinals = reinterpret_cast<WORD*>(base + dir->AddressOfNameOrdinals);

  std::vector<Export*> added;
  for (size_t i = 0; i < count; i++) {
    Export& row = rows[i];
    DWORD n = 0;
    while (n < dir->NumberOfNames && strcmp(reinterpret_cast<const char*>(base + names[n]), row.name) != 0)
      n++;
    if (n == dir->NumberOfNames) {
      added.push_back(&row);
      continue;
    }
    DWORD* slot = &functions[ordinals[n]];
    row.original = base + *slot;
    if (!makeWritable(slot, sizeof(*slot))) {
      *error = std::string("cannot rebind ") + row.name;
      return false;
    }
    *slot = rvaOf(base, row.address);
  }
  if (added.empty()) return true;

  const DWORD functionCount = dir->NumberOfFunctions + static_cast<DWORD>(added.size());
  const DWORD nameCount = dir->NumberOfNames + static_cast<DWORD>(added.size());
  auto* newFunctions = static_cast<DWORD*>(allocateZeroed(functionCount * sizeof(DWORD)));
  auto* newNames = static_cast<DWORD*>(allocateZeroed(nameCount * sizeof(DWORD)));
  auto* newOrdinals = static_cast<WORD*>(allocateZeroed(nameCount * sizeof(WORD)));
  if (newFunctions == nullptr || newNames == nullptr || newOrdinals == nullptr || functionCount > 0xFFFF) {
    *error = "no room for the added exports";
    return false;
  }
  memcpy(newFunctions, functions, dir->NumberOfFunctions * sizeof(DWORD));
  std::vector<std::pair<const char*, WORD>> merged;
  for (DWORD n = 0; n < dir->NumberOfNames; n++) {
    merged.push_back({reinterpret_cast<const char*>(base + names[n]), ordinals[n]});
  }
  for (size_t i = 0; i < added.size(); i++) {
    WORD ordinal = static_cast<WORD>(dir->NumberOfFunctions + i);
    newFunctions[ordinal] = rvaOf(base, added[i]->address);
    merged.push_back({added[i]->name, ordinal});
  }
  std::sort(merged.begin(), merged.end(),
            [](const auto& a, const auto& b) { return strcmp(a.first, b.first) < 0; });
  for (DWORD n = 0; n < nameCount; n++) {
    newNames[n] = rvaOf(base, merged[n].first);
    newOrdinals[n] = merged[n].second;
  }
  if (!makeWritable(dir, sizeof(*dir))) {
    *error = "cannot rewrite the export directory of ntoskrnl.exe";
    return false;
  }
  dir->AddressOfFunctions = rvaOf(base, newFunctions);
  dir->AddressOfNames = rvaOf(base, newNames);
  dir->AddressOfNameOrdinals = rvaOf(base, newOrdinals);
  dir->NumberOfFunctions = functionCount;
  dir->NumberOfNames = nameCount;
  return true;
}

}  // namespace win32
