// Register map of the link to the 8051 System Controller.
//
// Declared once for the driver and for the simulated board: the Super I/O
// configuration ports, the GPIO runtime-register block, and the handshake
// lines in its control register. Plain constants with fixed widths, no
// kernel types, so that user-mode code can include this header too.
#pragma once

#include <stdint.h>

namespace Sio {
// Configuration ports of the LPC Super I/O chip. Registers are reached by
// writing their number to the index port, then reading or writing the data
// port. The chip answers only between the enter and the exit key.
constexpr uint32_t kIndexPort = 0x2E;
constexpr uint32_t kDataPort = 0x2F;
constexpr uint32_t kPortCount = 2;
constexpr uint8_t kEnterKey = 0x55;
constexpr uint8_t kExitKey = 0xAA;

constexpr uint8_t kRegLdn = 0x07;       // logical-device number
constexpr uint8_t kRegActivate = 0x30;  // bit 0: the device decodes its base
constexpr uint8_t kRegBaseHigh = 0x60;  // base address, high byte
constexpr uint8_t kRegBaseLow = 0x61;   // base address, low byte

constexpr uint8_t kActivateBit = 0x01;
constexpr uint8_t kLdnGpio = 0x0A;  // the GPIO logical device
}  // namespace Sio

namespace Gpio {
// The GPIO runtime-register block: byte registers from its base.
constexpr uint32_t kBlockLength = 0x50;
// The block sits on the LPC bus: each access to one of its registers is
// one LPC I/O cycle, which takes at most a microsecond.
constexpr uint32_t kAccessUs = 1;

// One configuration register per data line, 0x23 for line 0 to 0x2A for
// line 7. The host writes all eight with the same value, ascending.
constexpr uint32_t kRegLineConfig = 0x23;
constexpr uint32_t kDataLineCount = 8;
constexpr uint8_t kLineOutput = 0x80;  // the host drives the line
constexpr uint8_t kLineInput = 0x01;   // the host reads the line

// Registers the host writes once when it sets the block up, with these
// values; it never reads them back.
constexpr uint32_t kRegSetup2C = 0x2C;
constexpr uint32_t kRegSetup2D = 0x2D;
constexpr uint32_t kRegSetup30 = 0x30;
constexpr uint32_t kRegSetup31 = 0x31;
constexpr uint8_t kSetup2CValue = 0x00;
constexpr uint8_t kSetup2DValue = 0x01;
constexpr uint8_t kSetup30Value = 0x01;
constexpr uint8_t kSetup31Value = 0x00;

constexpr uint32_t kRegData = 0x4B;     // the eight data lines
constexpr uint32_t kRegControl = 0x4C;  // the four handshake lines

// Handshake lines in the control register. All four are active low: a clear
// bit means the line is asserted.
//
// Host request, driven by the host: asserted for the whole of a frame in
// either direction.
constexpr uint8_t kCtrlHostRequest = 0x40;
// TRDY, driven by the controller: asserted when it is ready for the next
// byte phase, deasserted once it has seen the strobe.
constexpr uint8_t kCtrlTrdy = 0x20;
// TREQ, driven by the controller: asserted while it has a message for the
// host.
constexpr uint8_t kCtrlTreq = 0x04;
// Strobe, driven by the host: asserted when it has put a byte on the data
// lines or taken one from them.
constexpr uint8_t kCtrlStrobe = 0x02;

constexpr uint8_t kCtrlHostDriven = kCtrlHostRequest | kCtrlStrobe;
constexpr uint8_t kCtrlControllerDriven = kCtrlTrdy | kCtrlTreq;
}  // namespace Gpio
