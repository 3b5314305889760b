// Layout of the kernel's structures and of the device extension, as the
// compiler lays them out for 32-bit x86.
//
// Compiled into the image (against the real kernel headers) and into the
// 32-bit host build (against the simulated kernel's platform.h): both are
// held to the same numbers here, so the simulated kernel cannot drift from
// the structures the image's machine code touches. The extension size handed
// to IoCreateDevice and the controller payloads copied out of the
// extension depend on its offsets; a field moved, widened or reordered fails
// the build here instead of changing the image. Nothing in this unit
// generates code.
#include <stddef.h>

#include "DeviceExt.h"

static_assert(sizeof(void*) == 4, "this layout is the one of 32-bit x86");

#define SC_ASSERT_SIZE(type, size, align)               \
  static_assert(sizeof(type) == (size), #type " size"); \
  static_assert(alignof(type) == (align), #type " alignment")
#define SC_ASSERT_AT(type, member, offset) \
  static_assert(offsetof(type, member) == (offset), #type "::" #member)

// 64-bit integers are 8-aligned inside structures, as the Windows ABI has it.
SC_ASSERT_SIZE(LARGE_INTEGER, 8, 8);
SC_ASSERT_SIZE(LONGLONG, 8, 8);
SC_ASSERT_SIZE(KSPIN_LOCK, 4, 4);
SC_ASSERT_SIZE(WCHAR, 2, 2);

SC_ASSERT_SIZE(UNICODE_STRING, 8, 4);
SC_ASSERT_AT(UNICODE_STRING, Length, 0);
SC_ASSERT_AT(UNICODE_STRING, MaximumLength, 2);
SC_ASSERT_AT(UNICODE_STRING, Buffer, 4);

SC_ASSERT_SIZE(DRIVER_OBJECT, 168, 4);
SC_ASSERT_AT(DRIVER_OBJECT, DeviceObject, 0x04);
SC_ASSERT_AT(DRIVER_OBJECT, DriverName, 0x1C);
SC_ASSERT_AT(DRIVER_OBJECT, DriverStartIo, 0x30);
SC_ASSERT_AT(DRIVER_OBJECT, DriverUnload, 0x34);
SC_ASSERT_AT(DRIVER_OBJECT, MajorFunction, 0x38);

SC_ASSERT_SIZE(DEVICE_OBJECT, 184, 4);
SC_ASSERT_AT(DEVICE_OBJECT, DriverObject, 0x08);
SC_ASSERT_AT(DEVICE_OBJECT, NextDevice, 0x0C);
SC_ASSERT_AT(DEVICE_OBJECT, CurrentIrp, 0x14);
SC_ASSERT_AT(DEVICE_OBJECT, Flags, 0x1C);
SC_ASSERT_AT(DEVICE_OBJECT, DeviceExtension, 0x28);
SC_ASSERT_AT(DEVICE_OBJECT, DeviceType, 0x2C);

SC_ASSERT_SIZE(IO_STATUS_BLOCK, 8, 4);
SC_ASSERT_AT(IO_STATUS_BLOCK, Information, 4);

SC_ASSERT_SIZE(IRP, 112, 8);
SC_ASSERT_AT(IRP, AssociatedIrp.SystemBuffer, 0x0C);
SC_ASSERT_AT(IRP, IoStatus.Status, 0x18);
SC_ASSERT_AT(IRP, IoStatus.Information, 0x1C);
SC_ASSERT_AT(IRP, PendingReturned, 0x21);
SC_ASSERT_AT(IRP, Tail.Overlay.CurrentStackLocation, 0x60);

SC_ASSERT_SIZE(IO_STACK_LOCATION, 36, 4);
SC_ASSERT_AT(IO_STACK_LOCATION, MajorFunction, 0);
SC_ASSERT_AT(IO_STACK_LOCATION, Control, 3);
SC_ASSERT_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, 0x04);
SC_ASSERT_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 0x08);
SC_ASSERT_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 0x0C);
SC_ASSERT_AT(IO_STACK_LOCATION, DeviceObject, 0x14);

SC_ASSERT_SIZE(RTL_QUERY_REGISTRY_TABLE, 28, 4);
SC_ASSERT_AT(RTL_QUERY_REGISTRY_TABLE, Flags, 0x04);
SC_ASSERT_AT(RTL_QUERY_REGISTRY_TABLE, Name, 0x08);
SC_ASSERT_AT(RTL_QUERY_REGISTRY_TABLE, EntryContext, 0x0C);
SC_ASSERT_AT(RTL_QUERY_REGISTRY_TABLE, DefaultType, 0x10);
SC_ASSERT_AT(RTL_QUERY_REGISTRY_TABLE, DefaultData, 0x14);
SC_ASSERT_AT(RTL_QUERY_REGISTRY_TABLE, DefaultLength, 0x18);

SC_ASSERT_SIZE(IO_ERROR_LOG_PACKET, 48, 8);
SC_ASSERT_AT(IO_ERROR_LOG_PACKET, NumberOfStrings, 0x04);
SC_ASSERT_AT(IO_ERROR_LOG_PACKET, StringOffset, 0x06);
SC_ASSERT_AT(IO_ERROR_LOG_PACKET, ErrorCode, 0x0C);
SC_ASSERT_AT(IO_ERROR_LOG_PACKET, FinalStatus, 0x14);
SC_ASSERT_AT(IO_ERROR_LOG_PACKET, IoControlCode, 0x1C);
SC_ASSERT_AT(IO_ERROR_LOG_PACKET, DeviceOffset, 0x20);
SC_ASSERT_AT(IO_ERROR_LOG_PACKET, DumpData, 0x28);

// The device's DACL and the absolute descriptor that carries it.
SC_ASSERT_SIZE(ACL, 8, 2);
SC_ASSERT_AT(ACL, AclSize, 2);
SC_ASSERT_AT(ACL, AceCount, 4);
SC_ASSERT_SIZE(SECURITY_DESCRIPTOR, 20, 4);
SC_ASSERT_AT(SECURITY_DESCRIPTOR, Control, 2);
SC_ASSERT_AT(SECURITY_DESCRIPTOR, Dacl, 16);

SC_ASSERT_SIZE(CM_PARTIAL_RESOURCE_DESCRIPTOR, 16, 4);
SC_ASSERT_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, Flags, 2);
SC_ASSERT_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Start, 4);
SC_ASSERT_AT(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Length, 12);
SC_ASSERT_SIZE(CM_PARTIAL_RESOURCE_LIST, 24, 4);
SC_ASSERT_AT(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors, 8);
SC_ASSERT_SIZE(CM_FULL_RESOURCE_DESCRIPTOR, 32, 4);
SC_ASSERT_AT(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList, 8);
SC_ASSERT_SIZE(CM_RESOURCE_LIST, 36, 4);
SC_ASSERT_AT(CM_RESOURCE_LIST, List, 4);

SC_ASSERT_SIZE(KTIMER, 40, 8);
SC_ASSERT_AT(KTIMER, DueTime, 0x10);
SC_ASSERT_AT(KTIMER, Dpc, 0x20);
SC_ASSERT_AT(KTIMER, Period, 0x24);
SC_ASSERT_SIZE(KDPC, 32, 4);
SC_ASSERT_AT(KDPC, DeferredRoutine, 0x0C);
SC_ASSERT_AT(KDPC, DeferredContext, 0x10);
SC_ASSERT_AT(KDPC, DpcData, 0x1C);

static_assert(offsetof(CMessage, Owner) == 0, "CMessage::Owner");
static_assert(offsetof(CMessage, Frame) == 4, "CMessage::Frame");
static_assert(offsetof(CMessage, DumpBuffer) == 12, "CMessage::DumpBuffer");
static_assert(sizeof(CMessage) == 80, "CMessage: owner, frame and dump buffer");

static_assert(offsetof(CDeviceExt, DriverObject) == 0, "DriverObject");
static_assert(offsetof(CDeviceExt, DeviceObject) == 4, "DeviceObject");
static_assert(offsetof(CDeviceExt, Message) == 8, "Message");
static_assert(offsetof(CDeviceExt, Options) == 88, "Options");
static_assert(offsetof(CDeviceExt, DevTimeoutComm) == 89, "DevTimeoutComm");
static_assert(offsetof(CDeviceExt, DevTimeoutPoll) == 90, "DevTimeoutPoll");
static_assert(offsetof(CDeviceExt, DevTimeoutWatchdog) == 92, "DevTimeoutWatchdog");
static_assert(offsetof(CDeviceExt, CmdReplyTimer) == 96, "CmdReplyTimer");
static_assert(offsetof(CDeviceExt, CmdRetryDelay) == 100, "CmdRetryDelay");
static_assert(offsetof(CDeviceExt, CmdMaxRetries) == 104, "CmdMaxRetries");
static_assert(offsetof(CDeviceExt, TimerPollCardlan) == 108, "TimerPollCardlan");
static_assert(offsetof(CDeviceExt, TimerPollNormal) == 112, "TimerPollNormal");
static_assert(offsetof(CDeviceExt, PortMapped) == 116, "PortMapped");
static_assert(offsetof(CDeviceExt, PortBase) == 120, "PortBase");
static_assert(offsetof(CDeviceExt, AddressSpace) == 124, "AddressSpace");
static_assert(offsetof(CDeviceExt, CardID) == 128, "CardID");
static_assert(offsetof(CDeviceExt, SignType) == 129, "SignType");
static_assert(offsetof(CDeviceExt, TNMapType) == 130, "TNMapType");
static_assert(offsetof(CDeviceExt, RegCardID) == 131, "RegCardID");
static_assert(offsetof(CDeviceExt, RegSignType) == 132, "RegSignType");
static_assert(offsetof(CDeviceExt, RegTNMapType) == 133, "RegTNMapType");
static_assert(offsetof(CDeviceExt, RegSwitchStatus) == 136, "RegSwitchStatus");
static_assert(offsetof(CDeviceExt, FirmwareVersionLength) == 140, "FirmwareVersionLength");
static_assert(offsetof(CDeviceExt, FirmwareVersion) == 141, "FirmwareVersion");
static_assert(sizeof(CDeviceExt::FirmwareVersion) == 64, "FirmwareVersion holds 64 bytes");
static_assert(offsetof(CDeviceExt, PollTimer) == 208, "PollTimer, 8-byte aligned");
static_assert(offsetof(CDeviceExt, PollDpc) == 248, "PollDpc");
static_assert(offsetof(CDeviceExt, CardlanState) == 280, "CardlanState");

// The fixed fields end at 284 and, with the KTIMER's alignment, take 288
// bytes. Fields added later go after CardlanState and only grow the extension.
// Written as plain expressions so that the unit defines no object.
#define FIXED_END (offsetof(CDeviceExt, CardlanState) + sizeof(LONG))
#define FIXED_SIZE ((FIXED_END + alignof(CDeviceExt) - 1) / alignof(CDeviceExt) * alignof(CDeviceExt))
static_assert(FIXED_END == 284, "the fixed fields end after CardlanState");
static_assert(FIXED_SIZE == 288, "the fixed fields take 288 bytes");
static_assert(sizeof(CDeviceExt) >= FIXED_SIZE, "the extension holds at least the fixed fields");
#undef FIXED_SIZE
#undef FIXED_END
#undef SC_ASSERT_AT
#undef SC_ASSERT_SIZE
