// Kernel and HAL interface of the target: the real kernel headers.
#pragma once

// mingw-w64's kernel headers and <intrin.h> both define these two routines
// in C++; claiming them here keeps the header set's own definitions.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// Built for the Windows XP kernel, mingw-w64's <wdm.h> names the Vista
// SYSTEM_POWER_STATE_CONTEXT in IO_STACK_LOCATION without declaring it. The
// member is one ULONG of bit fields, so a ULONG stands in for it with the
// same size and offset.
#if defined(NTDDI_VERSION) && NTDDI_VERSION < 0x06000000
#define SYSTEM_POWER_STATE_CONTEXT ULONG
#include <ntddk.h>
#undef SYSTEM_POWER_STATE_CONTEXT
#else
#include <ntddk.h>
#endif

// The object-security routines and the absolute security descriptor that
// the driver protects its device with are declared in <ntifs.h>, which does
// not go with <ntddk.h>; these are their declarations as that header gives
// them. All four are ntoskrnl exports (libntoskrnl's import library lists
// each with its stdcall decoration).
#ifndef _NTIFS_INCLUDED_
typedef struct _SECURITY_DESCRIPTOR {
  UCHAR Revision;
  UCHAR Sbz1;
  USHORT Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
} SECURITY_DESCRIPTOR;

extern "C" {
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                 PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                                                 POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                 PHANDLE Handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor);
}
#endif
