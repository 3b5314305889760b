#include "sim/executive.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string_view>

#include "sim/kernel.h"

namespace sim {

WText widen(const std::string& text) {
  WText out;
  for (unsigned char c : text) out += static_cast<char16_t>(c);
  return out;
}

std::string narrow(const WText& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x100 ? static_cast<char>(c) : '?';
  return out;
}

WText fromWide(const wchar_t* text) {
  WText out;
  for (; text != nullptr && *text != 0; text++) out += static_cast<char16_t>(*text);
  return out;
}

WText fromWide(const wchar_t* text, size_t units) {
  WText out;
  for (size_t i = 0; text != nullptr && i < units; i++) out += static_cast<char16_t>(text[i]);
  return out;
}

namespace {
// Low enough to be ordinary application memory in every build: below the
// shadow memory that AddressSanitizer reserves from 0x7FFF8000 in a 64-bit
// process and from 0x20000000 in a 32-bit one, and below where a 32-bit
// process loads its program and libraries.
constexpr uintptr_t kSystemSpaceBase = 0x10000000;
constexpr size_t kSystemSpaceSize = 64u << 20;
constexpr size_t kSystemSpaceAlign = 16;

struct Region {
  uint8_t* base = nullptr;
  size_t used = 0;
  std::multimap<size_t, void*> free;  // blocks to reuse, by size
  std::map<void*, size_t> live;
};

Region& region() {
  static Region r;
  if (r.base == nullptr) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): system space has a fixed address, as the kernel's
    void* const wanted = reinterpret_cast<void*>(kSystemSpaceBase);
    void* p = mmap(wanted, kSystemSpaceSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED || p != wanted) {
      // The address is taken: any place will do, only less repeatable.
      if (p != MAP_FAILED) munmap(p, kSystemSpaceSize);
      p = mmap(nullptr, kSystemSpaceSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    r.base = static_cast<uint8_t*>(p);
  }
  return r;
}
}  // namespace

void* SystemSpace::allocate(size_t size) {
  Region& r = region();
  size = (size + kSystemSpaceAlign - 1) / kSystemSpaceAlign * kSystemSpaceAlign;
  if (size == 0) size = kSystemSpaceAlign;
  void* p;
  auto reuse = r.free.find(size);
  if (reuse != r.free.end()) {
    p = reuse->second;
    r.free.erase(reuse);
  } else if (r.base != MAP_FAILED && r.used + size <= kSystemSpaceSize) {
    p = r.base + r.used;
    r.used += size;
  } else {
    p = ::operator new(size);  // the region is full: ordinary memory
  }
  r.live[p] = size;
  return p;
}

void SystemSpace::free(void* p) {
  Region& r = region();
  auto it = r.live.find(p);
  if (it == r.live.end()) return;
  uint8_t* b = static_cast<uint8_t*>(p);
  if (r.base != MAP_FAILED && b >= r.base && b < r.base + kSystemSpaceSize) {
    r.free.insert({it->second, p});
  } else {
    ::operator delete(p);
  }
  r.live.erase(it);
}

void SystemSpace::reset() {
  Region& r = region();
  if (!r.live.empty()) return;
  r.used = 0;
  r.free.clear();
}

Ticks Irql::dispatchTicks() const {
  Ticks total = dispatchTicks_;
  for (int p = 0; p < kMaxProcessors; p++) {
    if (levels_[p] >= kDispatch && now_) total += now_() - raisedAt_[p];
  }
  return total;
}

void Irql::set(uint8_t level) {
  const int p = *processor_;
  bool lowered = level < levels_[p];
  if (now_ && (level >= kDispatch) != (levels_[p] >= kDispatch)) {
    if (level >= kDispatch) {
      raisedAt_[p] = now_();
    } else {
      const Ticks stretch = now_() - raisedAt_[p];
      dispatchTicks_ += stretch;
      longestStretch_ = std::max(longestStretch_, stretch);
      if (stretchLimit_ > 0 && stretch > stretchLimit_ && longStretch_) longStretch_(p, stretch);
    }
  }
  levels_[p] = level;
  if (lowered) {
    for (auto& listener : lowerListeners_) listener(level);
  }
}

Pool::~Pool() {
  for (auto& block : blocks_) ::operator delete(block.first);
}

void* Pool::allocate(bool paged, size_t size, uint32_t tag) {
  // A zero-byte request still gets a distinct block, as from the real pool.
  void* p = ::operator new(size ? size : 1);
  std::memset(p, 0xCD, size);  // pool is not zeroed
  blocks_[p] = {size, tag, paged};
  allocations_++;
  return p;
}

void Pool::free(void* p, uint32_t tag) {
  auto it = blocks_.find(p);
  if (it == blocks_.end()) {
    verifier_.report(sim::Rule::BadPoolCaller, "free of " + hex(reinterpret_cast<uintptr_t>(p)) +
                                                   ", which is not an allocated block (double free?)");
    return;
  }
  if (tag == 0) {
    untaggedFrees_++;
  } else if (tag != it->second.tag) {
    verifier_.report(sim::Rule::BadPoolCaller,
                     "free with tag " + hex(tag) + " of a block tagged " + hex(it->second.tag));
  }
  ::operator delete(p);
  blocks_.erase(it);
}

namespace {
// Names are compared as the object manager and the registry compare them,
// without regard to case; the simulation's names are ASCII, for which this
// is what toupper does in the C locale, without a library call per letter.
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

std::string Registry::fold(const std::string& name) {
  std::string out = name;
  for (auto& c : out) c = upper(c);
  return out;
}

bool Registry::sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

Registry::Key* Registry::key(const std::string& path) {
  auto it = keys_.find(fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

void Registry::setDword(const std::string& path, const std::string& name, uint32_t value) {
  Value v{4 /* REG_DWORD */, std::vector<uint8_t>(4)};
  std::memcpy(v.data.data(), &value, 4);
  keys_[fold(path)].values[fold(name)] = v;
}

void Registry::setString(const std::string& path, const std::string& name, const std::string& text) {
  Value v{1 /* REG_SZ */, {}};
  for (unsigned char c : text) {
    v.data.push_back(c);
    v.data.push_back(0);
  }
  v.data.push_back(0);
  v.data.push_back(0);
  keys_[fold(path)].values[fold(name)] = v;
}

void Registry::setBinary(const std::string& path, const std::string& name,
                         const std::vector<uint8_t>& bytes) {
  keys_[fold(path)].values[fold(name)] = Value{3 /* REG_BINARY */, bytes};
}

void Registry::deleteValue(const std::string& path, const std::string& name) {
  if (Key* k = key(path)) k->values.erase(fold(name));
}

ErrorLog::~ErrorLog() = default;

void* ErrorLog::allocate(const std::string& objectName, uint8_t size) {
  Open entry{std::unique_ptr<uint8_t[]>(new uint8_t[size + kGuardBytes]), size, objectName};
  // The I/O manager zeroes the entry it hands out.
  std::memset(entry.memory.get(), 0, size);
  std::memset(entry.memory.get() + size, kGuardFill, kGuardBytes);
  void* p = entry.memory.get();
  open_[p] = std::move(entry);
  // The block moved into open_ with its owner, which keeps it until the
  // entry is written or the log cleared.
  // cppcheck-suppress returnDanglingLifetime
  return p;
}

void ErrorLog::write(void* p) {
  auto it = open_.find(p);
  if (it == open_.end()) {
    verifier_.report(sim::Rule::IoErrorLogEntry, "write of " + hex(reinterpret_cast<uintptr_t>(p)) +
                                                     ", which is not an allocated error log entry");
    return;
  }
  const Open& entry = it->second;
  const uint8_t* bytes = entry.memory.get();
  for (size_t i = 0; i < kGuardBytes; i++) {
    if (bytes[entry.size + i] != kGuardFill) {
      verifier_.report(sim::Rule::IoErrorLogOverrun,
                       "error log entry of " + std::to_string(entry.size) + " bytes written past its end");
      break;
    }
  }
  LoggedEvent e{};
  e.objectName = entry.objectName;
  e.entrySize = entry.size;
  // The header layout of IO_ERROR_LOG_PACKET, read field by field.
  auto u16 = [&](size_t off) { return static_cast<uint16_t>(bytes[off] | bytes[off + 1] << 8); };
  auto u32 = [&](size_t off) {
    return static_cast<uint32_t>(u16(off) | static_cast<uint32_t>(u16(off + 2)) << 16);
  };
  if (entry.size >= 48) {
    e.majorFunction = bytes[0];
    e.retryCount = bytes[1];
    e.dumpDataSize = u16(2);
    e.numberOfStrings = u16(4);
    e.stringOffset = u16(6);
    e.eventCategory = u16(8);
    e.errorCode = u32(12);
    e.uniqueValue = u32(16);
    e.finalStatus = u32(20);
    e.sequenceNumber = u32(24);
    e.ioControlCode = u32(28);
    e.deviceOffset =
        static_cast<int64_t>(static_cast<uint64_t>(u32(32)) | static_cast<uint64_t>(u32(36)) << 32);
    size_t off = e.stringOffset;
    for (uint16_t s = 0; s < e.numberOfStrings && off < entry.size; s++) {
      WText text;
      while (off + 1 < entry.size && u16(off) != 0) {
        text += static_cast<char16_t>(u16(off));
        off += 2;
      }
      off += 2;
      e.strings.push_back(narrow(text));
    }
  } else {
    verifier_.report(sim::Rule::IoErrorLogEntry,
                     "entry of " + std::to_string(entry.size) + " bytes is smaller than its header");
  }
  open_.erase(it);
  events_.push_back(e);
  for (auto& listener : listeners_) listener(events_.back());
}

void ErrorLog::free(void* p) {
  if (open_.erase(p) == 0) {
    verifier_.report(sim::Rule::IoErrorLogEntry, "free of " + hex(reinterpret_cast<uintptr_t>(p)) +
                                                     ", which is not an allocated error log entry");
  }
}

void ErrorLog::reportUnwritten() {
  for (auto& entry : open_) {
    verifier_.report(sim::Rule::IoErrorLogLeak, "error log entry of " + std::to_string(entry.second.size) +
                                                    " bytes for " + entry.second.objectName +
                                                    " allocated, never written");
  }
  open_.clear();
}

std::string ObjectNames::of(const void* object) const {
  auto it = names_.find(object);
  return it == names_.end() ? std::string() : it->second;
}

void FailurePlan::arm(const std::string& routine, int32_t status, uint32_t count) {
  plans_[routine] = {status, count};
}

bool FailurePlan::take(const char* routine, int32_t* status, const void* caller) {
  auto it = plans_.find(std::string_view(routine));
  if (it == plans_.end() || it->second.count == 0) {
    if (observer_ && observer_(routine, caller)) {
      if (status != nullptr) *status = static_cast<int32_t>(0xC000009Au);  // STATUS_INSUFFICIENT_RESOURCES
      return true;
    }
    return false;
  }
  if (status != nullptr) *status = it->second.status;
  if (--it->second.count == 0) plans_.erase(it);
  return true;
}

}  // namespace sim
