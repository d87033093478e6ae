#include "link/ftdi_driver.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <ftdi.h>
#include <libusb.h>

#include <fmt/format.h>

#include "link/cable_backends.h"
#include "link/held_devices.h"
#include "link/sbep_protocol.h"
#include "link/tty_driver.h"
#include "link/usb_serial.h"

namespace vkt {

bool ftdiLineProperty(std::uint8_t wordLength, std::uint8_t stopBits, std::uint8_t parity,
                      FtdiLineProperty& out) {
    if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 2)
        return false;
    out.bits = wordLength;
    out.stopBits = stopBits;
    out.parity = parity;
    return true;
}

bool ftdiFlowControl(std::uint16_t flow, int& out) {
    switch (flow) {
        case 0:
            out = SIO_DISABLE_FLOW_CTRL;
            return true;
        case 0x0100:
            out = SIO_RTS_CTS_HS;
            return true;
        case 0x0200:
            out = SIO_DTR_DSR_HS;
            return true;
        case 0x0400:
            out = SIO_XON_XOFF_HS;
            return true;
        default:
            return false;
    }
}

namespace {

using Clock = std::chrono::steady_clock;
using UsbId = std::pair<int, int>;  // bus number, device address

constexpr int kReadChunk = 512;

HeldDevices<UsbId>& heldDevices() {
    static HeldDevices<UsbId> held;
    return held;
}

UsbId usbId(libusb_device* dev) {
    return {libusb_get_bus_number(dev), libusb_get_device_address(dev)};
}

// /dev/bus/usb/BBB/DDD: the device node libusb opens.
std::string usbDevicePath(libusb_device* dev) {
    return fmt::format("/dev/bus/usb/{:03}/{:03}", libusb_get_bus_number(dev),
                       libusb_get_device_address(dev));
}

// The device's folder in sysfs (/sys/bus/usb/devices/B-P.P...), or "".
std::string usbSysfsDir(libusb_device* dev) {
    std::array<std::uint8_t, 8> ports{};
    const int n = libusb_get_port_numbers(dev, ports.data(), static_cast<int>(ports.size()));
    if (n <= 0)
        return {};
    std::string name = std::to_string(libusb_get_bus_number(dev)) + "-";
    for (int i = 0; i < n; ++i)
        name += (i ? "." : "") + std::to_string(ports[static_cast<std::size_t>(i)]);
    return "/sys/bus/usb/devices/" + name;
}

// The tty the kernel's serial driver made of the device's first interface.
std::string usbTtyPath(libusb_device* dev) {
    const std::string dir = usbSysfsDir(dev);
    if (dir.empty())
        return {};
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir + ":1.0", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0)
            return "/dev/" + name;
    }
    return {};
}

// Who may open the device, found out without disturbing a holder: the
// kernel's serial driver bound to it means the device is held when its tty
// is; without a kernel driver, an interface another process claimed refuses
// our claim (an unclaimed one is released again at once).
CableDeviceInfo::Access probeUsbAccess(libusb_device* dev, std::string& error) {
    using Access = CableDeviceInfo::Access;
    error.clear();
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(dev, &handle);
    if (rc == LIBUSB_ERROR_ACCESS) {
        error = std::strerror(EACCES);
        return Access::Denied;
    }
    if (rc != 0)
        return Access::Unknown;
    Access access = Access::Free;
    const int kernelDriver = libusb_kernel_driver_active(handle, 0);
    if (kernelDriver == 1) {
        const std::string tty = usbTtyPath(dev);
        std::string ttyError;
        if (!tty.empty() && probeTtyAccess(tty, ttyError) == Access::HeldElsewhere)
            access = Access::HeldElsewhere;
    } else if (kernelDriver == 0) {
        const int claim = libusb_claim_interface(handle, 0);
        if (claim == LIBUSB_ERROR_BUSY)
            access = Access::HeldElsewhere;
        else if (claim == 0)
            libusb_release_interface(handle, 0);
    }
    libusb_close(handle);
    return access;
}

class FtdiPort : public CablePort {
  public:
    // `listContext` owns the USB session the device was found in; the port
    // keeps it alive for as long as the device is open.
    FtdiPort(ftdi_context* ctx, UsbId id, std::shared_ptr<ftdi_context> listContext)
        : ctx_(ctx), id_(id), listContext_(std::move(listContext)) {}
    ~FtdiPort() override {
        ftdi_usb_close(ctx_);
        ftdi_free(ctx_);
        heldDevices().release(id_);
    }
    FtdiPort(const FtdiPort&) = delete;
    FtdiPort& operator=(const FtdiPort&) = delete;

    std::uint32_t read(std::uint8_t* buffer, std::size_t count, std::size_t& got) override {
        got = 0;
        // One bulk transfer ends after the chip's latency timer even when
        // nothing came, so this loop wakes every few milliseconds.
        const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs_);
        while (got < count) {
            const std::size_t want = std::min<std::size_t>(count - got, kReadChunk);
            const int n = ftdi_read_data(ctx_, buffer + got, static_cast<int>(want));
            if (n < 0)
                return kCableIoError;
            got += static_cast<std::size_t>(n);
            if (got < count && Clock::now() >= deadline)
                break;
        }
        return kCableOk;
    }

    std::uint32_t readAvailable(std::uint8_t* buffer, std::size_t max, std::size_t& got) override {
        got = 0;
        // Each bulk transfer brings what the chip gathered until its latency
        // timer ran out; the first one that brings anything ends the call.
        const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs_);
        while (got == 0 && max > 0) {
            const std::size_t want = std::min<std::size_t>(max, kReadChunk);
            const int n = ftdi_read_data(ctx_, buffer, static_cast<int>(want));
            if (n < 0)
                return kCableIoError;
            got = static_cast<std::size_t>(n);
            if (Clock::now() >= deadline)
                break;
        }
        return kCableOk;
    }

    std::uint32_t write(const std::uint8_t* buffer, std::size_t count,
                        std::size_t& written) override {
        written = 0;
        ctx_->usb_write_timeout = static_cast<int>(std::max<std::uint32_t>(writeTimeoutMs_, 1));
        const int n = ftdi_write_data(ctx_, buffer, static_cast<int>(count));
        if (n < 0)
            return kCableIoError;
        written = static_cast<std::size_t>(n);
        return kCableOk;
    }

    std::uint32_t setBaudRate(std::uint32_t rate) override {
        if (rate == 0)
            return kCableInvalidBaudRate;
        // The last request must leave at the old rate: wait until the
        // transmitter is empty (bounded, in case the status never says so).
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        unsigned short status = 0;
        while (Clock::now() < deadline && ftdi_poll_modem_status(ctx_, &status) == 0 &&
               !ftdiTransmitterEmpty(status)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const int rc = ftdi_set_baudrate(ctx_, static_cast<int>(rate));
        if (rc == -1)
            return kCableInvalidBaudRate;
        return rc < 0 ? kCableIoError : kCableOk;
    }

    std::uint32_t setDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                         std::uint8_t parity) override {
        FtdiLineProperty p;
        if (!ftdiLineProperty(wordLength, stopBits, parity, p))
            return kCableInvalidParameter;
        const int rc = ftdi_set_line_property(ctx_, static_cast<ftdi_bits_type>(p.bits),
                                              static_cast<ftdi_stopbits_type>(p.stopBits),
                                              static_cast<ftdi_parity_type>(p.parity));
        return rc < 0 ? kCableIoError : kCableOk;
    }

    std::uint32_t setFlowControl(std::uint16_t flow, std::uint8_t xon, std::uint8_t xoff) override {
        int mode = 0;
        if (!ftdiFlowControl(flow, mode))
            return kCableInvalidParameter;
        const int rc = mode == SIO_XON_XOFF_HS ? ftdi_setflowctrl_xonxoff(ctx_, xon, xoff)
                                               : ftdi_setflowctrl(ctx_, mode);
        return rc < 0 ? kCableIoError : kCableOk;
    }

    std::uint32_t setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) override {
        readTimeoutMs_ = readMs;
        writeTimeoutMs_ = writeMs;
        return kCableOk;
    }

    std::uint32_t purge(std::uint32_t mask) override {
        const bool rx = (mask & kPurgeRx) != 0;
        const bool tx = (mask & kPurgeTx) != 0;
        int rc = 0;
        if (rx && tx) {
            rc = ftdi_tcioflush(ctx_);
        } else if (rx) {
            rc = ftdi_tciflush(ctx_);
        } else if (tx) {
            rc = ftdi_tcoflush(ctx_);
        }
        return rc < 0 ? kCableIoError : kCableOk;
    }

    std::uint32_t setLatencyTimer(std::uint8_t ms) override {
        if (ms == 0)
            return kCableInvalidParameter;
        return ftdi_set_latency_timer(ctx_, ms) < 0 ? kCableIoError : kCableOk;
    }

  private:
    ftdi_context* ctx_;
    UsbId id_;
    std::shared_ptr<ftdi_context> listContext_;
    std::uint32_t readTimeoutMs_ = 250;
    std::uint32_t writeTimeoutMs_ = 300;
};

class FtdiDriver : public CableDriver {
  public:
    FtdiDriver() {
        if (ftdi_context* ctx = ftdi_new())
            context_.reset(ctx, ftdi_free);
        ctx_ = context_.get();
    }
    ~FtdiDriver() override { dropList(); }
    FtdiDriver(const FtdiDriver&) = delete;
    FtdiDriver& operator=(const FtdiDriver&) = delete;

    const char* name() const override { return "ftdi"; }

    std::uint32_t countDevices(std::uint32_t& count) override {
        std::lock_guard lock(lock_);
        count = 0;
        dropList();
        if (ctx_ == nullptr)
            return kCableOtherError;  // USB library unavailable
        ftdi_device_list* list = nullptr;
        // Vendor and product 0: every FTDI chip libftdi knows.
        const int n = ftdi_usb_find_all(ctx_, &list, 0, 0);
        if (n < 0)
            return kCableIoError;
        for (ftdi_device_list* item = list; item != nullptr; item = item->next) {
            devices_.push_back(libusb_ref_device(item->dev));
        }
        ftdi_list_free(&list);
        count = static_cast<std::uint32_t>(devices_.size());
        return kCableOk;
    }

    std::uint32_t deviceDescription(std::uint32_t index, std::string& description,
                                    CableSystemError& systemError) override {
        std::lock_guard lock(lock_);
        systemError = CableSystemError::None;
        if (ctx_ == nullptr || index >= devices_.size())
            return kCableDeviceNotFound;
        libusb_device* dev = devices_[index];
        if (heldDevices().held(usbId(dev))) {
            systemError = CableSystemError::Other;
            return kCableDeviceNotOpened;
        }
        std::vector<char> product(128, '\0');
        const int rc = ftdi_usb_get_strings2(ctx_, dev, nullptr, 0, product.data(),
                                             static_cast<int>(product.size()), nullptr, 0);
        if (rc == -4) {
            // Opening failed: no permission (no udev rule) or held elsewhere.
            systemError = CableSystemError::Other;
            return kCableDeviceNotOpened;
        }
        if (rc < 0)
            return kCableOtherError;
        product.back() = '\0';
        description = product.data();
        // A cable another program holds cannot be opened: not counted.
        std::string error;
        if (isProgrammingCable(description) &&
            probeUsbAccess(dev, error) == CableDeviceInfo::Access::HeldElsewhere) {
            description.clear();
            systemError = CableSystemError::Other;
            return kCableDeviceNotOpened;
        }
        return kCableOk;
    }

    std::uint32_t deviceInfo(std::uint32_t index, CableDeviceInfo& info,
                             bool probeAccess) override {
        std::lock_guard lock(lock_);
        info = CableDeviceInfo{};
        if (ctx_ == nullptr || index >= devices_.size())
            return kCableDeviceNotFound;
        libusb_device* dev = devices_[index];
        info.path = usbDevicePath(dev);
        // sysfs has the strings without opening the device (and without
        // the permission to).
        const std::string dir = usbSysfsDir(dev);
        if (!dir.empty()) {
            info.description = readSysfsLine(dir + "/product");
            info.serialNumber = readSysfsLine(dir + "/serial");
        }
        if (info.description.empty()) {
            std::vector<char> product(128, '\0');
            std::vector<char> serial(128, '\0');
            if (ftdi_usb_get_strings2(ctx_, dev, nullptr, 0, product.data(),
                                      static_cast<int>(product.size()), serial.data(),
                                      static_cast<int>(serial.size())) == 0) {
                product.back() = serial.back() = '\0';
                info.description = product.data();
                info.serialNumber = serial.data();
            }
        }
        if (heldDevices().held(usbId(dev)))
            info.access = CableDeviceInfo::Access::HeldHere;
        else if (probeAccess && isProgrammingCable(info.description))
            info.access = probeUsbAccess(dev, info.accessError);
        return kCableOk;
    }

    std::uint32_t open(std::uint32_t index, std::unique_ptr<CablePort>& port) override {
        std::lock_guard lock(lock_);
        if (ctx_ == nullptr || index >= devices_.size())
            return kCableDeviceNotFound;
        libusb_device* dev = devices_[index];
        const UsbId id = usbId(dev);
        if (!heldDevices().claim(id))
            return kCableDeviceNotOpened;
        ftdi_context* ctx = ftdi_new();
        if (ctx == nullptr) {
            heldDevices().release(id);
            return kCableInsufficientResources;
        }
        // Without this the kernel's ttyUSB stays gone until the cable is replugged.
        ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        if (ftdi_usb_open_dev(ctx, dev) < 0) {
            ftdi_free(ctx);
            heldDevices().release(id);
            return kCableDeviceNotOpened;
        }
        auto ftdiPort = std::make_unique<FtdiPort>(ctx, id, context_);
        ftdi_read_data_set_chunksize(ctx, kReadChunk);
        if (ftdiPort->setBaudRate(kSlowLineRate) != kCableOk ||
            ftdiPort->setDataCharacteristics(8, 0, 0) != kCableOk ||
            ftdiPort->setFlowControl(0, 0, 0) != kCableOk) {
            return kCableIoError;
        }
        ftdiPort->purge(kPurgeRx | kPurgeTx);
        port = std::move(ftdiPort);
        return kCableOk;
    }

  private:
    void dropList() {
        for (libusb_device* dev : devices_)
            libusb_unref_device(dev);
        devices_.clear();
    }

    std::mutex lock_;
    std::shared_ptr<ftdi_context> context_;
    ftdi_context* ctx_ = nullptr;
    std::vector<libusb_device*> devices_;
};

}  // namespace

std::shared_ptr<CableDriver> makeFtdiCableDriver() {
    return std::make_shared<FtdiDriver>();
}

}  // namespace vkt
