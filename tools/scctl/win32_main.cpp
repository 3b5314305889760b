// scctl.exe: the control tool on Windows, talking to the driver through
// \\.\8051SCDev.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "scctl.h"

namespace {

// The NTSTATUS values this driver completes requests with, by the system
// error code the I/O manager turns each into (RtlNtStatusToDosError).
struct Translation {
  DWORD error;
  uint32_t status;
};
const Translation kTranslations[] = {
    {ERROR_GEN_FAILURE, 0xC0000001},        // STATUS_UNSUCCESSFUL
    {ERROR_INVALID_PARAMETER, 0xC000000D},  // STATUS_INVALID_PARAMETER
    {ERROR_INVALID_FUNCTION, 0xC0000010},   // STATUS_INVALID_DEVICE_REQUEST
    {ERROR_ACCESS_DENIED, 0xC0000022},      // STATUS_ACCESS_DENIED
    {ERROR_NOT_READY, 0xC00000A3},          // STATUS_DEVICE_NOT_READY
    {ERROR_NOT_SUPPORTED, 0xC00000BB},      // STATUS_NOT_SUPPORTED
};

// STATUS_PENDING: what the system leaves in OVERLAPPED.Internal until the
// request completes.
constexpr ULONG_PTR kStatusPending = 0x00000103;

class Win32Device : public scctl::Device {
 public:
  ~Win32Device() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  scctl::OpenResult open(std::string* detail) override {
    // Overlapped, so that OVERLAPPED.Internal carries the driver's own
    // NTSTATUS back beside the translated error code.
    handle_ = CreateFileA(scctl::kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ != INVALID_HANDLE_VALUE) return scctl::OpenResult::Opened;
    DWORD error = GetLastError();
    *detail = "Windows error " + std::to_string(error);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return scctl::OpenResult::NotFound;
    if (error == ERROR_ACCESS_DENIED) return scctl::OpenResult::AccessDenied;
    return scctl::OpenResult::Failed;
  }

  scctl::Completion control(uint32_t code, std::vector<uint8_t>* buffer, uint32_t inputLength,
                            uint32_t outputLength) override {
    scctl::Completion done;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return failed(GetLastError());
    overlapped.Internal = kStatusPending;
    DWORD returned = 0;
    BOOL ok =
        DeviceIoControl(handle_, code, inputLength == 0 ? nullptr : buffer->data(), inputLength,
                        outputLength == 0 ? nullptr : buffer->data(), outputLength, &returned, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
      ok = GetOverlappedResult(handle_, &overlapped, &returned, TRUE);
      error = ok ? ERROR_SUCCESS : GetLastError();
    }
    CloseHandle(overlapped.hEvent);
    done.information = returned;
    if (overlapped.Internal != kStatusPending) {
      done.status = static_cast<uint32_t>(overlapped.Internal);
      return done;
    }
    // A request refused before it was queued completes without touching
    // the OVERLAPPED; its status is known only through the error code.
    if (ok) return done;
    for (const Translation& t : kTranslations) {
      if (t.error == error) {
        done.status = t.status;
        return done;
      }
    }
    return failed(error);
  }

 private:
  static scctl::Completion failed(DWORD error) {
    scctl::Completion done;
    done.statusKnown = false;
    done.systemError = error;
    return done;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Win32Device device;
  return scctl::run(args, device, std::cout, std::cerr);
}
