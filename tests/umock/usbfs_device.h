// The kernel's usbfs side of one emulated USB device: answers the ioctls
// that libusb sends to /dev/bus/usb/BBB/DDD in an umockdev test bed
// (capabilities, interface claim and release, the kernel driver's
// get-driver, disconnect and connect, URBs submitted, reaped and discarded,
// synchronous control transfers) and hands the transfers to an emulated
// FT232R. Unplugging ends the transfers in flight as the kernel does and
// fails every later call with ENODEV.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ft232r_chip.h"

struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;
struct _UMockdevIoctlData;

namespace vkt::umock {

class UsbfsDevice {
  public:
    // Called (from the bed's ioctl thread) when the host detaches the
    // kernel's serial driver from the interface, and when it attaches it
    // again: the bed takes the tty away and brings it back.
    struct DriverHooks {
        std::function<void()> detached;
        std::function<void()> attached;
    };

    UsbfsDevice(std::shared_ptr<Ft232rChip> chip, DriverHooks hooks);
    ~UsbfsDevice();
    UsbfsDevice(const UsbfsDevice&) = delete;
    UsbfsDevice& operator=(const UsbfsDevice&) = delete;

    // Answers the ioctls of `devnode` ("/dev/bus/usb/001/002") in `bed`.
    bool attach(_UMockdevTestbed* bed, const std::string& devnode, std::string& error);
    // The device is unplugged.
    void disconnect();

    Ft232rChip& chip() { return *chip_; }
    // The serial driver is bound to the interface (the tty exists).
    bool driverBound() const;
    // What happened to the interface, in order: "detach", "claim",
    // "release", "attach".
    std::vector<std::string> interfaceEvents() const;

  private:
    struct Urb;
    struct Client;
    struct ParkedReap;

    static int onIoctl(_UMockdevIoctlBase* base, _UMockdevIoctlClient* client, void* self);
    static void onVanished(_UMockdevIoctlBase* base, _UMockdevIoctlClient* client, void* self);

    // The ioctl's result: >= 0, or -1 with `error` as errno. Parked: the
    // answer comes later from the ticker.
    struct Answer {
        long result = 0;
        int error = 0;
        bool parked = false;
    };
    Answer handle(_UMockdevIoctlClient* client, unsigned long request);
    Answer submit(_UMockdevIoctlClient* client);
    Answer reap(_UMockdevIoctlClient* client, bool wait);
    Answer discard(_UMockdevIoctlClient* client);
    Answer control(_UMockdevIoctlClient* client);
    Answer claim(_UMockdevIoctlClient* client, unsigned interfaceNumber);
    Answer release(_UMockdevIoctlClient* client, unsigned interfaceNumber);
    Answer getDriver(_UMockdevIoctlClient* client);
    Answer driverIoctl(_UMockdevIoctlClient* client);
    Answer disconnectClaim(_UMockdevIoctlClient* client);

    void runControl(Urb& urb);
    // Moves the IN transfer the chip has completed to its client's done list.
    void advance(Clock::time_point now);
    void finish(Urb& urb, int status, const std::vector<std::uint8_t>& data);
    // Answers a parked reap with a finished URB of its client, if any.
    bool deliver(ParkedReap& parked);
    void ticker();

    std::shared_ptr<Ft232rChip> chip_;
    DriverHooks hooks_;
    _UMockdevIoctlBase* handler_ = nullptr;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool disconnected_ = false;
    enum class Driver { Serial, None, Usbfs } driver_ = Driver::Serial;
    _UMockdevIoctlClient* claimedBy_ = nullptr;
    std::vector<std::string> events_;
    std::map<_UMockdevIoctlClient*, std::unique_ptr<Client>> clients_;
    std::deque<std::unique_ptr<ParkedReap>> parked_;
    std::uint64_t nextTransfer_ = 1;
    std::thread ticker_;
};

}  // namespace vkt::umock
