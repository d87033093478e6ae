// Line settings of a serial port given by its file descriptor. Kept apart
// from the rest of the tty back-end because arbitrary line rates need the
// kernel's termios2, whose header cannot be mixed with <termios.h>.
// Every call returns 0 or an errno value.
#pragma once

#include <cstdint>

namespace vkt::tty {

// Raw 8N1, receiver on, modem lines ignored, no flow control, and reads
// that never block inside the kernel (VMIN = 0, VTIME = 0).
int configureRaw(int fd);
// Any rate (BOTHER); waits until the queued output has left first.
int setLineRate(int fd, std::uint32_t rate);
// The rate the port reports now (0 when it cannot be read).
std::uint32_t lineRate(int fd);
// wordLength 7 or 8; stopBits 0 = one, 2 = two; parity 0 none, 1 odd, 2 even.
int setDataBits(int fd, std::uint8_t wordLength, std::uint8_t stopBits, std::uint8_t parity);
// flow 0 none, 0x0100 RTS/CTS, 0x0400 XON/XOFF with the given characters.
int setFlow(int fd, std::uint16_t flow, std::uint8_t xon, std::uint8_t xoff);
// Discards the kernel's receive and/or transmit queue.
int flush(int fd, bool receive, bool transmit);
// Waits until the queued output has been sent.
int drain(int fd);

}  // namespace vkt::tty
