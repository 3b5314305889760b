// What the harness and halctl.exe share with the HAL: where the board
// description and the HAL's output live in the prefix, and the named
// events by which a shutdown is asked for and reported done.
#pragma once

namespace winehal {

// The board, as lines of scsim's set-up commands; absent means the default
// board.
constexpr const char kBoardFile[] = "C:\\tamrixsc-hal\\board.txt";
// Every `wire:`, `display:`, `led:`, `event:` and `verifier:` line of the
// run, in the order they happened.
constexpr const char kOutputFile[] = "C:\\tamrixsc-hal\\channels.log";

// Set by halctl.exe shutdown; the HAL then sends IRP_MJ_SHUTDOWN to every
// device registered for it, and sets the second event when all have
// completed it.
constexpr const char kShutdownEvent[] = "Global\\TamrixscHalShutdown";
constexpr const char kShutdownDoneEvent[] = "Global\\TamrixscHalShutdownDone";

}  // namespace winehal
