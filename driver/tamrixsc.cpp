// Driver entry, dispatch and start-I/O routines.
#include "tamrixsc.h"

#include "DeviceExt.h"
#include "scioctl.h"

LONG g_DebugLevel = TRACE_WARNING;

const WCHAR kLinkName[] = L"\\DosDevices\\8051SCDev";

namespace {
const WCHAR kDeviceName[] = L"\\Device\\8051SC0";

// The supported LPC bridges, function 0 of their PCI device.
constexpr USHORT kVendorIntel = 0x8086;
constexpr USHORT kLpcBridges[] = {0x2410, 0x24C0};
constexpr ULONG kPciSlots = 32;
// The platform returns 0 for the first bus past the last; a platform that
// never does is not scanned past the largest bus number PCI has.
constexpr ULONG kPciBuses = 256;
constexpr ULONG kPciConfigBytes = 256;

// One row of the request table (scioctl.h).
struct RequestRoute {
  ULONG code;
  ULONG input;    // exact length, or SC_ANY_LEN
  ULONG output;   // exact length, or SC_ANY_LEN
  ULONG path;     // SC_QUEUED or SC_AT_ONCE
  ULONG reply;    // SC_REPLY_*
  ULONG subject;  // SC_SUBJECT_*
};

#define SC_ROUTE(name, function, subject, input, output, path, reply) \
  {IOCTL_SC_##name, input, output, path, reply, subject},
constexpr RequestRoute kRoutes[] = {SC_REQUESTS(SC_ROUTE)};
#undef SC_ROUTE

constexpr const RequestRoute* rowOf(ULONG code) {
  for (const RequestRoute& route : kRoutes) {
    if (route.code == code) return &route;
  }
  return nullptr;
}

constexpr ULONG kLevelLength = rowOf(IOCTL_SC_DEBUG_LEVEL)->input;  // one signed 32-bit level
constexpr LONG kMaxDebugLevel = TRACE_FLOW;
const char kCreator[] = "createDevice()";  // who traces a failed creation

CDeviceExt* extensionOf(PDEVICE_OBJECT deviceObject) {
  return static_cast<CDeviceExt*>(deviceObject->DeviceExtension);
}

ULONG traceAddress(PVOID p) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(p)); }

// Who may open the device ------------------------------------------------------
//
// Every request changes the controller, the display or the event log, so
// only the system and the local Administrators may open the device; the
// tools that send requests run as one of them. IoCreateDeviceSecure is not
// exported by the kernels of the 32-bit family (it is a static library this
// build does not have), so the device is created with IoCreateDevice and
// given its DACL at once, the way those kernels allow: a descriptor built
// with the Rtl routines, set with ZwSetSecurityObject through a kernel
// handle from ObOpenObjectByPointer. This happens before the link exists,
// so user mode has no name for the device until it is protected.
// FILE_DEVICE_SECURE_OPEN makes the I/O manager check the same DACL when a
// name below the device is opened, which it would otherwise leave to
// DispatchCreate, which admits everything.

// A SID of at most two sub-authorities, in the binary layout the kernel
// reads: revision 1, the count, the six-byte authority, the sub-authorities.
struct WellKnownSid {
  UCHAR revision;
  UCHAR subAuthorityCount;
  UCHAR authority[6];
  ULONG subAuthority[2];
};
constexpr ULONG kSidHeader = 8;
constexpr ULONG sidLength(const WellKnownSid& sid) {
  return kSidHeader + sid.subAuthorityCount * sizeof(ULONG);
}

// S-1-5-18, the local system; S-1-5-32-544, the Administrators alias.
constexpr WellKnownSid kLocalSystemSid = {1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};
constexpr WellKnownSid kAdministratorsSid = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};

// An ACL header, then per ACE its 4-byte header, 32-bit mask and the SID.
constexpr ULONG kAclHeader = 8;
constexpr ULONG kAceFixed = 8;
constexpr ULONG kDaclLength =
    kAclHeader + kAceFixed + sidLength(kLocalSystemSid) + kAceFixed + sidLength(kAdministratorsSid);

// The kernel routine whose failure ends the protection, as the trace and
// the event name it.
struct FailedCall {
  const char* what;
  PCWSTR eventText;
};
#define SC_FAILED_CALL(routine) \
  FailedCall { "Function '" #routine "' failed", L"Function '" #routine "' failed" }

PSID sidOf(const WellKnownSid& sid) { return const_cast<WellKnownSid*>(&sid); }

NTSTATUS protectDevice(PDEVICE_OBJECT deviceObject, FailedCall* failed) {
  ULONG daclBuffer[kDaclLength / sizeof(ULONG)];
  PACL dacl = reinterpret_cast<PACL>(daclBuffer);
  *failed = SC_FAILED_CALL(RtlCreateAcl);
  NTSTATUS status = RtlCreateAcl(dacl, kDaclLength, ACL_REVISION);
  if (!NT_SUCCESS(status)) return status;
  *failed = SC_FAILED_CALL(RtlAddAccessAllowedAce);
  status = RtlAddAccessAllowedAce(dacl, ACL_REVISION, GENERIC_ALL, sidOf(kLocalSystemSid));
  if (!NT_SUCCESS(status)) return status;
  status = RtlAddAccessAllowedAce(dacl, ACL_REVISION, GENERIC_ALL, sidOf(kAdministratorsSid));
  if (!NT_SUCCESS(status)) return status;
  SECURITY_DESCRIPTOR descriptor;
  *failed = SC_FAILED_CALL(RtlCreateSecurityDescriptor);
  status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (!NT_SUCCESS(status)) return status;
  *failed = SC_FAILED_CALL(RtlSetDaclSecurityDescriptor);
  status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, dacl, FALSE);
  if (!NT_SUCCESS(status)) return status;
  // A kernel-mode open of a kernel handle is not access-checked, and the
  // handle is in no process's table.
  HANDLE handle = nullptr;
  *failed = SC_FAILED_CALL(ObOpenObjectByPointer);
  status = ObOpenObjectByPointer(deviceObject, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode,
                                 &handle);
  if (!NT_SUCCESS(status)) return status;
  // The object manager keeps its own copy of the DACL: the buffers on this
  // stack may go when the call returns.
  *failed = SC_FAILED_CALL(ZwSetSecurityObject);
  status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
  ZwClose(handle);
  return status;
}
}  // namespace

// Entry and exit ---------------------------------------------------------------

bool detectDevice() {
  for (ULONG bus = 0; bus < kPciBuses; bus++) {
    for (ULONG slot = 0; slot < kPciSlots; slot++) {
      // The slot number holds the device in bits 0-4; function 0.
      UCHAR config[kPciConfigBytes];
      ULONG read = HalGetBusData(PCIConfiguration, bus, slot, config, sizeof(config));
      if (read == 0) {
        return false;  // the first bus that does not exist ends the search
      }
      USHORT vendor = static_cast<USHORT>(config[0] | config[1] << 8);
      USHORT device = static_cast<USHORT>(config[2] | config[3] << 8);
      if (vendor != kVendorIntel) {
        continue;
      }
      for (USHORT bridge : kLpcBridges) {
        if (device == bridge) {
          return true;
        }
      }
    }
  }
  return false;
}

// The device and what its extension holds of the kernel's beside it. No
// request has reached the device, or the unload routine waited for the
// last: its worker is not queued.
void deleteDevice(PDEVICE_OBJECT deviceObject) {
  IoFreeWorkItem(extensionOf(deviceObject)->StartIoWorker);
  IoDeleteDevice(deviceObject);
}

NTSTATUS createDevice(PDRIVER_OBJECT DriverObject) {
  SC_TRACE(TRACE_FLOW, "createDevice() Enter\n");
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, kDeviceName);
  RtlInitUnicodeString(&linkName, kLinkName);

  PDEVICE_OBJECT deviceObject = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CDeviceExt), &deviceName, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
  if (!NT_SUCCESS(status)) {
    return reportInitFailure(DriverObject, kCreator, "Function 'IoCreateDevice' failed",
                             L"Function 'IoCreateDevice' failed", status);
  }
  // A shutdown may reach the extension as soon as the notification below is
  // registered, before Init has run, and stop takes the link lock first.
  CDeviceExt* ext = extensionOf(deviceObject);
  KeInitializeSpinLock(&ext->LinkLock);
  KeInitializeSpinLock(&ext->SwitchLock);
  // Every request completes inside the start-I/O routine, which leaves the
  // next to this worker: started from the routine, the next would run at
  // DISPATCH_LEVEL right after it, and a queue that other processors keep
  // filling would keep this processor at that level for good, without a
  // deferred call (the poll's among them) ever running on it.
  ext->StartIoWorker = IoAllocateWorkItem(deviceObject);
  if (ext->StartIoWorker == nullptr) {
    reportInitFailure(DriverObject, kCreator, "Function 'IoAllocateWorkItem' failed",
                      L"Function 'IoAllocateWorkItem' failed", STATUS_INSUFFICIENT_RESOURCES);
    IoDeleteDevice(deviceObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Deferred start-I/O: a next packet started from inside the routine
  // starts once it has returned, never nested within it on the 12 KB
  // kernel stack. The kernel has the routine from Windows XP on; it sets
  // the start-I/O attributes in the device object's extension, not the
  // object's flags.
  IoSetStartIoAttributes(deviceObject, TRUE, FALSE);
  // A device anyone could open is worse than none.
  FailedCall failed;
  status = protectDevice(deviceObject, &failed);
  if (!NT_SUCCESS(status)) {
    reportInitFailure(DriverObject, kCreator, failed.what, failed.eventText, status);
    deleteDevice(deviceObject);
    return status;
  }
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    reportInitFailure(DriverObject, kCreator, "Function 'IoCreateSymbolicLink' failed",
                      L"Function 'IoCreateSymbolicLink' failed", status);
    deleteDevice(deviceObject);
    return status;
  }
  status = IoRegisterShutdownNotification(deviceObject);
  if (!NT_SUCCESS(status)) {
    reportInitFailure(DriverObject, kCreator, "Function 'IoRegisterShutdownNotification' failed",
                      L"Function 'IoRegisterShutdownNotification' failed", status);
    IoDeleteSymbolicLink(&linkName);
    deleteDevice(deviceObject);
    return status;
  }
  // The extension, which the I/O manager zeroed; Init
  // gives every other field its value.
  status = ext->Init(DriverObject, deviceObject);
  if (!NT_SUCCESS(status)) {
    IoUnregisterShutdownNotification(deviceObject);
    IoDeleteSymbolicLink(&linkName);
    deleteDevice(deviceObject);
  }
  SC_TRACE(TRACE_FLOW, "createDevice() Exit; status [0x%X]\n", status);
  return status;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)RegistryPath;  // the Parameters key has a fixed path
  NTSTATUS status = STATUS_SUCCESS;
  g_DebugLevel = readDebugLevel();
  DriverObject->DriverUnload = DriverUnload;
  if (detectDevice()) {
    DriverObject->DriverStartIo = DriverStartIo;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIOCTL;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
    status = createDevice(DriverObject);
  } else {
    SC_TRACE(TRACE_WARNING, "detectDevice() !!!!! WARNING LPC device not found; no device object created\n");
    LogEvent(DriverObject, MSG_NO_LPC_CONTROLLER, nullptr, 0, nullptr);
  }
  SC_TRACE(TRACE_FLOW, "DriverEntry() Exit; status [0x%X]\n", status);
  return status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  SC_TRACE(TRACE_FLOW, "DriverUnload() Enter\n");
  PDEVICE_OBJECT deviceObject = DriverObject->DeviceObject;
  if (deviceObject != nullptr) {
    extensionOf(deviceObject)->stop(false);
    // stop cancelled the timer and took a queued poll off its queue, but
    // KeRemoveQueueDpc cannot take back a poll that a processor has already
    // dequeued: it may still be running, or not yet have reached the lock.
    // KeFlushQueuedDpcs returns once every deferred call queued before it
    // has run to its end, so none touches the extension after IoDeleteDevice
    // frees it, nor runs in the image after it is unloaded. It came with
    // Windows XP SP2 and Windows Server 2003, the oldest kernels this driver
    // is built for; a run-down count of the driver's own could not close
    // the gap between the kernel taking the call off the queue and the
    // routine's first instruction.
    KeFlushQueuedDpcs();
    IoUnregisterShutdownNotification(deviceObject);
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, kLinkName);
    IoDeleteSymbolicLink(&linkName);
    // The I/O manager calls this routine only once no queued work item
    // holds the device, so its worker is not queued.
    deleteDevice(deviceObject);
  }
  LogEvent(DriverObject, MSG_DRIVER_STOPPED, nullptr, 0, nullptr);
  SC_TRACE(TRACE_FLOW, "DriverUnload() Exit\n");
}

// Open, close and shutdown ---------------------------------------------------

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DispatchCreate() Enter\n");
  extensionOf(DeviceObject)->completeRequest(Irp, STATUS_SUCCESS, 0);
  SC_TRACE(TRACE_FLOW, "DispatchCreate() Exit; status [0x%X]\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DispatchClose() Enter\n");
  extensionOf(DeviceObject)->completeRequest(Irp, STATUS_SUCCESS, 0);
  SC_TRACE(TRACE_FLOW, "DispatchClose() Exit; status [0x%X]\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DispatchShutdown() Enter\n");
  CDeviceExt* ext = extensionOf(DeviceObject);
  ext->stop(true);
  ext->completeRequest(Irp, STATUS_SUCCESS, 0);
  LogEvent(DeviceObject, MSG_DRIVER_STOPPED, nullptr, 0, nullptr);
  SC_TRACE(TRACE_FLOW, "DispatchShutdown() Exit; status [0x%X]\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

// Control requests ----------------------------------------------------------

namespace {
// The trace-level request, served at once in the caller's thread.
NTSTATUS setDebugLevel(CDeviceExt* ext, PIRP Irp, PIO_STACK_LOCATION stack) {
  ULONG information = 0;
  NTSTATUS status = STATUS_SUCCESS;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  if (buffer == nullptr || inputLength != kLevelLength) {
    status = STATUS_INVALID_PARAMETER;
    SC_TRACE(
        TRACE_ERROR,
        "DispatchIOCTL() !!!!! WARNING Invalid parameter for 'Debug Level' request; buffer [0x%X]; size in "
        "[%d]\n",
        traceAddress(buffer), inputLength);
  } else {
    LONG oldLevel = g_DebugLevel;
    LONG newLevel = *static_cast<LONG*>(buffer);
    if (newLevel > kMaxDebugLevel) {
      newLevel = kMaxDebugLevel;
    }
    g_DebugLevel = newLevel;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength == kLevelLength) {
      *static_cast<LONG*>(buffer) = oldLevel;
      information = kLevelLength;
    }
    SC_TRACE(TRACE_ERROR, "DispatchIOCTL() Using new debug level [%d]\n", newLevel);
  }
  return ext->completeRequest(Irp, status, information);
}
}  // namespace

namespace {
// One request taken from the device queue, as its handler sees it.
struct QueuedRequest {
  CDeviceExt* ext;
  PDEVICE_OBJECT deviceObject;
  PIRP irp;
  ULONG code;
  PVOID buffer;
  ULONG inputLength;
  ULONG outputLength;
};

NTSTATUS handleHexDisplay(const QueuedRequest& r) {
  NTSTATUS status = r.ext->IoControlHexDisplay(r.code, r.buffer, r.inputLength, r.buffer, r.outputLength);
  if (!NT_SUCCESS(status)) {
    LogEvent(r.deviceObject, MSG_HEX_DISPLAY_FAILED, nullptr, static_cast<ULONG>(status), r.irp);
  }
  return status;
}

NTSTATUS handleSwitch(const QueuedRequest& r) {
  return r.ext->IoControlSwitch(r.code == IOCTL_SC_SWITCH_CONNECT, r.buffer, r.inputLength, r.buffer,
                                r.outputLength);
}

NTSTATUS handleVersion(const QueuedRequest& r) {
  return r.ext->IoControlFirmwareVersion(r.buffer, r.outputLength);
}

NTSTATUS handleCommand4(const QueuedRequest& r) { return r.ext->IoControlCommand4(); }

NTSTATUS handleStatusLED(const QueuedRequest& r) {
  return r.ext->IoControlStatusLED(r.code == IOCTL_SC_STATUS_LED_ON);
}

// Who serves the queued requests of each subject of the request table, and
// the subject's name in the trace of a refusal.
struct Subject {
  ULONG subject;
  ULONG record;  // the length of the record the handler reads and writes; 0: none
  const char* name;
  NTSTATUS (*handle)(const QueuedRequest& request);
};
constexpr Subject kSubjects[] = {
    {SC_SUBJECT_DISPLAY, sizeof(SC_HD_RECORD), "hex display", handleHexDisplay},
    {SC_SUBJECT_SWITCH, sizeof(SC_SWITCH_RECORD), "switch", handleSwitch},
    {SC_SUBJECT_VERSION, sizeof(SC_VERSION_RECORD), "version", handleVersion},
    {SC_SUBJECT_COMMAND4, 0, "command 4", handleCommand4},
    {SC_SUBJECT_LED, 0, "status LED", handleStatusLED},
};

constexpr const Subject* subjectOf(ULONG subject) {
  for (const Subject& s : kSubjects) {
    if (s.subject == subject) return &s;
  }
  return nullptr;
}

// A queued row whose size rule lets a buffer shorter than its handler's
// record through, or that nobody serves, or a code named twice, stops the
// build.
constexpr bool lengthHolds(ULONG rule, ULONG record, bool optional) {
  return rule == record || (optional && rule == SC_ANY_LEN);
}
constexpr bool routesSound() {
  for (const RequestRoute& a : kRoutes) {
    const Subject* subject = subjectOf(a.subject);
    if (a.path == SC_QUEUED && subject == nullptr) return false;
    if (a.path == SC_QUEUED && subject->record != 0 &&
        !(a.reply == SC_REPLY_RECORD && lengthHolds(a.output, subject->record, false) &&
          lengthHolds(a.input, subject->record, true))) {
      return false;
    }
    if (rowOf(a.code) != &a) return false;
  }
  return true;
}
static_assert(routesSound(), "the request table");

// The codes served through the device queue: every one that talks to the
// controller, and the version request.
const RequestRoute* routeOf(ULONG code) {
  const RequestRoute* route = rowOf(code);
  return route != nullptr && route->path == SC_QUEUED ? route : nullptr;
}

// An exact length in the table needs the system buffer and that length.
bool lengthFits(ULONG rule, ULONG length, PVOID buffer) {
  return rule == SC_ANY_LEN || (buffer != nullptr && length == rule);
}

// The buffer a request must have before the controller is contacted.
bool sizesFit(const RequestRoute& route, const QueuedRequest& r) {
  ULONG output = route.reply == SC_REPLY_RECORD ? route.output : SC_ANY_LEN;
  return lengthFits(route.input, r.inputLength, r.buffer) && lengthFits(output, r.outputLength, r.buffer);
}

// A broken size rule: the request is refused before the controller is
// contacted.
NTSTATUS refuseSizes(const RequestRoute& route, const QueuedRequest& r) {
  if (route.input == SC_ANY_LEN) {
    SC_TRACE(TRACE_WARNING,
             "DriverStartIo() !!!!! WARNING Invalid parameter for %s request; buffer [0x%X]; size out [%d]\n",
             subjectOf(route.subject)->name, traceAddress(r.buffer), r.outputLength);
  } else {
    SC_TRACE(
        TRACE_WARNING,
        "DriverStartIo() !!!!! WARNING Invalid parameter for %s request; buffer [0x%X]; size in [%d]; size "
        "out [%d]\n",
        subjectOf(route.subject)->name, traceAddress(r.buffer), r.inputLength, r.outputLength);
  }
  LogEvent(r.deviceObject, MSG_INVALID_PARAMETER, L"DriverStartIo",
           static_cast<ULONG>(STATUS_INVALID_PARAMETER), r.irp);
  return STATUS_INVALID_PARAMETER;
}

// Guards, then the route's handler: the status, and in *information what
// the I/O manager copies back.
NTSTATUS serveQueued(const QueuedRequest& r, ULONG* information) {
  if (r.ext->Stopped) {
    // After shutdown the interface is released: nothing may reach the
    // controller any more.
    SC_TRACE(TRACE_WARNING, "DriverStartIo() !!!!! WARNING Device stopped; request [0x%X] refused\n", r.code);
    return STATUS_DEVICE_NOT_READY;
  }
  const RequestRoute* route = routeOf(r.code);
  if (route == nullptr) {
    SC_TRACE(TRACE_ERROR, "DriverStartIo() ***** ERROR Software bug\n");
    return STATUS_NOT_SUPPORTED;
  }
  if (!sizesFit(*route, r)) {
    return refuseSizes(*route, r);
  }
  NTSTATUS status = subjectOf(route->subject)->handle(r);
  if (route->reply == SC_REPLY_RECORD) {
    *information = r.outputLength;
  }
  return status;
}
}  // namespace

NTSTATUS NTAPI DispatchIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DispatchIOCTL() Enter\n");
  CDeviceExt* ext = extensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS status;
  if (routeOf(code) != nullptr) {
    // The registry can be read here, at PASSIVE_LEVEL, and not once the
    // request runs in the start-I/O routine.
    if (code == IOCTL_SC_SWITCH_CONNECT) {
      ext->readSwitchRegistry();
    }
    // Marked before it is queued: the start-I/O routine may complete it
    // inside IoStartPacket.
    IoMarkIrpPending(Irp);
    IoStartPacket(DeviceObject, Irp, nullptr, nullptr);
    status = STATUS_PENDING;
  } else if (code == IOCTL_SC_DEBUG_LEVEL) {
    status = setDebugLevel(ext, Irp, stack);
  } else {
    SC_TRACE(TRACE_WARNING, "DispatchIOCTL() !!!!! WARNING Invalid IOCTL request [0x%X]\n", code);
    LogEvent(DeviceObject, MSG_INVALID_REQUEST, L"DispatchIOCTL",
             static_cast<ULONG>(STATUS_INVALID_DEVICE_REQUEST), Irp);
    status = ext->completeRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  SC_TRACE(TRACE_FLOW, "DispatchIOCTL() Exit; status [0x%X]\n", status);
  return status;
}

namespace {
// One request served at DISPATCH_LEVEL under the link, completed, and the
// next one left to the worker, so that the processor drops below
// DISPATCH_LEVEL between two requests. A request that finds the link busy
// (a poll on another processor) stays the current one: the poll queues
// the worker for it when it lets the link go.
void serveRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
  CDeviceExt* ext = extensionOf(deviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const QueuedRequest request = {ext,
                                 deviceObject,
                                 irp,
                                 stack->Parameters.DeviceIoControl.IoControlCode,
                                 irp->AssociatedIrp.SystemBuffer,
                                 stack->Parameters.DeviceIoControl.InputBufferLength,
                                 stack->Parameters.DeviceIoControl.OutputBufferLength};
  ext->OwedIrp = irp;
  if (!ext->tryTakeLink(&ext->RequestOwed)) {
    return;
  }
  ext->OwedIrp = nullptr;
  ULONG information = 0;
  ext->beginStretch();
  NTSTATUS status = serveQueued(request, &information);
  ext->endStretch();
  ext->giveLink();
  ext->completeRequest(irp, status, information);
  ext->queueStartIoWorker();
}
}  // namespace

VOID NTAPI DriverStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DriverStartIo() Enter\n");
  serveRequest(DeviceObject, Irp);
  SC_TRACE(TRACE_FLOW, "DriverStartIo() Exit\n");
}

// In a system worker thread at PASSIVE_LEVEL. The device stays referenced
// until this returns, so the extension is there even after a shutdown.
VOID NTAPI StartIoWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  (void)Context;
  CDeviceExt* ext = extensionOf(DeviceObject);
  KIRQL oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
  PIRP owed = ext->OwedIrp;
  if (owed != nullptr) {
    serveRequest(DeviceObject, owed);
  } else {
    IoStartNextPacket(DeviceObject, FALSE);
  }
  KfLowerIrql(oldIrql);
}
