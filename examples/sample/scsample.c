/*
 * scsample: a start for an application of the 8051 System Controller
 * driver. It uses the Win32 API and include/scioctl.h, nothing else:
 *
 *   1. open the device, and what each failure means;
 *   2. read the controller's firmware version;
 *   3. light the status LED;
 *   4. add a message group and a message to the front-panel display, and
 *      read the display's result code;
 *   5. put the LED out again with overlapped I/O.
 *
 *   scsample [TEXT]      TEXT: the message, four characters (default "HELO")
 *
 * Exit status: 0 done, 1 a request was refused, 2 bad arguments, 3 no
 * device, 4 access denied (the same as scctl's).
 *
 * Written in C89 so that any compiler of the platform takes it.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "scioctl.h"

#define EXIT_REFUSED 1
#define EXIT_USAGE 2
#define EXIT_NO_DEVICE 3
#define EXIT_DENIED 4

/* What a failed DeviceIoControl means for this driver. The I/O manager
   turns the driver's NTSTATUS into the Windows error GetLastError returns. */
static const char* requestFailure(DWORD error) {
  switch (error) {
    case ERROR_GEN_FAILURE: /* STATUS_UNSUCCESSFUL */
      return "the controller did not answer, or the display is busy while the Cardlan connects";
    case ERROR_INVALID_PARAMETER: /* STATUS_INVALID_PARAMETER */
      return "a buffer of the wrong size, or a Cardlan request in the wrong state";
    case ERROR_INVALID_FUNCTION: /* STATUS_INVALID_DEVICE_REQUEST */
      return "the driver does not know this request";
    case ERROR_NOT_READY: /* STATUS_DEVICE_NOT_READY */
      return "the system is shutting down; the driver has let go of the controller";
    case ERROR_ACCESS_DENIED: return "access denied";
    default: return "see the Windows error";
  }
}

static int refused(const char* what, DWORD error) {
  fprintf(stderr, "scsample: %s failed: Windows error %lu: %s\n", what, (unsigned long)error,
          requestFailure(error));
  return EXIT_REFUSED;
}

/* 1. Open the device. The driver lets only the local system and the
   Administrators open it, so run this as an administrator (elevated where
   Windows asks). Every request is declared FILE_ANY_ACCESS: the access
   asked for here is what the device's security is checked against. */
static int openDevice(DWORD flags, HANDLE* device) {
  DWORD error;
  *device = CreateFileA(SC_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        NULL, OPEN_EXISTING, flags, NULL);
  if (*device != INVALID_HANDLE_VALUE) return 0;
  error = GetLastError();
  fprintf(stderr, "scsample: cannot open %s: Windows error %lu: ", SC_DEVICE_PATH, (unsigned long)error);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    /* No device: the driver is not installed, not started, or found no
       board. The service shows RUNNING in the last case too; the System
       log then has the driver's event 33582 (MSG_NO_LPC_CONTROLLER). */
    fprintf(stderr, "no such device; the TAMRIXSC driver is not installed, not started, or found no board\n");
    return EXIT_NO_DEVICE;
  }
  if (error == ERROR_ACCESS_DENIED) {
    fprintf(stderr, "access denied; run as an administrator (elevated)\n");
    return EXIT_DENIED;
  }
  fprintf(stderr, "the system refused\n");
  return EXIT_REFUSED;
}

/* 2. The firmware version: no input, the 72-byte version record out. The
   driver read it from the controller at start-up. */
static int showVersion(HANDLE device) {
  SC_VERSION_RECORD version;
  DWORD returned = 0;
  unsigned length;
  if (!DeviceIoControl(device, IOCTL_SC_FIRMWARE_VERSION, NULL, 0, &version, sizeof(version), &returned,
                       NULL)) {
    return refused("IOCTL_SC_FIRMWARE_VERSION", GetLastError());
  }
  length = version.Length <= sizeof(version.Version) ? version.Length : sizeof(version.Version);
  printf("firmware version: %.*s\n", (int)length, (const char*)version.Version);
  return 0;
}

/* 3. The status LED: no buffers at all. */
static int lightLed(HANDLE device) {
  DWORD returned = 0;
  if (!DeviceIoControl(device, IOCTL_SC_STATUS_LED_ON, NULL, 0, NULL, 0, &returned, NULL)) {
    return refused("IOCTL_SC_STATUS_LED_ON", GetLastError());
  }
  printf("status LED: on\n");
  return 0;
}

/* The display's own answer, beside a request that succeeded. */
static const char* displayResult(SC_UINT32 resultCode) {
  switch (resultCode) {
    case HD_RESULT_OK: return "done";
    case HD_RESULT_ADD_REFUSED: return "no room for another group or message";
    case HD_RESULT_GROUP_REFUSED: return "no such group";
    case HD_RESULT_MESSAGE_REFUSED: return "no such message";
    default: return "unknown result code";
  }
}

/* One display request: the 12-byte record goes in and comes back, written
   over, in the same buffer. */
static int displayRequest(HANDLE device, DWORD code, const char* name, SC_HD_RECORD* record) {
  DWORD returned = 0;
  if (!DeviceIoControl(device, code, record, sizeof(*record), record, sizeof(*record), &returned, NULL)) {
    return refused(name, GetLastError());
  }
  if (record->ResultCode != HD_RESULT_OK) {
    fprintf(stderr, "scsample: %s: the display refused: result code 0x%04lX, %s\n", name,
            (unsigned long)record->ResultCode, displayResult(record->ResultCode));
    return EXIT_REFUSED;
  }
  return 0;
}

/* 4. A message group, then a message in it. The display takes requests
   only while the Cardlan is active or disconnected. */
static int addMessage(HANDLE device, const char* text) {
  SC_HD_RECORD record;
  int status;
  memset(&record, 0, sizeof(record));
  status = displayRequest(device, IOCTL_SC_HD_GROUP_ADD, "IOCTL_SC_HD_GROUP_ADD", &record);
  if (status != 0) return status;
  printf("display: new group %u\n", (unsigned)record.GroupID);

  /* GroupID stays as the reply left it; the text goes in as it stands. */
  memcpy(record.Text, text, sizeof(record.Text));
  record.ResultCode = 0;
  status = displayRequest(device, IOCTL_SC_HD_MESSAGE_ADD, "IOCTL_SC_HD_MESSAGE_ADD", &record);
  if (status != 0) return status;
  printf("display: new message %u \"%.4s\" in group %u, result code 0x%04lX (%s)\n", (unsigned)record.MessageID,
         (const char*)record.Text, (unsigned)record.GroupID, (unsigned long)record.ResultCode,
         displayResult(record.ResultCode));
  return 0;
}

/* 5. Overlapped: the request is sent and the thread goes on; the event is
   set when the driver completes it. The driver serves requests one at a
   time from its queue, and a queued request cannot be cancelled: CancelIo
   and the thread's exit wait for it, so wait for it here too. */
static int ledOffOverlapped(void) {
  HANDLE device;
  OVERLAPPED overlapped;
  DWORD returned = 0;
  DWORD error = 0;
  int status = openDevice(FILE_FLAG_OVERLAPPED, &device);
  if (status != 0) return status;
  memset(&overlapped, 0, sizeof(overlapped));
  overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (overlapped.hEvent == NULL) {
    status = refused("CreateEvent", GetLastError());
  } else {
    if (!DeviceIoControl(device, IOCTL_SC_STATUS_LED_OFF, NULL, 0, NULL, 0, &returned, &overlapped)) {
      error = GetLastError();
      if (error == ERROR_IO_PENDING) {
        printf("status LED: off requested; doing other work meanwhile\n");
        /* ... other work ... then collect the result, waiting for it. */
        error = GetOverlappedResult(device, &overlapped, &returned, TRUE) ? 0 : GetLastError();
      }
    }
    if (error != 0) {
      status = refused("IOCTL_SC_STATUS_LED_OFF", error);
    } else {
      printf("status LED: off\n");
    }
    CloseHandle(overlapped.hEvent);
  }
  CloseHandle(device);
  return status;
}

int main(int argc, char** argv) {
  const char* text = argc > 1 ? argv[1] : "HELO";
  HANDLE device;
  int status;
  if (argc > 2 || strlen(text) != 4) {
    fprintf(stderr, "usage: scsample [TEXT]   (TEXT: exactly four characters)\n");
    return EXIT_USAGE;
  }
  status = openDevice(0, &device);
  if (status != 0) return status;
  status = showVersion(device);
  if (status == 0) status = lightLed(device);
  if (status == 0) status = addMessage(device, text);
  CloseHandle(device);
  if (status == 0) status = ledOffOverlapped();
  return status;
}
