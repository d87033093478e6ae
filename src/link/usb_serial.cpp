#include "link/usb_serial.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <thread>

#include "core/ascii.h"
#include "core/error_stack.h"

namespace vkt {
namespace {

constexpr std::uint8_t kLowLatencyMs = 2;
// Read-ahead room: an acknowledge and the largest reply frame (4109 data
// bytes, header, size and checksum) with space to spare.
constexpr std::size_t kReadAheadSize = 8192;
constexpr int kMaxDescriptionRetries = 13;

}  // namespace

bool isProgrammingCable(std::string_view description) {
    return equalsIgnoreCase(description, kCableDescription);
}

USBSerial::USBSerial(std::shared_ptr<CableDriver> driver)
    : driver_(std::move(driver)),
      ahead_(kReadAheadSize),
      sleep_([](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }) {}

USBSerial::~USBSerial() {
    if (isOpen())
        close();
}

bool USBSerial::open(int index) {
    if (isOpen() && !close())
        return false;
    std::lock_guard lock(portLock_);
    std::unique_ptr<CablePort> port;
    std::uint32_t status = kCableInvalidHandle;
    if (driver_ && index >= 0)
        status = driver_->open(static_cast<std::uint32_t>(index), port);
    if (status != kCableOk || !port) {
        store(status == kCableOk ? kCableOtherError : status);
        {
            std::lock_guard io(ioLock_);
            port_.reset();
        }
        open_.store(false);
        raiseError(ErrorCategory::Prot, "Error:failed to open the port refered by the index [%d]",
                   index);
        return false;
    }
    store(kCableOk);
    dropReadAhead();
    // A low latency timer lets short replies through at once instead of
    // after the chip's default 16 ms; a port without one still works.
    port->setLatencyTimer(kLowLatencyMs);
    std::lock_guard io(ioLock_);
    port_ = std::move(port);
    open_.store(true);
    return true;
}

bool USBSerial::close() {
    if (!isOpen())
        return false;
    std::lock_guard lock(portLock_);
    // Another thread may be inside a call on the port (the desktop closes
    // the link when the system reports the cable gone, while the radio
    // thread talks to it): the port goes once that call has returned.
    std::lock_guard io(ioLock_);
    // Dropping the port closes it; the back-ends' close does not fail.
    open_.store(false);
    port_.reset();
    dropReadAhead();
    store(kCableOk);
    return true;
}

bool USBSerial::setBaudRate(std::uint32_t rate) {
    std::lock_guard io(ioLock_);
    if (!port_)
        return false;
    if (store(port_->setBaudRate(rate)) != kCableOk) {
        raiseError(ErrorCategory::Prot, "Error:failed to set baud rade [%d].", rate);
        return false;
    }
    baudRate_.store(rate);
    return true;
}

bool USBSerial::setDataCharacteristics() {
    std::lock_guard io(ioLock_);
    if (!port_)
        return false;
    if (store(port_->setDataCharacteristics(8, 0, 0)) != kCableOk) {
        raiseError(ErrorCategory::Prot, "Error:failed to set parity data stop.");
        return false;
    }
    return true;
}

bool USBSerial::setFlowControl() {
    std::lock_guard io(ioLock_);
    if (!port_)
        return false;
    if (store(port_->setFlowControl(0, 0, 0)) != kCableOk) {
        raiseError(ErrorCategory::Prot, "Error:failed to set flow.");
        return false;
    }
    return true;
}

bool USBSerial::setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) {
    std::lock_guard io(ioLock_);
    if (!port_)
        return false;
    if (store(port_->setTimeouts(readMs, writeMs)) != kCableOk) {
        raiseError(ErrorCategory::Prot, "Error:failed to configure time out.");
        return false;
    }
    readTimeoutMs_.store(readMs);
    writeTimeoutMs_.store(writeMs);
    return true;
}

bool USBSerial::purge(std::uint32_t mask) {
    std::lock_guard io(ioLock_);
    return purgeOpenPort(mask);
}

bool USBSerial::purgeOpenPort(std::uint32_t mask) {
    if (!port_)
        return false;
    if (store(port_->purge(mask)) != kCableOk) {
        raiseError(ErrorCategory::Prot, "Error:failed to purge port.");
        return false;
    }
    // Read-ahead bytes had arrived: they go with the port's receive queue.
    if ((mask & kPurgeRx) != 0)
        dropReadAhead();
    return true;
}

std::size_t USBSerial::takeReadAhead(std::uint8_t* buffer, std::size_t count) {
    const std::size_t take = std::min(count, aheadEnd_ - aheadStart_);
    std::copy_n(ahead_.begin() + static_cast<std::ptrdiff_t>(aheadStart_), take, buffer);
    aheadStart_ += take;
    if (aheadStart_ == aheadEnd_)
        dropReadAhead();
    return take;
}

std::size_t USBSerial::read(std::uint8_t* buffer, std::size_t count) {
    if (buffer == nullptr || count == 0)
        return 0;
    std::lock_guard io(ioLock_);
    if (!port_)
        return 0;
    // Bytes fetched earlier had arrived: the port would have handed them
    // over at once.
    std::size_t total = takeReadAhead(buffer, count);
    if (total == count) {
        store(kCableOk);
        return total;
    }
    if (count - total == 1) {
        // The reply parser reads a byte at a time: fetch that byte and
        // whatever arrived behind it in one call, waiting as read() would.
        std::size_t got = 0;
        store(port_->readAvailable(ahead_.data(), ahead_.size(), got));
        aheadStart_ = 0;
        aheadEnd_ = std::min(got, ahead_.size());
        bytesMoved_.fetch_add(aheadEnd_);
        return total + takeReadAhead(buffer + total, 1);
    }
    while (total < count) {
        std::size_t got = 0;
        const std::uint32_t status = store(port_->read(buffer + total, count - total, got));
        if (got > count - total)
            got = count - total;  // a back-end never may, but stay bounded
        total += got;
        bytesMoved_.fetch_add(got);
        if (status != kCableOk || got == 0)
            break;
    }
    return total;
}

std::size_t USBSerial::write(const std::uint8_t* buffer, std::size_t count) {
    if (buffer == nullptr)
        return 0;
    std::lock_guard io(ioLock_);
    if (!port_)
        return 0;
    std::size_t total = 0;
    while (total < count) {
        purgeOpenPort(4);
        std::size_t written = 0;
        const std::uint32_t status = store(port_->write(buffer + total, count - total, written));
        if (written > count - total)
            written = count - total;
        total += written;
        bytesMoved_.fetch_add(written);
        if (status != kCableOk || written == 0)
            break;
    }
    return total;
}

int USBSerial::searchCables(int& firstIndex, std::uint32_t& status) {
    std::uint32_t numDevices = 0;
    {
        std::lock_guard lock(listLock_);
        status = driver_->countDevices(numDevices);
        if (status != kCableOk)
            return 0;
    }
    std::lock_guard lock(portLock_);
    int cables = 0;
    for (std::uint32_t i = 0; i < numDevices; ++i) {
        std::string description;
        CableSystemError systemError = CableSystemError::None;
        int retries = 0;
        for (;;) {
            description.clear();
            status = driver_->deviceDescription(i, description, systemError);
            if (status == kCableOk)
                break;
            if (status != kCableDeviceNotOpened || retries >= kMaxDescriptionRetries)
                break;
            if (systemError == CableSystemError::AccessDenied) {
                sleep_(std::chrono::milliseconds(500));
            } else if (systemError == CableSystemError::GeneralFailure) {
                sleep_(std::chrono::milliseconds(10));
            } else {
                break;
            }
            ++retries;
        }
        if (status == kCableOk && isProgrammingCable(description)) {
            if (cables == 0)
                firstIndex = static_cast<int>(i);
            ++cables;
        }
    }
    return cables;
}

int USBSerial::findCables(int& firstIndex) {
    std::uint32_t status = kCableOk;
    const int cables = searchCables(firstIndex, status);
    store(status);
    return cables;
}

int USBSerial::countCables() {
    int firstIndex = -1;
    std::uint32_t status = kCableOk;
    return searchCables(firstIndex, status);
}

int USBSerial::countDevices() {
    std::lock_guard lock(listLock_);
    std::uint32_t n = 0;
    const std::uint32_t status = driver_->countDevices(n);
    store(kCableOk);
    return status == kCableOk ? static_cast<int>(n) : 0;
}

}  // namespace vkt
