// Layout of the device extension as the target compiler lays it out.
//
// The extension size handed to IoCreateDevice and the controller payloads
// copied out of the record depend on these offsets; a field moved, widened
// or reordered fails the target build here instead of changing the image.
// Nothing in this unit generates code.
#include <stddef.h>

#include "DeviceExt.h"

static_assert(sizeof(void*) == 4, "the target is 32-bit x86");
static_assert(sizeof(KTIMER) == 40, "KTIMER of the x86 kernel");
static_assert(alignof(KTIMER) == 8, "KTIMER holds a 64-bit due time");
static_assert(sizeof(KDPC) == 32, "KDPC of the x86 kernel");

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
// bytes. Fields added later go after CardlanState and only grow the record.
// Written as plain expressions so that the unit defines no object.
#define FIXED_END (offsetof(CDeviceExt, CardlanState) + sizeof(LONG))
#define FIXED_SIZE ((FIXED_END + alignof(CDeviceExt) - 1) / alignof(CDeviceExt) * alignof(CDeviceExt))
static_assert(FIXED_END == 284, "the fixed fields end after CardlanState");
static_assert(FIXED_SIZE == 288, "the fixed fields take 288 bytes");
static_assert(sizeof(CDeviceExt) >= FIXED_SIZE, "the record holds at least the fixed fields");
#undef FIXED_SIZE
#undef FIXED_END
