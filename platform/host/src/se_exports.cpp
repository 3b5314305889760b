// Security descriptors and object handles: the kernel routines with which a
// driver gives its device object a DACL.
#include <cstring>

#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

using sim::Entry;
using sim::Kernel;
using sim::Routine;

namespace {

constexpr size_t kAceFixed = 8;  // ACE header, then the 32-bit mask
constexpr UCHAR kAccessAllowedAceType = 0;
constexpr UCHAR kMinAclRevision = 2;
constexpr UCHAR kMaxAclRevision = 4;
constexpr ULONG kMaxAclSize = 0xFFFF;

// A self-relative descriptor holds offsets from its start where the
// absolute form holds pointers.
struct SelfRelativeDescriptor {
  UCHAR Revision;
  UCHAR Sbz1;
  USHORT Control;
  ULONG Owner;
  ULONG Group;
  ULONG Sacl;
  ULONG Dacl;
};

const void* daclOf(PSECURITY_DESCRIPTOR descriptor) {
  const auto* absolute = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  if ((absolute->Control & SE_SELF_RELATIVE) == 0) return absolute->Dacl;
  const auto* relative = static_cast<const SelfRelativeDescriptor*>(descriptor);
  if (relative->Dacl == 0) return nullptr;
  return static_cast<const UCHAR*>(descriptor) + relative->Dacl;
}

// Where the next ACE goes: past the ones already there, or null when the
// ACL's own fields are inconsistent.
UCHAR* aclEnd(PACL acl) {
  UCHAR* p = reinterpret_cast<UCHAR*>(acl);
  size_t offset = sizeof(ACL);
  for (USHORT i = 0; i < acl->AceCount; i++) {
    if (offset + kAceFixed > acl->AclSize) return nullptr;
    offset += static_cast<USHORT>(p[offset + 2] | p[offset + 3] << 8);
  }
  return offset <= acl->AclSize ? p + offset : nullptr;
}

}  // namespace

extern "C" NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      ULONG Revision) {
  Entry entry(Routine::RtlCreateSecurityDescriptor);
  if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                       BOOLEAN DaclPresent, PACL Dacl,
                                                       BOOLEAN DaclDefaulted) {
  Entry entry(Routine::RtlSetDaclSecurityDescriptor);
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  if (sd->Control & SE_SELF_RELATIVE) return STATUS_INVALID_SECURITY_DESCR;
  sd->Control &= static_cast<USHORT>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  sd->Dacl = nullptr;
  if (DaclPresent) {
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = Dacl;
    if (DaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
  }
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
  Entry entry(Routine::RtlCreateAcl);
  if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
  if (AclRevision < kMinAclRevision || AclRevision > kMaxAclRevision || AclLength > kMaxAclSize) {
    return STATUS_INVALID_PARAMETER;
  }
  std::memset(Acl, 0, sizeof(ACL));
  Acl->AclRevision = static_cast<UCHAR>(AclRevision);
  Acl->AclSize = static_cast<USHORT>(AclLength & ~3u);  // sizes are whole 32-bit words
  return STATUS_SUCCESS;
}

// The ACE goes after the last one, when the SID is well formed and the ACL
// has room for it.
extern "C" NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                                 PSID Sid) {
  Entry entry(Routine::RtlAddAccessAllowedAce);
  if (AceRevision < kMinAclRevision || AceRevision > kMaxAclRevision) return STATUS_REVISION_MISMATCH;
  size_t sidLength = sim::sidLength(static_cast<const uint8_t*>(Sid), 8 + 4 * 15);
  if (sidLength == 0) return STATUS_INVALID_SID;
  UCHAR* end = aclEnd(Acl);
  if (end == nullptr) return STATUS_INVALID_ACL;
  size_t aceSize = kAceFixed + sidLength;
  if (end + aceSize > reinterpret_cast<UCHAR*>(Acl) + Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
  end[0] = kAccessAllowedAceType;
  end[1] = 0;
  end[2] = static_cast<UCHAR>(aceSize);
  end[3] = static_cast<UCHAR>(aceSize >> 8);
  std::memcpy(end + 4, &AccessMask, sizeof(AccessMask));
  std::memcpy(end + kAceFixed, Sid, sidLength);
  Acl->AceCount++;
  if (Acl->AclRevision < AceRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
  return STATUS_SUCCESS;
}

// Handles are opened, used and closed at PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                                                POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                PHANDLE Handle) {
  (void)HandleAttributes;
  (void)PassedAccessState;
  (void)DesiredAccess;
  (void)ObjectType;
  (void)AccessMode;
  Entry entry(Routine::ObOpenObjectByPointer);
  Kernel& k = entry.kernel();
  NTSTATUS injected;
  if (entry.failed(__builtin_return_address(0), &injected)) return injected;
  return k.io.openHandle(Object, Handle);
}

// The object manager captures the descriptor: it keeps its own copy of
// the DACL, and the caller's buffers may go as soon as the call returns.
extern "C" NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor) {
  Entry entry(Routine::ZwSetSecurityObject);
  Kernel& k = entry.kernel();
  NTSTATUS injected;
  if (entry.failed(__builtin_return_address(0), &injected)) return injected;
  if (SecurityDescriptor == nullptr) return STATUS_ACCESS_VIOLATION;
  const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  // Only the DACL decides who may open a device; owner, group and SACL are
  // not modelled.
  if ((SecurityInformation & DACL_SECURITY_INFORMATION) == 0) return STATUS_SUCCESS;
  sim::ObjectSecurity security;
  security.set = true;
  if (sd->Control & SE_DACL_PRESENT) {
    if (const void* acl = daclOf(SecurityDescriptor)) {
      sim::Dacl dacl;
      NTSTATUS status = sim::Dacl::capture(acl, &dacl);
      if (!NT_SUCCESS(status)) return status;
      security.dacl = dacl;
    }
  }
  return k.io.setSecurity(Handle, security);
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  Kernel& k = Entry(Routine::ZwClose).kernel();
  return k.io.closeHandle(Handle);
}
