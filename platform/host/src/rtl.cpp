// Run-time library routines of the simulated kernel.
#include "platform.h"

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  // The real routine counts bytes without the terminator and takes the
  // terminator into MaximumLength; a null source gives an empty string.
  USHORT units = 0;
  if (SourceString != nullptr) {
    while (SourceString[units] != 0) units++;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
  DestinationString->MaximumLength =
      SourceString ? static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR)) : 0;
}
