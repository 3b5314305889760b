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
