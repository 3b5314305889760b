// Driver entry, dispatch and start-I/O routines.
#include "tamrixsc.h"

#include "DeviceExt.h"
#include "scioctl.h"

LONG g_DebugLevel = TRACE_WARNING;

namespace {
const WCHAR kDeviceName[] = L"\\Device\\8051SC0";
const WCHAR kLinkName[] = L"\\DosDevices\\8051SCDev";

// The supported LPC bridges, function 0 of their PCI device.
constexpr USHORT kVendorIntel = 0x8086;
constexpr USHORT kLpcBridges[] = {0x2410, 0x24C0};
constexpr ULONG kPciSlots = 32;
// The platform returns 0 for the first bus past the last; a platform that
// never does is not scanned past the largest bus number PCI has.
constexpr ULONG kPciBuses = 256;
constexpr ULONG kPciConfigBytes = 256;

constexpr ULONG kRecordLength = 12;   // SC_HD_RECORD, SC_SWITCH_RECORD
constexpr ULONG kVersionLength = 72;  // SC_VERSION_RECORD
constexpr ULONG kLevelLength = 4;     // one signed 32-bit trace level
constexpr LONG kMaxDebugLevel = TRACE_FLOW;

CDeviceExt* recordOf(PDEVICE_OBJECT deviceObject) {
  return static_cast<CDeviceExt*>(deviceObject->DeviceExtension);
}

bool isHexDisplayCode(ULONG code) {
  switch (code) {
    case IOCTL_SC_HD_CLEAR_STATUS:
    case IOCTL_SC_HD_SET_STATUS:
    case IOCTL_SC_HD_SET_REFRESH_RATE:
    case IOCTL_SC_HD_GROUP_ADD:
    case IOCTL_SC_HD_GROUP_DELETE:
    case IOCTL_SC_HD_MESSAGE_ADD:
    case IOCTL_SC_HD_MESSAGE_EXCHANGE:
    case IOCTL_SC_HD_MESSAGE_DELETE:
    case IOCTL_SC_HD_STATUS_QUERY:
    case IOCTL_SC_HD_RESET: return true;
    default: return false;
  }
}

// The codes served through the device queue: every one that talks to the
// controller, and the version request.
bool isQueuedCode(ULONG code) {
  switch (code) {
    case IOCTL_SC_SWITCH_CONNECT:
    case IOCTL_SC_SWITCH_DISCONNECT:
    case IOCTL_SC_FIRMWARE_VERSION:
    case IOCTL_SC_COMMAND4:
    case IOCTL_SC_STATUS_LED_ON:
    case IOCTL_SC_STATUS_LED_OFF: return true;
    default: return isHexDisplayCode(code);
  }
}

ULONG traceAddress(PVOID p) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(p)); }
}  // namespace

static_assert(sizeof(SC_HD_RECORD) == kRecordLength && sizeof(SC_SWITCH_RECORD) == kRecordLength &&
                  sizeof(SC_VERSION_RECORD) == kVersionLength,
              "request records");

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

NTSTATUS createDevice(PDRIVER_OBJECT DriverObject) {
  SC_TRACE(TRACE_FLOW, "createDevice() Enter\n");
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, kDeviceName);
  RtlInitUnicodeString(&linkName, kLinkName);

  PDEVICE_OBJECT deviceObject = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CDeviceExt), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &deviceObject);
  if (!NT_SUCCESS(status)) {
    SC_TRACE(TRACE_ERROR, "createDevice() ***** ERROR Function 'IoCreateDevice' failed; status [0x%X]\n",
             status);
    LogEvent(DriverObject, MSG_INIT_FAILED, L"Function 'IoCreateDevice' failed", static_cast<ULONG>(status),
             nullptr);
    return status;
  }
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    SC_TRACE(TRACE_ERROR,
             "createDevice() ***** ERROR Function 'IoCreateSymbolicLink' failed; status [0x%X]\n", status);
    IoDeleteDevice(deviceObject);
    LogEvent(DriverObject, MSG_INIT_FAILED, L"Function 'IoCreateSymbolicLink' failed",
             static_cast<ULONG>(status), nullptr);
    return status;
  }
  status = IoRegisterShutdownNotification(deviceObject);
  if (!NT_SUCCESS(status)) {
    SC_TRACE(TRACE_ERROR,
             "createDevice() ***** ERROR Function 'IoRegisterShutdownNotification' failed; status [0x%X]\n",
             status);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(deviceObject);
    LogEvent(DriverObject, MSG_INIT_FAILED, L"Function 'IoRegisterShutdownNotification' failed",
             static_cast<ULONG>(status), nullptr);
    return status;
  }
  // The record lives in the extension, which the I/O manager zeroed; Init
  // gives every field its value.
  status = recordOf(deviceObject)->Init(DriverObject, deviceObject);
  if (!NT_SUCCESS(status)) {
    IoUnregisterShutdownNotification(deviceObject);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(deviceObject);
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
    recordOf(deviceObject)->stop(false);
    IoUnregisterShutdownNotification(deviceObject);
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, kLinkName);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(deviceObject);
  }
  LogEvent(DriverObject, MSG_DRIVER_STOPPED, nullptr, 0, nullptr);
  SC_TRACE(TRACE_FLOW, "DriverUnload() Exit\n");
}

// Open, close and shutdown ---------------------------------------------------

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DispatchCreate() Enter\n");
  recordOf(DeviceObject)->completeRequest(Irp, STATUS_SUCCESS, 0);
  SC_TRACE(TRACE_FLOW, "DispatchCreate() Exit; status [0x%X]\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DispatchClose() Enter\n");
  recordOf(DeviceObject)->completeRequest(Irp, STATUS_SUCCESS, 0);
  SC_TRACE(TRACE_FLOW, "DispatchClose() Exit; status [0x%X]\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DispatchShutdown() Enter\n");
  CDeviceExt* record = recordOf(DeviceObject);
  record->stop(true);
  record->completeRequest(Irp, STATUS_SUCCESS, 0);
  LogEvent(DeviceObject, MSG_DRIVER_STOPPED, nullptr, 0, nullptr);
  SC_TRACE(TRACE_FLOW, "DispatchShutdown() Exit; status [0x%X]\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

// Control requests ----------------------------------------------------------

namespace {
// The trace-level request, served at once in the caller's thread.
NTSTATUS setDebugLevel(CDeviceExt* record, PIRP Irp, PIO_STACK_LOCATION stack) {
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
  return record->completeRequest(Irp, status, information);
}
}  // namespace

NTSTATUS NTAPI DispatchIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DispatchIOCTL() Enter\n");
  CDeviceExt* record = recordOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS status;
  if (isQueuedCode(code)) {
    // The registry can be read here, at PASSIVE_LEVEL, and not once the
    // request runs in the start-I/O routine.
    if (code == IOCTL_SC_SWITCH_CONNECT) {
      record->readSwitchRegistry();
    }
    // Marked before it is queued: the start-I/O routine may complete it
    // inside IoStartPacket.
    IoMarkIrpPending(Irp);
    IoStartPacket(DeviceObject, Irp, nullptr, nullptr);
    status = STATUS_PENDING;
  } else if (code == IOCTL_SC_DEBUG_LEVEL) {
    status = setDebugLevel(record, Irp, stack);
  } else {
    SC_TRACE(TRACE_WARNING, "DispatchIOCTL() !!!!! WARNING Invalid IOCTL request [0x%X]\n", code);
    LogEvent(DeviceObject, MSG_INVALID_REQUEST, L"DispatchIOCTL",
             static_cast<ULONG>(STATUS_INVALID_DEVICE_REQUEST), Irp);
    status = record->completeRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  SC_TRACE(TRACE_FLOW, "DispatchIOCTL() Exit; status [0x%X]\n", status);
  return status;
}

namespace {
// A broken size rule: the request is refused before the controller is
// contacted.
NTSTATUS refuseParameters(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  LogEvent(DeviceObject, MSG_INVALID_PARAMETER, L"DriverStartIo",
           static_cast<ULONG>(STATUS_INVALID_PARAMETER), Irp);
  return STATUS_INVALID_PARAMETER;
}
}  // namespace

VOID NTAPI DriverStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SC_TRACE(TRACE_FLOW, "DriverStartIo() Enter\n");
  CDeviceExt* record = recordOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG information = 0;
  bool recordSizes = buffer != nullptr && inputLength == kRecordLength && outputLength == kRecordLength;

  // One conversation at a time: the poll may run on another processor.
  KeAcquireSpinLockAtDpcLevel(&record->LinkLock);
  if (record->Stopped) {
    // After shutdown the interface is released: nothing may reach the
    // controller any more.
    status = STATUS_DEVICE_NOT_READY;
    SC_TRACE(TRACE_WARNING, "DriverStartIo() !!!!! WARNING Device stopped; request [0x%X] refused\n", code);
  } else if (isHexDisplayCode(code)) {
    if (recordSizes) {
      status = record->IoControlHexDisplay(code, buffer, inputLength, buffer, outputLength);
      information = outputLength;
      if (!NT_SUCCESS(status)) {
        LogEvent(DeviceObject, MSG_HEX_DISPLAY_FAILED, nullptr, static_cast<ULONG>(status), Irp);
      }
    } else {
      SC_TRACE(TRACE_WARNING,
               "DriverStartIo() !!!!! WARNING Invalid parameter for hex display request; buffer [0x%X]; size "
               "in [%d]; "
               "size out [%d]\n",
               traceAddress(buffer), inputLength, outputLength);
      status = refuseParameters(DeviceObject, Irp);
    }
  } else if (code == IOCTL_SC_SWITCH_CONNECT || code == IOCTL_SC_SWITCH_DISCONNECT) {
    if (recordSizes) {
      status =
          record->IoControlSwitch(code == IOCTL_SC_SWITCH_CONNECT, buffer, inputLength, buffer, outputLength);
      information = outputLength;
    } else {
      SC_TRACE(TRACE_WARNING,
               "DriverStartIo() !!!!! WARNING Invalid parameter for switch request; buffer [0x%X]; size in "
               "[%d]; size "
               "out [%d]\n",
               traceAddress(buffer), inputLength, outputLength);
      status = refuseParameters(DeviceObject, Irp);
    }
  } else if (code == IOCTL_SC_FIRMWARE_VERSION) {
    if (buffer != nullptr && outputLength == kVersionLength) {
      status = record->IoControlFirmwareVersion(buffer, outputLength);
      information = outputLength;
    } else {
      SC_TRACE(TRACE_WARNING,
               "DriverStartIo() !!!!! WARNING Invalid parameter for version request; buffer [0x%X]; size out "
               "[%d]\n",
               traceAddress(buffer), outputLength);
      status = refuseParameters(DeviceObject, Irp);
    }
  } else if (code == IOCTL_SC_COMMAND4) {
    status = record->IoControlCommand4();
  } else if (code == IOCTL_SC_STATUS_LED_ON || code == IOCTL_SC_STATUS_LED_OFF) {
    status = record->IoControlStatusLED(code == IOCTL_SC_STATUS_LED_ON);
  } else {
    status = STATUS_NOT_SUPPORTED;
    SC_TRACE(TRACE_ERROR, "DriverStartIo() ***** ERROR Software bug\n");
  }
  KeReleaseSpinLockFromDpcLevel(&record->LinkLock);
  record->completeRequest(Irp, status, information);
  IoStartNextPacket(DeviceObject, FALSE);
  SC_TRACE(TRACE_FLOW, "DriverStartIo() Exit\n");
}
