#include "link/tty_driver.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "link/cable_backends.h"
#include "link/held_devices.h"
#include "link/sbep_protocol.h"
#include "link/tty_line.h"
#include "link/usb_serial.h"

namespace vkt {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::atomic<std::uint64_t> gReadCalls{0};

// Room for the largest frame (4109 data bytes and its framing) in one read.
constexpr std::size_t kChunk = 8192;

HeldDevices<std::string>& heldPaths() {
    static HeldDevices<std::string> held;
    return held;
}

// Unix 98 pseudo-terminal slaves: majors 136 to 143.
bool isPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

std::uint32_t statusFromErrno(int e) {
    switch (e) {
        case 0:
            return kCableOk;
        case EINVAL:
            return kCableInvalidParameter;
        case ENOMEM:
            return kCableInsufficientResources;
        default:
            return kCableIoError;
    }
}

class TtyPort : public CablePort {
  public:
    TtyPort(int fd, std::string path) : fd_(fd), path_(std::move(path)), buffer_(kChunk) {}
    ~TtyPort() override {
        // Exclusive use ends with this handle. A port that outlives it (a
        // pseudo-terminal whose other side stays open) would otherwise
        // refuse every later open by a user without CAP_SYS_ADMIN.
        ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        heldPaths().release(path_);
    }
    TtyPort(const TtyPort&) = delete;
    TtyPort& operator=(const TtyPort&) = delete;

    std::uint32_t read(std::uint8_t* buffer, std::size_t count, std::size_t& got) override {
        got = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs_);
        for (;;) {
            got += take(buffer + got, count - got);
            if (got == count)
                return kCableOk;
            const std::uint32_t status = fill(deadline);
            if (status != kCableOk || start_ == end_)
                return status;  // a failure, or the time-out: report what arrived
        }
    }

    std::uint32_t readAvailable(std::uint8_t* buffer, std::size_t max, std::size_t& got) override {
        got = take(buffer, max);
        if (got > 0 || max == 0)
            return kCableOk;
        const std::uint32_t status = fill(Clock::now() + std::chrono::milliseconds(readTimeoutMs_));
        got = take(buffer, max);
        return status;
    }

    std::uint32_t write(const std::uint8_t* buffer, std::size_t count,
                        std::size_t& written) override {
        written = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
        while (written < count) {
            const ssize_t n = ::write(fd_, buffer + written, count - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return kCableIoError;
            const int waited = waitFor(POLLOUT, deadline);
            if (waited < 0)
                return kCableIoError;
            if (waited == 0)
                break;
        }
        return kCableOk;
    }

    std::uint32_t setBaudRate(std::uint32_t rate) override {
        if (rate == 0)
            return kCableInvalidBaudRate;
        const int e = tty::setLineRate(fd_, rate);
        // A pseudo-terminal has no wire: a rate it refuses does not matter.
        if (e == 0 || isPseudoTerminal(fd_))
            return kCableOk;
        return e == EINVAL ? kCableInvalidBaudRate : kCableIoError;
    }

    std::uint32_t setDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                         std::uint8_t parity) override {
        return statusFromErrno(tty::setDataBits(fd_, wordLength, stopBits, parity));
    }

    std::uint32_t setFlowControl(std::uint16_t flow, std::uint8_t xon, std::uint8_t xoff) override {
        return statusFromErrno(tty::setFlow(fd_, flow, xon, xoff));
    }

    std::uint32_t setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) override {
        readTimeoutMs_ = readMs;
        writeTimeoutMs_ = writeMs;
        return kCableOk;
    }

    std::uint32_t purge(std::uint32_t mask) override {
        const bool rx = (mask & kPurgeRx) != 0;
        if (rx)
            start_ = end_ = 0;
        return statusFromErrno(tty::flush(fd_, rx, (mask & kPurgeTx) != 0));
    }

    std::uint32_t setLatencyTimer(std::uint8_t ms) override {
        // Both ways are optional: a pty or a driver without them still works.
        serial_struct serial{};
        if (ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
            serial.flags |= ASYNC_LOW_LATENCY;
            ioctl(fd_, TIOCSSERIAL, &serial);
        }
        const std::string name = fs::path(path_).filename().string();
        const fs::path sysfs = fs::path("/sys/bus/usb-serial/devices") / name / "latency_timer";
        if (access(sysfs.c_str(), W_OK) == 0) {
            std::ofstream out(sysfs);
            out << static_cast<unsigned>(ms) << "\n";
        }
        return kCableOk;
    }

  private:
    // Copies up to `count` buffered bytes to `out`; returns how many.
    std::size_t take(std::uint8_t* out, std::size_t count) {
        const std::size_t n = std::min(count, end_ - start_);
        std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(start_), n, out);
        start_ += n;
        return n;
    }

    // Refills the empty buffer with what the line holds, waiting until
    // `deadline` for the first byte; the buffer stays empty at the deadline.
    std::uint32_t fill(Clock::time_point deadline) {
        start_ = end_ = 0;
        for (;;) {
            const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
            gReadCalls.fetch_add(1, std::memory_order_relaxed);
            if (n > 0) {
                end_ = static_cast<std::size_t>(n);
                return kCableOk;
            }
            // With VMIN = VTIME = 0 an empty line reads as 0 bytes.
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return kCableIoError;
            const int waited = waitFor(POLLIN, deadline);
            if (waited < 0)
                return kCableIoError;
            if (waited == 0)
                return kCableOk;
        }
    }

    // 1 when the descriptor is ready, 0 at the deadline, -1 on error.
    int waitFor(short events, Clock::time_point deadline) {
        for (;;) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero())
                return 0;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            pollfd p{fd_, events, 0};
            const int rc = ppoll(&p, 1, &ts, nullptr);
            if (rc < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            if (rc == 0)
                return 0;
            if ((p.revents & (POLLERR | POLLNVAL)) != 0)
                return -1;
            // A hang-up with nothing left to read: the other end is gone.
            if ((p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0)
                return -1;
            return 1;
        }
    }

    int fd_;
    std::string path_;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // unread bytes are buffer_[start_, end_)
    std::size_t end_ = 0;
    std::uint32_t readTimeoutMs_ = 250;
    std::uint32_t writeTimeoutMs_ = 300;
};

class TtyDriver : public CableDriver {
  public:
    const char* name() const override { return "tty"; }

    std::uint32_t countDevices(std::uint32_t& count) override {
        std::lock_guard lock(lock_);
        devices_ = listTtyDevices();
        listed_ = true;
        count = static_cast<std::uint32_t>(devices_.size());
        return kCableOk;
    }

    std::uint32_t deviceDescription(std::uint32_t index, std::string& description,
                                    CableSystemError& systemError) override {
        TtyDevice device;
        systemError = CableSystemError::None;
        if (!lookup(index, device))
            return kCableDeviceNotFound;
        // A cable held by this process or by another program cannot be
        // opened, so the search does not count it. Only programming cables
        // are probed: other serial devices are never touched.
        std::string error;
        if (heldPaths().held(device.path) ||
            (isProgrammingCable(device.description) &&
             probeTtyAccess(device.path, error) == CableDeviceInfo::Access::HeldElsewhere)) {
            systemError = CableSystemError::Other;
            return kCableDeviceNotOpened;
        }
        description = device.description;
        return kCableOk;
    }

    std::uint32_t deviceInfo(std::uint32_t index, CableDeviceInfo& info,
                             bool probeAccess) override {
        TtyDevice device;
        info = CableDeviceInfo{};
        if (!lookup(index, device))
            return kCableDeviceNotFound;
        info.path = device.path;
        info.description = device.description;
        info.serialNumber = device.serialNumber;
        if (heldPaths().held(device.path))
            info.access = CableDeviceInfo::Access::HeldHere;
        else if (probeAccess && isProgrammingCable(device.description))
            info.access = probeTtyAccess(device.path, info.accessError);
        return kCableOk;
    }

    std::uint32_t open(std::uint32_t index, std::unique_ptr<CablePort>& port) override {
        TtyDevice device;
        if (!lookup(index, device))
            return kCableDeviceNotFound;
        if (!heldPaths().claim(device.path))
            return kCableDeviceNotOpened;
        const int fd = ::open(device.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            heldPaths().release(device.path);
            return e == ENOENT ? kCableDeviceNotFound : kCableDeviceNotOpened;
        }
        auto tty = std::make_unique<TtyPort>(fd, device.path);
        // Other programs cannot open the port while we talk to the radio.
        ioctl(fd, TIOCEXCL);
        if (tty::configureRaw(fd) != 0)
            return kCableIoError;  // not a serial port
        tty->setBaudRate(kSlowLineRate);
        tty->purge(kPurgeRx | kPurgeTx);
        port = std::move(tty);
        return kCableOk;
    }

  private:
    bool lookup(std::uint32_t index, TtyDevice& device) {
        std::lock_guard lock(lock_);
        if (!listed_) {
            devices_ = listTtyDevices();
            listed_ = true;
        }
        if (index >= devices_.size())
            return false;
        device = devices_[index];
        return true;
    }

    std::mutex lock_;
    bool listed_ = false;
    std::vector<TtyDevice> devices_;
};

}  // namespace

std::vector<TtyDevice> parseTtyPortList(std::string_view text) {
    std::vector<TtyDevice> devices;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(';'), text.size());
        const std::string_view entry = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (entry.empty())
            continue;
        const std::size_t eq = entry.find('=');
        TtyDevice device;
        device.path = std::string(entry.substr(0, eq));
        if (eq != std::string_view::npos)
            device.description = std::string(entry.substr(eq + 1));
        if (!device.path.empty())
            devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<TtyDevice> listUsbSerialTtys(const std::string& classDir) {
    std::vector<std::pair<unsigned long, TtyDevice>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(classDir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) != 0 || name.size() == 6)
            continue;
        const std::string digits = name.substr(6);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        TtyDevice device;
        device.path = "/dev/" + name;
        // device -> the USB interface; its parent is the USB device.
        const fs::path port = fs::canonical(entry.path() / "device", ec);
        if (!ec) {
            const fs::path usbDevice = port.parent_path().parent_path();
            device.description = readSysfsLine(usbDevice / "product");
            device.serialNumber = readSysfsLine(usbDevice / "serial");
        }
        ec.clear();
        found.emplace_back(std::stoul(digits), std::move(device));
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<TtyDevice> devices;
    devices.reserve(found.size());
    for (auto& f : found)
        devices.push_back(std::move(f.second));
    return devices;
}

std::vector<TtyDevice> listTtyDevices() {
    std::vector<TtyDevice> devices = listUsbSerialTtys();
    if (const char* env = std::getenv("VKT_TTY_PORTS")) {
        for (auto& d : parseTtyPortList(env))
            devices.push_back(std::move(d));
    }
    return devices;
}

std::string readSysfsLine(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    if (in)
        std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

CableDeviceInfo::Access probeTtyAccess(const std::string& path, std::string& error) {
    using Access = CableDeviceInfo::Access;
    error.clear();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        switch (e) {
            case EBUSY:
                return Access::HeldElsewhere;
            case EACCES:
            case EPERM:
                error = std::strerror(e);
                return Access::Denied;
            default:
                return Access::Unknown;
        }
    }
    int exclusive = 0;
    const bool held = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(fd);
    return held ? Access::HeldElsewhere : Access::Free;
}

std::uint64_t ttyReadSystemCalls() {
    return gReadCalls.load();
}

std::shared_ptr<CableDriver> makeTtyCableDriver() {
    return std::make_shared<TtyDriver>();
}

}  // namespace vkt
