// The loader and the I/O manager of the simulated kernel: driver and device
// objects, names and links, requests and the device queue.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"
#include "sim/image.h"
#include "sim/security.h"

// The kernel's side of a work item; drivers see only the pointer.
struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;
};

namespace sim {

class Kernel;

// One request as the I/O manager tracks it, from issue to completion.
struct Request {
  Request();
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  IRP irp;
  IO_STACK_LOCATION stack;
  uint8_t* systemBuffer = nullptr;  // the one buffer of the buffered method
  size_t systemBufferSize = 0;
  uint32_t outputLength = 0;
  bool completed = false;
  bool pendingReturned = false;
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  std::vector<uint8_t> output;  // what went back to the caller
};

class IoManager {
 public:
  explicit IoManager(Kernel& kernel) : kernel_(kernel) {}
  ~IoManager();

  // Loads a driver: a driver object named \Driver\NAME, then its entry point
  // at PASSIVE_LEVEL. A driver whose entry fails is gone again.
  using Entry = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);
  NTSTATUS load(const std::string& name, Entry entry);
  // Loads a driver image: a fresh mapping of `file`, relocated and bound,
  // whose entry point then runs as above. An image that cannot be mapped
  // gives STATUS_INVALID_IMAGE_FORMAT and its cause in *error, and leaves
  // nothing behind; so does one whose entry fails.
  NTSTATUS loadImage(const std::string& name, const std::vector<uint8_t>& file, std::string* error,
                     uint32_t base = DriverImage::kDefaultBase);
  const DriverImage* image() const { return image_.get(); }
  bool loaded() const { return driver_ != nullptr; }
  PDRIVER_OBJECT driver() const { return driver_.get(); }
  // Runs the unload routine, then checks that nothing of the driver is
  // left: devices, links, registrations, claims, mappings, timers, calls,
  // pool, requests.
  void unload();

  // The device a symbolic link names, or null.
  PDEVICE_OBJECT lookup(const std::string& link) const;

  // Sends a request to a device; `done` runs when it completes (at once, or
  // later for a pending one). The result is what the dispatch routine
  // returned. Each request comes from a process of `caller`'s kind.
  // `create` opens the device itself, or with `below` a name in its
  // namespace (\Device\NAME\below).
  using Done = std::function<void(const Request&)>;
  NTSTATUS create(PDEVICE_OBJECT device, Done done, const std::string& below = std::string());
  NTSTATUS close(PDEVICE_OBJECT device, Done done);
  NTSTATUS deviceControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                         uint32_t inputLength, uint32_t outputLength, bool buffer, Done done);
  Caller caller = Caller::Admin;
  // What the object manager holds for a device's security, or null for an
  // object that is not a device.
  const ObjectSecurity* securityOf(PDEVICE_OBJECT device) const;

  // IRP_MJ_SHUTDOWN to each device registered for it; false when none is.
  bool shutdown(NTSTATUS* status, Done done);

  // Kernel routines.
  NTSTATUS createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
  void deleteDevice(PDEVICE_OBJECT device);
  NTSTATUS createLink(PUNICODE_STRING link, PUNICODE_STRING device);
  NTSTATUS deleteLink(PUNICODE_STRING link);
  NTSTATUS registerShutdown(PDEVICE_OBJECT device);
  void unregisterShutdown(PDEVICE_OBJECT device);
  void startPacket(PDEVICE_OBJECT device, PIRP irp);
  void startNextPacket(PDEVICE_OBJECT device);
  void setStartIoAttributes(PDEVICE_OBJECT device, bool deferred, bool nonCancelable);
  void completeRequest(PIRP irp, CCHAR boost);
  // Work items. A queued item holds a reference to its device, which then
  // outlives IoDeleteDevice until the routine has returned.
  PIO_WORKITEM allocateWorkItem(PDEVICE_OBJECT device);
  void queueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context);
  void freeWorkItem(PIO_WORKITEM item);
  // The queued items, as the scheduler hands them to a processor at
  // PASSIVE_LEVEL (sim/scheduler.h): the first to run, taken off the
  // queue, or null; and the run of one.
  bool workQueued() const { return !workQueue_.empty(); }
  PIO_WORKITEM takeQueuedWork();
  void runWorkItem(PIO_WORKITEM item);
  // Items queued and not yet returned from their routine.
  size_t workItemsOutstanding() const { return workOutstanding_; }
  uint64_t workItemsRun() const { return workItemsRun_; }

  // Kernel handles to device objects, and the security set through them.
  NTSTATUS openHandle(PVOID object, PHANDLE handle);
  NTSTATUS setSecurity(HANDLE handle, const ObjectSecurity& security);
  NTSTATUS closeHandle(HANDLE handle);

  size_t deviceCount() const { return devices_.size(); }
  size_t linkCount() const { return links_.size(); }
  size_t queued(PDEVICE_OBJECT device) const;
  uint64_t completions() const { return completions_; }
  // Whether the device asked for deferred start-I/O calls.
  bool startIoDeferred(PDEVICE_OBJECT device) const;
  // The most start-I/O routine frames that were ever nested on the stack
  // at once: 1 when each call returned before the next began.
  int deepestStartIo() const { return deepestStartIo_; }

  // What a pointer into a deleted device or its extension belongs to
  // ("" when it is no such thing). Deleted devices stay in memory, unused,
  // so that a late access is seen.
  std::string freedObject(const void* p) const;

 private:
  struct Extension {
    void operator()(uint8_t* p) const;
  };
  struct Device {
    std::unique_ptr<DEVICE_OBJECT> object;
    std::unique_ptr<uint8_t[], Extension> extension;
    std::string name;
    std::deque<PIRP> queue;
    bool deferredStartIo = false;
    bool nonCancelable = false;
    bool inStartIo = false;          // the start-I/O routine runs for this device
    bool nextPacketPending = false;  // IoStartNextPacket came from inside it, deferred
    ObjectSecurity security;
    PIRP startIoIrp = nullptr;  // given to the start-I/O routine, not yet complete
    size_t extensionSize = 0;
    int references = 0;  // held by queued work items
  };
  struct Link {
    std::string name;
    std::string target;
  };
  Device* find(PDEVICE_OBJECT device);
  Request* find(PIRP irp);
  NTSTATUS dispatch(PDEVICE_OBJECT device, std::unique_ptr<Request> request, Done done);
  NTSTATUS openStatus(PDEVICE_OBJECT device, bool below) const;
  NTSTATUS refuse(Done done, NTSTATUS status);
  void callStartIo(PDEVICE_OBJECT device, PIRP irp);
  void retire(Request* request);
  void runStartIo(Device* d, PDEVICE_OBJECT device, PIRP irp);
  PIRP dequeueNext(Device* d, PDEVICE_OBJECT device);
  void checkLeftovers(const std::string& when);
  void reference(PDEVICE_OBJECT device, int delta);
  void retireDevice(Device&& device);
  static std::string text(PUNICODE_STRING s);

  NTSTATUS start(const std::string& name, Entry entry);
  void release();

  Kernel& kernel_;
  std::unique_ptr<DriverImage> image_;  // the mapped image of the loaded driver, if it came from one
  std::unique_ptr<DRIVER_OBJECT> driver_;
  std::string driverName_;
  std::vector<Device> devices_;
  std::vector<Device> deleted_;                        // kept, so that a late access is seen
  std::vector<Device> deletePending_;                  // deleted, still referenced
  std::vector<std::unique_ptr<DriverImage>> retired_;  // images a deferred call still ran in
  std::vector<Link> links_;
  std::vector<PDEVICE_OBJECT> shutdownList_;
  std::vector<std::pair<std::unique_ptr<Request>, Done>> requests_;  // issued, not retired
  std::map<uintptr_t, PDEVICE_OBJECT> handles_;
  uintptr_t nextHandle_ = kFirstKernelHandle;
  // Kernel handles have the top bit set on x86 and count up by four.
  static constexpr uintptr_t kFirstKernelHandle = 0x80000004u;
  uint64_t completions_ = 0;
  int startIoNesting_ = 0;
  int deepestStartIo_ = 0;
  std::map<PIO_WORKITEM, std::unique_ptr<_IO_WORKITEM>> workItems_;  // allocated, not freed
  std::deque<PIO_WORKITEM> workQueue_;                               // queued, not yet taken by a processor
  size_t workOutstanding_ = 0;
  uint64_t workItemsRun_ = 0;
};

}  // namespace sim
