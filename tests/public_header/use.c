/* A translation unit that holds the public header alone, included twice,
   and uses what it declares. check.cmake compiles it as every C and C++
   dialect an application of this platform may be written in. */
#include "scioctl.h"
#include "scioctl.h"

/* The request table as an application might read it. */
#define SC_USE_CODE(name, function, subject, input, output, path, reply) IOCTL_SC_##name,
static const SC_UINT32 kCodes[] = {SC_REQUESTS(SC_USE_CODE) 0};

SC_STATIC_ASSERT(sizeof(kCodes) == (SC_REQUEST_COUNT + 1) * sizeof(SC_UINT32), "one code a row");

int scUse(SC_HD_RECORD* display, const SC_SWITCH_RECORD* connect, const SC_VERSION_RECORD* version) {
  display->GroupID = connect->CardID == CL_ACTIVE ? 1 : 0;
  display->ResultCode = HD_RESULT_OK;
  return (int)(kCodes[0] + version->Length + sizeof(SC_DEVICE_PATH));
}
