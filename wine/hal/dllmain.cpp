// Loading the HAL into winedevice.exe: the board from its description, and
// the gaps bound into Wine's ntoskrnl.exe before any driver is loaded.
#include <windows.h>

#include <vector>

#include "Control.h"
#include "Hal.h"

namespace winehal {
namespace {
void* g_kernel = nullptr;

// The board, and any line of its description it does not take, which is
// reported on the output and leaves the rest of the board as described.
void setUpBoard() {
  Hal& h = hal();
  h.board = new BoardModel(output);
  h.board->setParties([] { return win32::currentThread(); }, holdsSpinLock);
  std::vector<std::string> lines;
  if (!win32::readLines(kBoardFile, &lines)) return;
  for (const std::string& line : lines) {
    // The HAL's own words; the rest are the board's.
    if (line == "hal hold-work-items") {
      holdWorkItems();
      continue;
    }
    std::string error;
    if (!h.board->setUp(line, &error)) output("hal: board: " + error);
  }
}
}  // namespace

void* wineKernel() { return g_kernel; }

}  // namespace winehal

// The kernel is mapped and bound, but not yet initialised, when the HAL it
// imports is: only memory is touched here.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  winehal::g_kernel = win32::moduleHandle("ntoskrnl.exe");
  winehal::setUpBoard();
  std::string error;
  if (!winehal::bindGaps(&error)) {
    win32::Hold hold(winehal::hal().boardLock);
    winehal::output("hal: " + error);
    return FALSE;
  }
  return TRUE;
}
