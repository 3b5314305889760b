// Bus configuration data as the HAL hands it out: PCI configuration space
// through the board's buses, when the machine has any.
#include "platform.h"
#include "sim/kernel.h"

using sim::Kernel;

// A return of 0 tells the caller that the bus does not exist; the real HAL
// also answers 0 for bus data types the machine does not have.
extern "C" ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                     PVOID Buffer, ULONG Length) {
  Kernel& k = Kernel::current();
  if (!k.checkIrql("HalGetBusData", DISPATCH_LEVEL)) {
    return 0;
  }
  if (k.failures.take("HalGetBusData", nullptr, __builtin_return_address(0))) {
    return 0;
  }
  if (BusDataType != PCIConfiguration || k.pci == nullptr) {
    return 0;
  }
  return k.pci->read(BusNumber, SlotNumber, Buffer, Length);
}
