#include "sim/iomanager.h"

#include <algorithm>
#include <cstring>

#include "sim/kernel.h"

namespace sim {
namespace {

// The handler the I/O manager leaves in every major function a driver does
// not claim.
NTSTATUS NTAPI invalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

size_t roundToPage(size_t size) {
  constexpr size_t kPage = 0x1000;
  return (size + kPage - 1) / kPage * kPage;
}

std::vector<WCHAR> wideCopy(const std::string& text) {
  std::vector<WCHAR> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

}  // namespace

Request::Request() {
  std::memset(&irp, 0, sizeof(irp));
  std::memset(&stack, 0, sizeof(stack));
}

Request::~Request() { SystemSpace::free(systemBuffer); }

void IoManager::Extension::operator()(uint8_t* p) const { SystemSpace::free(p); }

IoManager::~IoManager() = default;

std::string IoManager::text(PUNICODE_STRING s) {
  return s == nullptr ? std::string() : narrow(fromWide(s->Buffer, s->Length / sizeof(WCHAR)));
}

NTSTATUS IoManager::load(const std::string& name, Entry entry) {
  image_.reset();
  return start(name, entry);
}

NTSTATUS IoManager::loadImage(const std::string& name, const std::vector<uint8_t>& file, std::string* error,
                              uint32_t base) {
  image_ = DriverImage::map(file, error, base);
  if (!image_) {
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  return start(name, reinterpret_cast<Entry>(image_->entryPoint()));
}

NTSTATUS IoManager::start(const std::string& name, Entry entry) {
  static std::vector<WCHAR> nameBuffer;
  static std::vector<WCHAR> pathBuffer;
  driverName_ = "\\Driver\\" + name;
  nameBuffer = wideCopy(driverName_);
  pathBuffer = wideCopy("\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\" + name);

  driver_ = std::make_unique<DRIVER_OBJECT>();
  std::memset(driver_.get(), 0, sizeof(DRIVER_OBJECT));
  driver_->Type = 4;  // IO_TYPE_DRIVER
  RtlInitUnicodeString(&driver_->DriverName, nameBuffer.data());
  for (auto& handler : driver_->MajorFunction) handler = invalidDeviceRequest;
  driver_->DriverInit = reinterpret_cast<PVOID>(entry);
  if (image_) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the loader keeps the image's base as a number
    driver_->DriverStart = reinterpret_cast<PVOID>(image_->base());
    driver_->DriverSize = image_->size();
  }
  kernel_.names.set(driver_.get(), driverName_);

  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, pathBuffer.data());
  uint8_t level = kernel_.irql.level();
  NTSTATUS status;
  {
    Kernel::DriverFrame frame(kernel_, "DriverEntry");
    status = entry(driver_.get(), &registryPath);
  }
  if (kernel_.irql.level() != level) {
    kernel_.verifier.report(sim::Rule::IrqlUnexpectedValue, "DriverEntry returned at IRQL " +
                                                                std::to_string(kernel_.irql.level()) +
                                                                ", entered at " + std::to_string(level));
  }
  for (auto& d : devices_) d.object->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  // A driver whose entry fails is removed without its unload routine: it
  // must have undone everything itself.
  if (!NT_SUCCESS(status)) {
    checkLeftovers("failed DriverEntry");
    release();
  }
  return status;
}

// The driver object goes, then the image it came from.
void IoManager::release() {
  kernel_.names.remove(driver_.get());
  driver_.reset();
  image_.reset();
}

void IoManager::unload() {
  if (!driver_) {
    return;
  }
  // The I/O manager calls the unload routine only once no device of the
  // driver is referenced: a queued work item is waited for.
  kernel_.scheduler.waitUntil([this] { return workOutstanding_ == 0; }, -1);
  if (driver_->DriverUnload != nullptr) {
    uint8_t level = kernel_.irql.level();
    {
      Kernel::DriverFrame frame(kernel_, "DriverUnload");
      driver_->DriverUnload(driver_.get());
    }
    if (kernel_.irql.level() != level) {
      kernel_.verifier.report(sim::Rule::IrqlUnexpectedValue,
                              "DriverUnload returned at IRQL " + std::to_string(kernel_.irql.level()));
    }
  }
  // A deferred call that a processor took before the unload routine
  // removed it from the queue runs on in code that is about to go.
  const bool callRunning = !kernel_.scheduler.deferredWorkIdle();
  if (callRunning) {
    kernel_.verifier.report(sim::Rule::DriverUnloadedWithoutCancellingPendingOperations,
                            "a deferred call was still running when the unload routine returned");
  }
  checkLeftovers("unload");
  if (callRunning && image_) retired_.push_back(std::move(image_));
  release();
}

// What a driver must have undone when it goes: each leftover is reported,
// then taken away so that nothing refers to the driver's memory.
void IoManager::checkLeftovers(const std::string& when) {
  Verifier& v = kernel_.verifier;
  for (const auto& d : devices_)
    v.report(sim::Rule::DeviceLeftBehind, d.name + " still exists after " + when);
  for (const auto& l : links_) v.report(sim::Rule::LinkLeftBehind, l.name + " still exists after " + when);
  for (const auto& h : handles_) {
    v.report(sim::Rule::HandleLeftOpen, "kernel handle " + hex(h.first) + " to " +
                                            kernel_.names.of(h.second) + " still open after " + when);
  }
  handles_.clear();
  for (size_t i = 0; i < shutdownList_.size(); i++) {
    v.report(sim::Rule::ShutdownRegistrationLeftBehind,
             "a device is still registered for shutdown after " + when);
  }
  for (const auto& r : kernel_.resources.claims(driver_.get())) {
    v.report(sim::Rule::ClaimLeftBehind, "port range " + hex(r.start, 4) + " (" + std::to_string(r.length) +
                                             " bytes) still claimed after " + when);
  }
  if (kernel_.bus.mappingCount() != 0) {
    v.report(sim::Rule::MappingLeftBehind,
             std::to_string(kernel_.bus.mappingCount()) + " I/O space mapping(s) after " + when);
  }
  for (_KTIMER* t : kernel_.dispatcher.armedTimers()) {
    v.report(sim::Rule::DriverUnloadedWithoutCancellingPendingOperations, "timer still armed after " + when);
    kernel_.dispatcher.cancelTimer(t);
  }
  while (!kernel_.dispatcher.queuedDpcs().empty()) {
    v.report(sim::Rule::DriverUnloadedWithoutCancellingPendingOperations,
             "deferred call still queued after " + when);
    kernel_.dispatcher.removeDpc(kernel_.dispatcher.queuedDpcs().front());
  }
  if (workOutstanding_ > 0) {
    v.report(sim::Rule::DriverUnloadedWithoutCancellingPendingOperations,
             std::to_string(workOutstanding_) + " work item(s) still queued after " + when);
  }
  for (const auto& item : workItems_) {
    v.report(sim::Rule::PoolNotFreed, "work item " + hex(reinterpret_cast<uintptr_t>(item.first)) +
                                          " from IoAllocateWorkItem still allocated after " + when);
  }
  workQueue_.clear();
  workOutstanding_ = 0;
  workItems_.clear();
  for (const auto& block : kernel_.pool.outstanding()) {
    v.report(sim::Rule::PoolNotFreed, std::to_string(block.second.size) + " bytes tagged " +
                                          hex(block.second.tag) + " still allocated after " + when);
  }
  for (const auto& r : requests_) {
    if (!r.first->completed)
      v.report(sim::Rule::IrpNeverCompleted, "a request was never completed before " + when);
  }
  kernel_.errorLog.reportUnwritten();
  requests_.clear();
  shutdownList_.clear();
  links_.clear();
  for (auto& d : devices_) kernel_.names.remove(d.object.get());
  for (auto& d : devices_) deleted_.push_back(std::move(d));
  devices_.clear();
}

NTSTATUS IoManager::createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                 DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                 PDEVICE_OBJECT* device) {
  (void)exclusive;
  std::string deviceName = text(name);
  for (const auto& d : devices_) {
    if (!deviceName.empty() && Registry::sameName(d.name, deviceName)) {
      return STATUS_OBJECT_NAME_COLLISION;
    }
  }
  Device d;
  d.object = std::make_unique<DEVICE_OBJECT>();
  std::memset(d.object.get(), 0, sizeof(DEVICE_OBJECT));
  // The extension is zeroed nonpaged memory, aligned as pool is. It takes
  // whole pages here, so that the system buffers handed out after it lie
  // at the same addresses whatever the extension's size in this build: the
  // 64-bit build's extension is larger than the image's.
  d.extension.reset(static_cast<uint8_t*>(SystemSpace::allocate(roundToPage(extensionSize))));
  std::memset(d.extension.get(), 0, extensionSize);
  d.name = deviceName;
  d.extensionSize = extensionSize;
  DEVICE_OBJECT* o = d.object.get();
  o->Type = 3;  // IO_TYPE_DEVICE
  o->DriverObject = driver;
  o->DeviceType = type;
  o->Characteristics = characteristics;
  // No handle can be opened to a device until its creator is done with it:
  // the I/O manager clears the flag when the DriverEntry that created the
  // device returns.
  o->Flags = DO_DEVICE_INITIALIZING;
  o->DeviceExtension = d.extension.get();
  o->NextDevice = driver->DeviceObject;
  driver->DeviceObject = o;
  kernel_.names.set(o, deviceName);
  devices_.push_back(std::move(d));
  *device = o;
  return STATUS_SUCCESS;
}

void IoManager::deleteDevice(PDEVICE_OBJECT device) {
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [device](const Device& d) { return d.object.get() == device; });
  if (it == devices_.end()) {
    if (!kernel_.checkAlive("IoDeleteDevice", device)) return;
    kernel_.verifier.report(
        Rule::InvalidDeviceObject,
        "IoDeleteDevice of " + hex(reinterpret_cast<uintptr_t>(device)) + ", which is not a device");
    return;
  }
  if (std::find(shutdownList_.begin(), shutdownList_.end(), device) != shutdownList_.end()) {
    kernel_.verifier.report(sim::Rule::ShutdownRegistrationLeftBehind,
                            it->name + " deleted while registered for shutdown");
  }
  PDRIVER_OBJECT driver = device->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == device) {
      *link = device->NextDevice;
      break;
    }
  }
  kernel_.names.remove(device);
  // A referenced device loses its name at once and its memory only when
  // the last reference goes.
  Device gone = std::move(*it);
  devices_.erase(it);
  if (gone.references > 0) {
    deletePending_.push_back(std::move(gone));
  } else {
    retireDevice(std::move(gone));
  }
}

void IoManager::retireDevice(Device&& device) { deleted_.push_back(std::move(device)); }

void IoManager::reference(PDEVICE_OBJECT device, int delta) {
  for (auto& d : devices_) {
    if (d.object.get() == device) {
      d.references += delta;
      return;
    }
  }
  for (auto it = deletePending_.begin(); it != deletePending_.end(); ++it) {
    if (it->object.get() != device) continue;
    it->references += delta;
    if (it->references == 0) {
      Device gone = std::move(*it);
      deletePending_.erase(it);
      retireDevice(std::move(gone));
    }
    return;
  }
}

// Work items come from nonpaged pool, and may be allocated, queued and
// freed at DISPATCH_LEVEL at most (the routines check the level).
PIO_WORKITEM IoManager::allocateWorkItem(PDEVICE_OBJECT device) {
  auto item = std::make_unique<_IO_WORKITEM>();
  *item = _IO_WORKITEM{device, nullptr, nullptr, false};
  PIO_WORKITEM p = item.get();
  workItems_[p] = std::move(item);
  return p;
}

// An item in the queue cannot be queued again until a worker thread has
// taken it off; doing so is the bug check WORKER_INVALID.
void IoManager::queueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context) {
  if (workItems_.find(item) == workItems_.end()) {
    kernel_.verifier.report(Rule::WorkerInvalid, "IoQueueWorkItem of " +
                                                     hex(reinterpret_cast<uintptr_t>(item)) +
                                                     ", which is not an allocated work item");
    return;
  }
  if (item->queued) {
    kernel_.verifier.report(Rule::WorkerInvalid, "work item " + hex(reinterpret_cast<uintptr_t>(item)) +
                                                     " queued again while it is still in the queue");
    return;
  }
  item->queued = true;
  item->routine = routine;
  item->context = context;
  reference(item->device, +1);
  workOutstanding_++;
  workQueue_.push_back(item);
  // A worker thread made ready takes the processor from a thread at
  // PASSIVE_LEVEL at once.
  kernel_.scheduler.workQueued();
  kernel_.scheduler.point(Point::Call);
}

PIO_WORKITEM IoManager::takeQueuedWork() {
  if (workQueue_.empty()) return nullptr;
  PIO_WORKITEM item = workQueue_.front();
  workQueue_.pop_front();
  return item;
}

// Freeing an item that is still in the queue frees memory a worker thread
// is about to use: WORKER_INVALID. The routine may free its own item.
void IoManager::freeWorkItem(PIO_WORKITEM item) {
  auto it = workItems_.find(item);
  if (it == workItems_.end()) {
    kernel_.verifier.report(Rule::WorkerInvalid, "IoFreeWorkItem of " +
                                                     hex(reinterpret_cast<uintptr_t>(item)) +
                                                     ", which is not an allocated work item");
    return;
  }
  if (item->queued) {
    kernel_.verifier.report(Rule::WorkerInvalid, "work item " + hex(reinterpret_cast<uintptr_t>(item)) +
                                                     " freed while it is queued");
    return;
  }
  workItems_.erase(it);
}

// A worker thread runs the routine at PASSIVE_LEVEL and must get the
// processor back at that level: WORKER_THREAD_RETURNED_AT_BAD_IRQL.
void IoManager::runWorkItem(PIO_WORKITEM item) {
  item->queued = false;
  const PDEVICE_OBJECT device = item->device;
  const PIO_WORKITEM_ROUTINE routine = item->routine;
  const PVOID context = item->context;
  {
    Kernel::DriverFrame frame(kernel_, "a work item routine");
    routine(device, context);
  }
  if (kernel_.irql.level() != Irql::kPassive) {
    kernel_.verifier.report(Rule::WorkerThreadReturnedAtBadIrql,
                            "work item routine returned at IRQL " + std::to_string(kernel_.irql.level()));
    kernel_.irql.set(Irql::kPassive);
  }
  workItemsRun_++;
  workOutstanding_--;
  reference(device, -1);
}

std::string IoManager::freedObject(const void* p) const {
  auto inside = [p](const void* start, size_t size) {
    auto a = reinterpret_cast<uintptr_t>(p);
    auto s = reinterpret_cast<uintptr_t>(start);
    return a >= s && a - s < size;
  };
  for (const auto& d : deleted_) {
    if (inside(d.extension.get(), d.extensionSize))
      return "the extension of " + d.name + ", a deleted device";
    if (inside(d.object.get(), sizeof(DEVICE_OBJECT))) return d.name + ", a deleted device";
  }
  return "";
}

NTSTATUS IoManager::createLink(PUNICODE_STRING link, PUNICODE_STRING device) {
  std::string name = text(link);
  for (const auto& l : links_) {
    if (Registry::sameName(l.name, name)) return STATUS_OBJECT_NAME_COLLISION;
  }
  links_.push_back({name, text(device)});
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::deleteLink(PUNICODE_STRING link) {
  const std::string name = text(link);
  auto it = std::find_if(links_.begin(), links_.end(),
                         [&](const Link& l) { return Registry::sameName(l.name, name); });
  if (it == links_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  links_.erase(it);
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::registerShutdown(PDEVICE_OBJECT device) {
  shutdownList_.push_back(device);
  return STATUS_SUCCESS;
}

void IoManager::unregisterShutdown(PDEVICE_OBJECT device) {
  auto it = std::find(shutdownList_.begin(), shutdownList_.end(), device);
  if (it != shutdownList_.end()) shutdownList_.erase(it);
}

PDEVICE_OBJECT IoManager::lookup(const std::string& link) const {
  for (const auto& l : links_) {
    if (!Registry::sameName(l.name, link)) continue;
    for (const auto& d : devices_) {
      if (Registry::sameName(d.name, l.target)) return d.object.get();
    }
  }
  return nullptr;
}

IoManager::Device* IoManager::find(PDEVICE_OBJECT device) {
  for (auto& d : devices_) {
    if (d.object.get() == device) return &d;
  }
  return nullptr;
}

Request* IoManager::find(PIRP irp) {
  for (auto& r : requests_) {
    if (&r.first->irp == irp) return r.first.get();
  }
  return nullptr;
}

size_t IoManager::queued(PDEVICE_OBJECT device) const {
  for (const auto& d : devices_) {
    if (d.object.get() == device) return d.queue.size();
  }
  return 0;
}

// Dispatch routines run at PASSIVE_LEVEL and return at the level they were
// entered at; STATUS_PENDING needs the pending mark, any other status a
// completed request with that status.
NTSTATUS IoManager::dispatch(PDEVICE_OBJECT device, std::unique_ptr<Request> request, Done done) {
  Request* r = request.get();
  r->irp.Tail.Overlay.CurrentStackLocation = &r->stack;
  r->stack.DeviceObject = device;
  requests_.push_back({std::move(request), std::move(done)});
  uint8_t level = kernel_.irql.level();
  PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[r->stack.MajorFunction];
  NTSTATUS status;
  {
    Kernel::DriverFrame frame(kernel_, "a dispatch routine");
    status = routine(device, &r->irp);
  }
  if (kernel_.irql.level() != level) {
    kernel_.verifier.report(sim::Rule::IrqlUnexpectedValue,
                            "dispatch routine for major function " + std::to_string(r->stack.MajorFunction) +
                                " returned at IRQL " + std::to_string(kernel_.irql.level()) +
                                ", entered at " + std::to_string(level));
  }
  if (status == STATUS_PENDING) {
    if ((r->stack.Control & SL_PENDING_RETURNED) == 0) {
      kernel_.verifier.report(sim::Rule::PendingWithoutMark,
                              "STATUS_PENDING returned for a request not marked pending");
    }
    r->pendingReturned = true;
  } else if (r->stack.Control & SL_PENDING_RETURNED) {
    // A request marked pending must be answered with STATUS_PENDING: the
    // I/O manager then waits for the completion instead of finishing the
    // request a second time in the caller's thread.
    kernel_.verifier.report(
        sim::Rule::PendingMarkedNotReturned,
        "dispatch returned " + hex(static_cast<uint32_t>(status)) + " for a request it marked pending");
  } else if (!r->completed) {
    kernel_.verifier.report(sim::Rule::IrpNotCompleted,
                            "dispatch returned " + hex(static_cast<uint32_t>(status)) +
                                " for a request it neither completed nor marked pending");
  } else if (r->status != status) {
    kernel_.verifier.report(sim::Rule::StatusMismatch,
                            "dispatch returned " + hex(static_cast<uint32_t>(status)) +
                                " for a request completed with " + hex(static_cast<uint32_t>(r->status)));
  }
  retire(r);
  return status;
}

void IoManager::retire(Request* request) {
  if (!request->completed) return;
  auto it = std::find_if(requests_.begin(), requests_.end(),
                         [request](const auto& e) { return e.first.get() == request; });
  if (it != requests_.end()) requests_.erase(it);
}

// No handle is opened to a device still being created. Then the object
// manager checks the caller's token against the device's DACL, before any
// request reaches the driver. A name below the device is checked against it
// only when the device has FILE_DEVICE_SECURE_OPEN; otherwise that check is
// left to the driver.
NTSTATUS IoManager::openStatus(PDEVICE_OBJECT device, bool below) const {
  if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
  if (below && (device->Characteristics & FILE_DEVICE_SECURE_OPEN) == 0) return STATUS_SUCCESS;
  const ObjectSecurity* security = securityOf(device);
  return security == nullptr || security->admits(caller, kOpenAccess) ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

// A refused open, close or request never reaches the driver: the caller
// gets the refusal's status and nothing else.
NTSTATUS IoManager::refuse(Done done, NTSTATUS status) {
  Request r;
  r.completed = true;
  r.status = status;
  if (done) done(r);
  return status;
}

const ObjectSecurity* IoManager::securityOf(PDEVICE_OBJECT device) const {
  for (const auto& d : devices_) {
    if (d.object.get() == device) return &d.security;
  }
  return nullptr;
}

NTSTATUS IoManager::create(PDEVICE_OBJECT device, Done done, const std::string& below) {
  NTSTATUS refused = openStatus(device, !below.empty());
  if (refused != STATUS_SUCCESS) return refuse(std::move(done), refused);
  auto r = std::make_unique<Request>();
  r->stack.MajorFunction = IRP_MJ_CREATE;
  return dispatch(device, std::move(r), std::move(done));
}

NTSTATUS IoManager::close(PDEVICE_OBJECT device, Done done) {
  NTSTATUS refused = openStatus(device, false);
  if (refused != STATUS_SUCCESS) return refuse(std::move(done), refused);
  auto r = std::make_unique<Request>();
  r->stack.MajorFunction = IRP_MJ_CLOSE;
  return dispatch(device, std::move(r), std::move(done));
}

NTSTATUS IoManager::deviceControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                                  uint32_t inputLength, uint32_t outputLength, bool buffer, Done done) {
  // A request travels on a handle the caller opened; a caller the device
  // refuses has none to send it on.
  NTSTATUS refused = openStatus(device, false);
  if (refused != STATUS_SUCCESS) return refuse(std::move(done), refused);
  auto r = std::make_unique<Request>();
  r->stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
  r->stack.Parameters.DeviceIoControl.IoControlCode = code;
  r->stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
  r->stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  r->outputLength = outputLength;
  // Buffered method: one buffer of the larger length, the input copied in;
  // no buffer at all when both lengths are 0.
  size_t size = std::max(inputLength, outputLength);
  if (buffer && size != 0) {
    r->systemBuffer = static_cast<uint8_t*>(SystemSpace::allocate(size));
    r->systemBufferSize = size;
    std::memset(r->systemBuffer, 0, size);
    size_t given = std::min<size_t>(input.size(), inputLength);
    if (given != 0) std::memcpy(r->systemBuffer, input.data(), given);
    r->irp.AssociatedIrp.SystemBuffer = r->systemBuffer;
  }
  return dispatch(device, std::move(r), std::move(done));
}

bool IoManager::shutdown(NTSTATUS* status, Done done) {
  if (shutdownList_.empty()) return false;
  std::vector<PDEVICE_OBJECT> devices = shutdownList_;
  for (PDEVICE_OBJECT device : devices) {
    auto r = std::make_unique<Request>();
    r->stack.MajorFunction = IRP_MJ_SHUTDOWN;
    *status = dispatch(device, std::move(r), done);
  }
  return true;
}

// IoStartPacket raises to DISPATCH_LEVEL and calls the start-I/O routine
// at once when the device is idle; otherwise the request waits its turn.
void IoManager::startPacket(PDEVICE_OBJECT device, PIRP irp) {
  kernel_.checkAlive("IoStartPacket", device);
  Device* d = find(device);
  if (d == nullptr) return;
  uint8_t old = kernel_.irql.level();
  if (old < Irql::kDispatch) kernel_.irql.set(Irql::kDispatch);
  if (device->CurrentIrp == nullptr) {
    device->CurrentIrp = irp;
    runStartIo(d, device, irp);
  } else {
    d->queue.push_back(irp);
  }
  if (kernel_.irql.level() != Irql::kDispatch) {
    kernel_.verifier.report(sim::Rule::IrqlUnexpectedValue,
                            "start-I/O routine returned at IRQL " + std::to_string(kernel_.irql.level()));
  }
  kernel_.irql.set(old);
}

// With deferred start-I/O, IoStartNextPacket called from inside the
// start-I/O routine only notes that the next packet is due; the I/O manager
// starts it once the routine has returned, so the routine never nests
// within itself (IoSetStartIoAttributes, DeferredStartIo). Without it the
// next packet starts inside IoStartNextPacket, one frame deeper.
void IoManager::startNextPacket(PDEVICE_OBJECT device) {
  kernel_.checkAlive("IoStartNextPacket", device);
  Device* d = find(device);
  if (d == nullptr) return;
  kernel_.checkNoSpinLockHeld("IoStartNextPacket");
  if (d->deferredStartIo && d->inStartIo) {
    d->nextPacketPending = true;
    return;
  }
  PIRP next = dequeueNext(d, device);
  if (next != nullptr) runStartIo(d, device, next);
}

// The next queued packet becomes the current one; none leaves the device
// idle.
PIRP IoManager::dequeueNext(Device* d, PDEVICE_OBJECT device) {
  if (d->queue.empty()) {
    device->CurrentIrp = nullptr;
    return nullptr;
  }
  PIRP next = d->queue.front();
  d->queue.pop_front();
  device->CurrentIrp = next;
  return next;
}

void IoManager::runStartIo(Device* d, PDEVICE_OBJECT device, PIRP irp) {
  while (irp != nullptr) {
    bool outer = !d->inStartIo;
    d->inStartIo = true;
    startIoNesting_++;
    deepestStartIo_ = std::max(deepestStartIo_, startIoNesting_);
    callStartIo(device, irp);
    startIoNesting_--;
    // The routine may have created or deleted devices.
    d = find(device);
    if (d == nullptr) return;
    if (outer) d->inStartIo = false;
    irp = nullptr;
    if (outer && d->nextPacketPending) {
      d->nextPacketPending = false;
      irp = dequeueNext(d, device);
    }
  }
}

void IoManager::setStartIoAttributes(PDEVICE_OBJECT device, bool deferred, bool nonCancelable) {
  Device* d = find(device);
  if (d == nullptr) {
    kernel_.verifier.report(
        Rule::InvalidDeviceObject,
        "IoSetStartIoAttributes of " + hex(reinterpret_cast<uintptr_t>(device)) + ", which is not a device");
    return;
  }
  d->deferredStartIo = deferred;
  d->nonCancelable = nonCancelable;
}

bool IoManager::startIoDeferred(PDEVICE_OBJECT device) const {
  for (const auto& d : devices_) {
    if (d.object.get() == device) return d.deferredStartIo;
  }
  return false;
}

// The start-I/O routine serves one request at a time: the request it was
// last given must be complete before it is given the next.
void IoManager::callStartIo(PDEVICE_OBJECT device, PIRP irp) {
  Device* d = find(device);
  if (d->startIoIrp != nullptr) {
    kernel_.verifier.report(
        sim::Rule::StartIoReentered,
        "start-I/O routine entered for a new request while its current one is not complete");
  }
  d->startIoIrp = irp;
  Kernel::DriverFrame frame(kernel_, "DriverStartIo");
  device->DriverObject->DriverStartIo(device, irp);
}

NTSTATUS IoManager::openHandle(PVOID object, PHANDLE handle) {
  PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(object);
  if (find(device) == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
  uintptr_t value = nextHandle_;
  nextHandle_ += 4;
  handles_[value] = device;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a handle is a number its holder keeps as a HANDLE
  *handle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::setSecurity(HANDLE handle, const ObjectSecurity& security) {
  auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles_.end()) return STATUS_INVALID_HANDLE;
  Device* d = find(it->second);
  if (d == nullptr) return STATUS_INVALID_HANDLE;
  d->security = security;
  return STATUS_SUCCESS;
}

// Closing a kernel handle that is not open is the bug check
// INVALID_KERNEL_HANDLE.
NTSTATUS IoManager::closeHandle(HANDLE handle) {
  auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles_.end()) {
    kernel_.verifier.report(
        sim::Rule::InvalidKernelHandle,
        "ZwClose of " + hex(reinterpret_cast<uintptr_t>(handle)) + ", which is not an open handle");
    return STATUS_INVALID_HANDLE;
  }
  handles_.erase(it);
  return STATUS_SUCCESS;
}

// The I/O manager copies Information bytes of the system buffer back to the
// caller, and only when the status is not an error status.
void IoManager::completeRequest(PIRP irp, CCHAR boost) {
  (void)boost;
  kernel_.checkNoSpinLockHeld("IofCompleteRequest");
  Request* r = find(irp);
  if (r == nullptr) {
    kernel_.verifier.report(sim::Rule::MultipleIrpCompleteRequests,
                            "completion of a request that is already complete");
    return;
  }
  if (r->completed) {
    kernel_.verifier.report(sim::Rule::MultipleIrpCompleteRequests, "request completed twice");
    return;
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    kernel_.verifier.report(sim::Rule::IrpCompletedPending, "request completed with STATUS_PENDING");
  }
  r->completed = true;
  for (auto& d : devices_) {
    if (d.startIoIrp == irp) d.startIoIrp = nullptr;
  }
  r->status = irp->IoStatus.Status;
  r->information = irp->IoStatus.Information;
  completions_++;
  if (!NT_ERROR(r->status) && r->irp.AssociatedIrp.SystemBuffer != nullptr) {
    size_t count = r->information;
    if (count > r->outputLength) {
      kernel_.verifier.report(sim::Rule::BufferOverrun, "Information " + std::to_string(count) +
                                                            " exceeds the output length " +
                                                            std::to_string(r->outputLength));
      count = r->outputLength;
    }
    r->output.assign(r->systemBuffer, r->systemBuffer + count);
  }
  for (auto& e : requests_) {
    if (e.first.get() == r && e.second) e.second(*r);
  }
  // A request completed after its dispatch routine returned is done with.
  if (r->pendingReturned) retire(r);
}

}  // namespace sim
