// Kernel routines of the executive: IRQL, pool, registry and error log.
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

using sim::Entry;
using sim::Kernel;
using sim::Routine;

// KfRaiseIrql may only raise and KfLowerIrql may only lower: a change the
// other way is the bug check IRQL_NOT_GREATER_OR_EQUAL / _LESS_OR_EQUAL.
extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  Kernel& k = Entry(Routine::KfRaiseIrql).kernel();
  KIRQL old = k.irql.level();
  if (NewIrql < old) {
    k.verifier.report(sim::Rule::IrqlNotGreaterOrEqual,
                      "KfRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(old));
  }
  k.irql.set(NewIrql);
  return old;
}

extern "C" VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  Kernel& k = Entry(Routine::KfLowerIrql).kernel();
  if (NewIrql > k.irql.level()) {
    k.verifier.report(sim::Rule::IrqlNotLessOrEqual, "KfLowerIrql to " + std::to_string(NewIrql) + " from " +
                                                         std::to_string(k.irql.level()));
  }
  k.irql.set(NewIrql);
}

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
  return Entry(Routine::KeGetCurrentIrql).kernel().irql.level();
}

// Paged pool may be touched at APC_LEVEL at most, nonpaged pool at
// DISPATCH_LEVEL at most.
extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  Entry entry(Routine::ExAllocatePoolWithTag);
  Kernel& k = entry.kernel();
  bool paged = PoolType == PagedPool;
  if (paged && entry.levelHeld()) k.checkIrql("ExAllocatePoolWithTag", APC_LEVEL);
  if (entry.failed(__builtin_return_address(0))) {
    return nullptr;
  }
  return k.pool.allocate(paged, NumberOfBytes, Tag);
}

// A block of paged pool may be freed at APC_LEVEL at most, as it may be
// allocated; nonpaged pool at DISPATCH_LEVEL at most.
extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  Entry entry(Routine::ExFreePoolWithTag);
  Kernel& k = entry.kernel();
  auto block = k.pool.outstanding().find(P);
  bool paged = block != k.pool.outstanding().end() && block->second.paged;
  if (paged && entry.levelHeld()) k.checkIrql("ExFreePoolWithTag", APC_LEVEL);
  k.pool.free(P, Tag);
}

namespace {

const char* typeName(ULONG type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_NONE";
  }
}

bool isStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stores one value in a direct entry's destination the way the kernel does:
// up to four bytes of a non-string value land in the ULONG there, a string
// goes in as a UNICODE_STRING, a longer value needs a sized buffer. Only the
// first case fits a 32-bit destination; the others are reported instead of
// written, so that a driver that lets them happen is caught.
NTSTATUS storeDirect(Kernel& k, const RTL_QUERY_REGISTRY_TABLE& entry, const std::string& name, ULONG type,
                     const void* data, size_t length) {
  bool dwordDestination = (entry.DefaultType & 0xFF) == REG_DWORD;
  if (isStringType(type) || length > sizeof(ULONG)) {
    k.verifier.report(sim::Rule::RegistryDirectOverrun,
                      "value " + name + " of type " + typeName(type) + " (" + std::to_string(length) +
                          " bytes) stored through a direct entry" +
                          (dwordDestination ? " whose destination is a 32-bit number" : ""));
    return STATUS_SUCCESS;
  }
  std::memcpy(entry.EntryContext, data, length);
  return STATUS_SUCCESS;
}

// The UTF-16 strings of a string value, each without its terminator.
std::vector<std::u16string> stringsOf(const void* data, size_t length) {
  std::vector<std::u16string> out;
  std::u16string current;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i + 1 < length; i += 2) {
    char16_t c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (c != 0) {
      current.push_back(c);
      continue;
    }
    if (current.empty()) break;  // the empty string that ends a multi-string
    out.push_back(current);
    current.clear();
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

// The system environment that references in an expandable string name;
// a reference to a variable that is not set stays as it is written.
std::u16string expandEnvironment(const std::u16string& text) {
  static const std::map<std::u16string, std::u16string> kEnvironment = {
      {u"SYSTEMROOT", u"C:\\WINDOWS"},
      {u"WINDIR", u"C:\\WINDOWS"},
      {u"SYSTEMDRIVE", u"C:"},
  };
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string::npos;
    if (end == std::u16string::npos) {
      out.push_back(text[i++]);
      continue;
    }
    std::u16string name = text.substr(i + 1, end - i - 1);
    for (auto& c : name) c = static_cast<char16_t>(c < 0x80 ? std::toupper(c) : c);
    auto it = kEnvironment.find(name);
    out += it != kEnvironment.end() ? it->second : text.substr(i, end - i + 1);
    i = end + 1;
  }
  return out;
}

std::vector<std::u16string> preprocessed(ULONG type, const void* data, size_t length) {
  std::vector<std::u16string> strings = stringsOf(data, length);
  if (type == REG_MULTI_SZ) return strings;
  return {expandEnvironment(strings.empty() ? std::u16string() : strings.front())};
}

NTSTATUS queryEntry(Kernel& k, sim::Registry::Key& key, RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
  std::string name = sim::narrow(sim::fromWide(entry.Name));
  auto it = key.values.find(sim::Registry::fold(name));
  ULONG type;
  const void* data;
  size_t length;
  if (it != key.values.end()) {
    type = it->second.type;
    data = it->second.data.data();
    length = it->second.data.size();
  } else if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  } else if ((entry.DefaultType & 0xFF) != REG_NONE) {
    type = entry.DefaultType & 0xFF;
    data = entry.DefaultData;
    length = entry.DefaultLength;
  } else {
    return STATUS_SUCCESS;  // nothing to report for this entry
  }
  // With the type check, a value of another type than the one named in the
  // high byte of DefaultType is refused before anything is stored.
  if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) && k.registry.honoursTypecheck) {
    ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    if (type != expected) {
      return STATUS_OBJECT_TYPE_MISMATCH;
    }
  }
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
    return storeDirect(k, entry, name, type, data, length);
  }
  if (entry.QueryRoutine == nullptr) {
    return STATUS_SUCCESS;
  }
  // Unless the entry says RTL_QUERY_REGISTRY_NOEXPAND, the value is
  // preprocessed before the routine sees it: a REG_EXPAND_SZ has its
  // environment references expanded and arrives as REG_SZ, and a
  // REG_MULTI_SZ arrives as one REG_SZ call per string, so an empty one
  // makes no call at all and the query still succeeds.
  if ((entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0 && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
    for (std::u16string text : preprocessed(type, data, length)) {
      text.push_back(0);
      NTSTATUS status =
          entry.QueryRoutine(entry.Name, REG_SZ, text.data(),
                             static_cast<ULONG>(text.size() * sizeof(char16_t)), context, entry.EntryContext);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }
  return entry.QueryRoutine(entry.Name, type, const_cast<void*>(data), static_cast<ULONG>(length), context,
                            entry.EntryContext);
}

}  // namespace

// Registry access needs PASSIVE_LEVEL: keys and values are paged.
extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                                 PVOID Environment) {
  (void)Environment;
  Entry entry(Routine::RtlQueryRegistryValues);
  Kernel& k = entry.kernel();
  k.registry.countQuery();
  if (!entry.levelHeld()) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS injected;
  if (entry.failed(__builtin_return_address(0), &injected)) {
    return injected;
  }
  if (RelativeTo != RTL_REGISTRY_ABSOLUTE) {
    return STATUS_INVALID_PARAMETER;
  }
  sim::Registry::Key* key = k.registry.key(sim::narrow(sim::fromWide(Path)));
  if (key == nullptr) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
       entry++) {
    NTSTATUS status = queryEntry(k, *key, *entry, Context);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  return STATUS_SUCCESS;
}

// Entries come from a nonpaged zone and can be had at DISPATCH_LEVEL; sizes
// above ERROR_LOG_MAXIMUM_SIZE are refused.
extern "C" PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  Entry entry(Routine::IoAllocateErrorLogEntry);
  Kernel& k = entry.kernel();
  if (IoObject == nullptr || EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
    return nullptr;
  }
  if (entry.failed(__builtin_return_address(0))) {
    return nullptr;
  }
  return k.errorLog.allocate(k.names.of(IoObject), EntrySize);
}

extern "C" VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
  Entry(Routine::IoWriteErrorLogEntry).kernel().errorLog.write(ElEntry);
}

// An entry that is not to be written goes back to the I/O manager unwritten;
// an entry is either written or freed, and only once.
extern "C" VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry) {
  Entry(Routine::IoFreeErrorLogEntry).kernel().errorLog.free(ElEntry);
}
