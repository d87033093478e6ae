// The driver interface that sits below USBSerial: the calls the tool needs
// from a USB-serial cable driver (count devices, describe one, open one, and
// on an open port: read, write, line rate, line settings, flow, time-outs,
// purge, latency timer). Back-ends: "tty" (termios), "ftdi" (libftdi1) and
// "sim" (a virtual cable wired to the simulated radio, provided by sim/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vkt {

// Status codes of every driver call. The numbering is that of the common
// USB-serial vendor driver, so values in logs and traces read the same
// whatever back-end produced them.
enum CableStatus : std::uint32_t {
    kCableOk = 0,
    kCableInvalidHandle = 1,
    kCableDeviceNotFound = 2,
    kCableDeviceNotOpened = 3,
    kCableIoError = 4,
    kCableInsufficientResources = 5,
    kCableInvalidParameter = 6,
    kCableInvalidBaudRate = 7,
    kCableOtherError = 18,
};

// Purge mask bits.
enum : std::uint32_t {
    kPurgeRx = 1,
    kPurgeTx = 2,
};

// What the operating system said when a description query failed; the cable
// search waits and retries on the first two.
enum class CableSystemError {
    None,
    AccessDenied,    // the device is held by another handle
    GeneralFailure,  // transient failure
    Other,
};

// What a cable list shows of one device.
struct CableDeviceInfo {
    // How the device is named on the command line (--port): a tty's path,
    // /dev/bus/usb/BBB/DDD for a USB device driven directly, "sim:N".
    std::string path;
    std::string description;   // the USB product string
    std::string serialNumber;  // the USB serial number; empty when unknown
    // Who may open the device, when asked for (see CableDriver::deviceInfo).
    enum class Access {
        Unknown,        // not asked, or cannot be told
        Free,           // nobody holds it and this user may open it
        HeldHere,       // this process holds it open
        HeldElsewhere,  // another program holds it open
        Denied,         // this user may not open it
    } access = Access::Unknown;
    std::string accessError;  // the system's reason when Denied
};

// One opened cable. Calls return a CableStatus.
class CablePort {
  public:
    virtual ~CablePort() = default;

    // Waits until `count` bytes have arrived or the read time-out (measured
    // from the start of the call) has passed; `got` is the number received.
    virtual std::uint32_t read(std::uint8_t* buffer, std::size_t count, std::size_t& got) = 0;
    // Waits like read() for one byte, then returns at once with that byte and
    // every byte that has arrived behind it, at most `max`. Lets a caller that
    // consumes a reply byte by byte fetch what the line holds in one call.
    // The default reads a single byte.
    virtual std::uint32_t readAvailable(std::uint8_t* buffer, std::size_t max, std::size_t& got) {
        return read(buffer, max < 1 ? max : 1, got);
    }
    // Queues `count` bytes for sending, waiting at most the write time-out.
    virtual std::uint32_t write(const std::uint8_t* buffer, std::size_t count,
                                std::size_t& written) = 0;
    // Changes the line rate after the bytes already written have left.
    virtual std::uint32_t setBaudRate(std::uint32_t rate) = 0;
    // wordLength 8, stopBits 0 (= one), parity 0 (= none) are what the tool uses.
    virtual std::uint32_t setDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                                 std::uint8_t parity) = 0;
    // flow 0 = none.
    virtual std::uint32_t setFlowControl(std::uint16_t flow, std::uint8_t xon,
                                         std::uint8_t xoff) = 0;
    virtual std::uint32_t setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) = 0;
    // Mask of kPurgeRx / kPurgeTx; other bits are ignored.
    virtual std::uint32_t purge(std::uint32_t mask) = 0;
    // The chip's latency timer in milliseconds (1..255); best effort where
    // the port has none.
    virtual std::uint32_t setLatencyTimer(std::uint8_t ms) = 0;
};

// Lists and opens cables. Device indexes are 0-based and stable between a
// count and the queries that follow it.
class CableDriver {
  public:
    virtual ~CableDriver() = default;

    virtual const char* name() const = 0;
    virtual std::uint32_t countDevices(std::uint32_t& count) = 0;
    // The device's description (USB product string) without opening it.
    virtual std::uint32_t deviceDescription(std::uint32_t index, std::string& description,
                                            CableSystemError& systemError) = 0;
    virtual std::uint32_t open(std::uint32_t index, std::unique_ptr<CablePort>& port) = 0;
    // The device's path, description and serial number; with `probeAccess`
    // also who may open it. Finding that out never disturbs a program that
    // holds the device (it may open an idle device for a moment). The
    // default names the device "<back-end>:<index>" and knows no serial
    // number.
    virtual std::uint32_t deviceInfo(std::uint32_t index, CableDeviceInfo& info, bool probeAccess);
};

inline std::uint32_t CableDriver::deviceInfo(std::uint32_t index, CableDeviceInfo& info,
                                             bool /*probeAccess*/) {
    info = CableDeviceInfo{};
    info.path = std::string(name()) + ":" + std::to_string(index);
    CableSystemError systemError = CableSystemError::None;
    const std::uint32_t status = deviceDescription(index, info.description, systemError);
    return status == kCableDeviceNotOpened ? kCableOk : status;
}

}  // namespace vkt
