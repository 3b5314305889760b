/* A translation unit that holds the public header alone, included twice,
   and uses what it declares. check.cmake compiles it as every C and C++
   dialect an application of this platform may be written in. */
#include "scioctl.h"
#include "scioctl.h"

static const SC_UINT32 kCodes[] = {IOCTL_SC_HD_CLEAR_STATUS, IOCTL_SC_COMMAND4, IOCTL_SC_DEBUG_LEVEL};

SC_STATIC_ASSERT(sizeof(kCodes) == 3 * sizeof(SC_UINT32), "three codes");

int scUse(SC_HD_RECORD* display, const SC_SWITCH_RECORD* connect, const SC_VERSION_RECORD* version) {
  display->GroupID = connect->CardID;
  display->ResultCode = HD_RESULT_OK;
  return (int)(kCodes[0] + version->Length + sizeof(SC_DEVICE_PATH));
}
