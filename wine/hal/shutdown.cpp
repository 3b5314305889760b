// Shutdown notification. Wine never sends IRP_MJ_SHUTDOWN; here a device
// registered for it gets one whenever halctl.exe shutdown sets the HAL's
// shutdown event, built and sent through Wine's own I/O manager
// (IoBuildSynchronousFsdRequest, IofCallDriver), at PASSIVE_LEVEL in a
// thread of the HAL's, as the real system sends it from a system thread.
#include <algorithm>
#include <vector>

#include "Control.h"
#include "Gaps.h"
#include "Hal.h"
#include "platform.h"

namespace winehal {
namespace {
struct Registrations {
  win32::Monitor lock;
  std::vector<PDEVICE_OBJECT> devices;
  bool listening = false;
};

Registrations& registrations() {
  static Registrations r;
  return r;
}

using BuildRequest = PIRP(NTAPI*)(ULONG, PDEVICE_OBJECT, PVOID, ULONG, PLARGE_INTEGER, PKEVENT,
                                  PIO_STATUS_BLOCK);
using CallDriver = NTSTATUS(FASTCALL*)(PDEVICE_OBJECT, PIRP);
using InitEvent = VOID(NTAPI*)(PRKEVENT, EVENT_TYPE, BOOLEAN);
using Wait = NTSTATUS(NTAPI*)(PVOID, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER);

void sendShutdown(PDEVICE_OBJECT device) {
  static const auto build = reinterpret_cast<BuildRequest>(wineRoutine("IoBuildSynchronousFsdRequest"));
  static const auto call = reinterpret_cast<CallDriver>(wineRoutine("IofCallDriver"));
  static const auto initEvent = reinterpret_cast<InitEvent>(wineRoutine("KeInitializeEvent"));
  static const auto wait = reinterpret_cast<Wait>(wineRoutine("KeWaitForSingleObject"));
  KEVENT done;
  IO_STATUS_BLOCK status = {};
  initEvent(&done, NotificationEvent, FALSE);
  PIRP irp = build(IRP_MJ_SHUTDOWN, device, nullptr, 0, nullptr, &done, &status);
  if (irp == nullptr) {
    win32::Hold hold(hal().boardLock);
    output("hal: shutdown: no IRP could be built");
    return;
  }
  if (call(device, irp) == STATUS_PENDING) wait(&done, Executive, KernelMode, FALSE, nullptr);
}

void listen(void*) {
  void* request = win32::createEvent(kShutdownEvent);
  void* done = win32::createEvent(kShutdownDoneEvent);
  for (;;) {
    win32::waitEvent(request);
    std::vector<PDEVICE_OBJECT> devices;
    {
      win32::Hold hold(registrations().lock);
      devices = registrations().devices;
    }
    for (PDEVICE_OBJECT device : devices) sendShutdown(device);
    win32::setEvent(done);
  }
}
}  // namespace
}  // namespace winehal

extern "C" NTSTATUS NTAPI gap_IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  winehal::Registrations& r = winehal::registrations();
  win32::Hold hold(r.lock);
  if (!r.listening) r.listening = win32::startThread(winehal::listen, nullptr);
  if (!r.listening) return STATUS_INSUFFICIENT_RESOURCES;
  r.devices.push_back(DeviceObject);
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI gap_IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  winehal::Registrations& r = winehal::registrations();
  win32::Hold hold(r.lock);
  r.devices.erase(std::remove(r.devices.begin(), r.devices.end(), DeviceObject), r.devices.end());
}
