// CDeviceExt: the GPIO block, the byte handshake, the controller commands,
// the hex display, Cardlan switching and the poll.
#include "DeviceExt.h"
#include "Registers.h"
#include "Timer.h"
#include "tamrixsc.h"

namespace {
constexpr ULONG kAddressSpaceIo = 1;
constexpr ULONG kByteHandshakeUs = 200;  // each phase of one byte
const char kUnknownVersion[] = "Unknown";
}  // namespace

// Record operations ---------------------------------------------------------

void CDeviceExt::setDefaultSwitchParams() {
  CardID = 70;
  SignType = 3;
  TNMapType = 3;
  RegCardID = 0;
  RegSignType = 0;
  RegTNMapType = 0;
  RegSwitchStatus = STATUS_UNSUCCESSFUL;
}

void CDeviceExt::setDefaultFirmwareVersion() {
  RtlZeroMemory(FirmwareVersion, sizeof(FirmwareVersion));
  RtlCopyMemory(FirmwareVersion, kUnknownVersion, sizeof(kUnknownVersion) - 1);
  FirmwareVersionLength = sizeof(kUnknownVersion) - 1;
}

// GPIO block ----------------------------------------------------------------

UCHAR CDeviceExt::readReg(ULONG offset) {
  PUCHAR address = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(PortBase + offset));
  if (AddressSpace == kAddressSpaceIo) {
    return READ_PORT_UCHAR(address);
  }
  return READ_REGISTER_UCHAR(address);
}

void CDeviceExt::writeReg(ULONG offset, UCHAR value) {
  PUCHAR address = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(PortBase + offset));
  if (AddressSpace == kAddressSpaceIo) {
    WRITE_PORT_UCHAR(address, value);
  } else {
    WRITE_REGISTER_UCHAR(address, value);
  }
}

UCHAR CDeviceExt::readData() { return readReg(Gpio::kRegData); }

void CDeviceExt::writeData(UCHAR value) { writeReg(Gpio::kRegData, value); }

// Both controller lines are active low: asserted reads as a clear bit.
bool CDeviceExt::isTRDY() { return (readReg(Gpio::kRegControl) & Gpio::kCtrlTrdy) == 0; }

bool CDeviceExt::isTREQ() { return (readReg(Gpio::kRegControl) & Gpio::kCtrlTreq) == 0; }

// Host lines change by read-modify-write so that every other bit of the
// control register is written back as read.
void CDeviceExt::setHostRequest(bool asserted) {
  UCHAR v = readReg(Gpio::kRegControl) & static_cast<UCHAR>(~Gpio::kCtrlHostRequest);
  writeReg(Gpio::kRegControl, asserted ? v : static_cast<UCHAR>(v | Gpio::kCtrlHostRequest));
}

void CDeviceExt::setStrobe(bool asserted) {
  UCHAR v = readReg(Gpio::kRegControl) & static_cast<UCHAR>(~Gpio::kCtrlStrobe);
  writeReg(Gpio::kRegControl, asserted ? v : static_cast<UCHAR>(v | Gpio::kCtrlStrobe));
}

void CDeviceExt::setDataDirection(bool output) {
  UCHAR cfg = output ? Gpio::kLineOutput : Gpio::kLineInput;
  for (ULONG line = 0; line < Gpio::kDataLineCount; line++) {
    writeReg(Gpio::kRegLineConfig + line, cfg);
  }
}

// One byte to the controller: wait for TRDY, drive the byte, strobe, wait
// for TRDY to drop, release the strobe.
NTSTATUS CDeviceExt::writeByte(UCHAR value) {
  CTimer timer(kByteHandshakeUs);
  while (!isTRDY()) {
    if (timer.expired()) {
      SC_TRACE(TRACE_ERROR,
               "CDeviceExt::writeByte() ***** ERROR Device timeout [TRDY not asserted]; abort\n");
      return STATUS_UNSUCCESSFUL;
    }
  }
  setDataDirection(true);
  writeData(value);
  setStrobe(true);

  timer.start(kByteHandshakeUs);
  while (isTRDY()) {
    if (timer.expired()) {
      // The strobe stays asserted until the next byte that completes.
      SC_TRACE(TRACE_ERROR,
               "CDeviceExt::writeByte() ***** ERROR Device timeout [TRDY still asserted]; abort\n");
      return STATUS_UNSUCCESSFUL;
    }
  }
  setStrobe(false);
  return STATUS_SUCCESS;
}

// One byte from the controller; the caller has set the data lines to input.
NTSTATUS CDeviceExt::readByte(UCHAR* value) {
  CTimer timer(kByteHandshakeUs);
  while (!isTRDY()) {
    if (timer.expired()) {
      SC_TRACE(TRACE_ERROR, "CDeviceExt::readByte() ***** ERROR Device timeout [TRDY not asserted]; abort\n");
      return STATUS_UNSUCCESSFUL;
    }
  }
  *value = readData();
  setStrobe(true);

  timer.start(kByteHandshakeUs);
  while (isTRDY()) {
    if (timer.expired()) {
      SC_TRACE(TRACE_ERROR,
               "CDeviceExt::readByte() ***** ERROR Device timeout [TRDY still asserted]; abort\n");
      return STATUS_UNSUCCESSFUL;
    }
  }
  setStrobe(false);
  return STATUS_SUCCESS;
}
