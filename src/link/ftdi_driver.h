// The "ftdi" cable back-end: FTDI chips driven directly over USB through
// libftdi1 (the kernel's serial driver is detached while a port is open and
// re-attached afterwards). Needs write access to the USB device; see
// packaging/udev/ for the rule that grants it to the desktop user.
#pragma once

#include <cstdint>

namespace vkt {

// Pure helpers of the back-end, kept apart for testing. Each returns false
// for a value the chip cannot take.
struct FtdiLineProperty {
    int bits = 8;      // 7 or 8
    int stopBits = 0;  // libftdi: 0 one, 2 two
    int parity = 0;    // libftdi: 0 none, 1 odd, 2 even
};
bool ftdiLineProperty(std::uint8_t wordLength, std::uint8_t stopBits, std::uint8_t parity,
                      FtdiLineProperty& out);
// Flow codes 0, 0x0100 (RTS/CTS), 0x0200 (DTR/DSR), 0x0400 (XON/XOFF) are
// the chip's own request values.
bool ftdiFlowControl(std::uint16_t flow, int& out);
// The modem status word of the chip says the transmitter is empty.
inline bool ftdiTransmitterEmpty(std::uint16_t modemStatus) {
    return (modemStatus & 0x4000) != 0;
}

}  // namespace vkt
