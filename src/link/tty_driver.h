// The "tty" cable back-end: serial ports through the kernel's tty layer.
// Devices are the USB serial ports (/dev/ttyUSB*, described by their USB
// product string) followed by the ports named in VKT_TTY_PORTS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/cable_driver.h"

namespace vkt {

struct TtyDevice {
    std::string path;
    std::string description;
    std::string serialNumber;  // the USB device's serial number ("" when unknown)
};

// "PATH=DESCRIPTION;PATH=DESCRIPTION" in that order. Empty entries are
// skipped; the description is everything after the first '='.
std::vector<TtyDevice> parseTtyPortList(std::string_view text);
// /dev/ttyUSB<n> for every ttyUSB<n> below `classDir`, by ascending n, with
// the product string and serial number of the USB device that carries it
// ("" when unknown).
std::vector<TtyDevice> listUsbSerialTtys(const std::string& classDir = "/sys/class/tty");
// The USB ports, then those of VKT_TTY_PORTS.
std::vector<TtyDevice> listTtyDevices();

// The first line of a small text file (a sysfs attribute) without its line
// end; "" when it cannot be read.
std::string readSysfsLine(const std::string& file);

// Who may open the serial port at `path`, found out without disturbing a
// program that holds it: an open that the port's exclusive mode refuses
// (EBUSY), or, where that mode does not bind this process (root), the mode
// read back from the port, means another program holds it; the probe's open
// is closed at once. Denied comes with the system's reason in `error`. A
// program that holds the port without exclusive mode cannot be told apart
// from nobody.
CableDeviceInfo::Access probeTtyAccess(const std::string& path, std::string& error);

// Number of read() system calls made by tty ports in this process. Reads
// are buffered: a burst costs a few calls however it is consumed.
std::uint64_t ttyReadSystemCalls();

}  // namespace vkt
