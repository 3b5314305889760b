// The event viewer's view of an error-log entry: the catalogue text with the
// object name for %1 and the insertion string for %2.
#pragma once

#include <string>

#include "sim/executive.h"

namespace board {

// The text as the viewer shows it, without the closing CR LF.
std::string eventText(const sim::LoggedEvent& event);

// "event: MSG_... id=0x... object=... unique=0x... major=N ioctl=0x...
// final=0x... strings=N text=..."
std::string eventLine(const sim::LoggedEvent& event);

}  // namespace board
