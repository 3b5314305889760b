// Bus configuration data as the HAL hands it out: PCI configuration space
// through the board's buses, when the machine has any.
#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

// A return of 0 tells the caller that the bus does not exist; the real HAL
// also answers 0 for bus data types the machine does not have. The slot
// number is a PCI_SLOT_NUMBER taken as a ULONG (u.AsULONG): device number
// in bits 0-4, function number in bits 5-7, the rest reserved; so slot
// number 32 is not a 33rd device but device 0, function 1. The board takes
// it apart.
extern "C" ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                     PVOID Buffer, ULONG Length) {
  sim::Entry entry(sim::Routine::HalGetBusData);
  if (!entry.levelHeld() || entry.failed(__builtin_return_address(0))) {
    return 0;
  }
  sim::Kernel& k = entry.kernel();
  if (BusDataType != PCIConfiguration || k.pci == nullptr) {
    return 0;
  }
  return k.pci->read(BusNumber, SlotNumber, Buffer, Length);
}
