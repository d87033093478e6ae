// The "tty" cable back-end: serial ports through the kernel's tty layer.
// Devices are the USB serial ports (/dev/ttyUSB*, described by their USB
// product string) followed by the ports named in VKT_TTY_PORTS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vkt {

struct TtyDevice {
    std::string path;
    std::string description;
};

// "PATH=DESCRIPTION;PATH=DESCRIPTION" in that order. Empty entries are
// skipped; the description is everything after the first '='.
std::vector<TtyDevice> parseTtyPortList(std::string_view text);
// /dev/ttyUSB<n> for every ttyUSB<n> below `classDir`, by ascending n, with
// the product string of the USB device that carries it ("" when unknown).
std::vector<TtyDevice> listUsbSerialTtys(const std::string& classDir = "/sys/class/tty");
// The USB ports, then those of VKT_TTY_PORTS.
std::vector<TtyDevice> listTtyDevices();

// Number of read() system calls made by tty ports in this process. Reads
// are buffered: a burst costs a few calls however it is consumed.
std::uint64_t ttyReadSystemCalls();

}  // namespace vkt
