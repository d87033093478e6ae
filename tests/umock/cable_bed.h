// An umockdev test bed with emulated programming cables. Each cable is a USB
// device (FTDI 0403:6001 with a product string and a serial number) with
// its interface and, while the kernel's serial driver holds the interface,
// ttyUSBn below it, laid out in sysfs as the kernel lays them out. The
// tty's other side serves the cable's simulated radio, as vkt-radio-sim
// serves its pty; the USB device node answers usbfs ioctls as an FT232R
// wired to the same radio. Programs started by the test (vkt, the desktop
// tool) inherit the bed through UMOCKDEV_DIR when they run under
// umockdev's preload library (umockdev-wrapper).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ft232r_chip.h"
#include "sim/sim_radio.h"
#include "usbfs_device.h"

struct _UMockdevTestbed;

namespace vkt::umock {

class CableBed {
  public:
    // False with the reason when this process cannot use a test bed: it
    // does not run under umockdev's preload library, or it is a sanitizer
    // build (the preload library cannot come before the sanitizer runtime).
    static bool usable(std::string& why);

    CableBed();
    ~CableBed();
    CableBed(const CableBed&) = delete;
    CableBed& operator=(const CableBed&) = delete;

    struct CableDescription {
        std::string product = "QX CPS Cable";
        std::string serial = "QX000001";
        std::shared_ptr<sim::SimRadio> radio;  // null: nothing on the serial line
    };
    // Plugs a cable in: cable n is USB device 1-(n+1) at address n+2 with
    // /dev/ttyUSBn. Returns n.
    std::size_t plug(CableDescription description);
    // Pulls cable n out: transfers in flight end, the tty hangs up, every
    // device of the cable gets its "remove" uevent and leaves sysfs and /dev.
    void pull(std::size_t n);

    std::string root() const;
    std::string ttyNode(std::size_t n) const;   // /dev/ttyUSBn
    std::string usbNode(std::size_t n) const;   // /dev/bus/usb/001/00(n+2)
    std::string usbSysfs(std::size_t n) const;  // /sys/devices/.../usb1/1-(n+1)
    // Whether ttyUSBn exists now (the serial driver holds the interface).
    bool ttyPresent(std::size_t n) const;
    // The usb-serial port's latency_timer attribute as the host left it.
    std::string ttyLatencyTimer(std::size_t n) const;
    // The host asked the tty for low latency (TIOCSSERIAL).
    bool ttyLowLatency(std::size_t n) const;
    Ft232rChip& chip(std::size_t n);
    UsbfsDevice& usb(std::size_t n);

    struct Cable;

  private:
    void addUsbDevice(Cable& c);
    void addTty(Cable& c);
    void removeTty(Cable& c);
    void removeDevice(const std::string& syspath);

    _UMockdevTestbed* bed_ = nullptr;
    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<Cable>> cables_;
};

}  // namespace vkt::umock
