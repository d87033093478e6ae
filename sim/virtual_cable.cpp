#include "sim/virtual_cable.h"

#include <algorithm>
#include <thread>

namespace vkt::sim {

struct VirtualCableDriver::DeviceState {
    VirtualDevice device;
    bool unplugged = false;        // unplugged through the driver (no radio)
    bool open = false;             // held by a port
    std::uint64_t generation = 0;  // counts driver unplugs
};

namespace {

constexpr std::uint32_t kMaxRate = 3000000;

class VirtualCablePort : public CablePort {
  public:
    VirtualCablePort(std::shared_ptr<VirtualCableDriver::DeviceState> state,
                     std::shared_ptr<std::mutex> driverMutex)
        : state_(std::move(state)), driverMutex_(std::move(driverMutex)) {
        std::lock_guard lock(*driverMutex_);
        generation_ = state_->generation;
        if (state_->device.radio)
            radioGeneration_ = state_->device.radio->pullGeneration();
    }
    ~VirtualCablePort() override {
        std::lock_guard lock(*driverMutex_);
        state_->open = false;
    }

    std::uint32_t read(std::uint8_t* buffer, std::size_t count, std::size_t& got) override {
        return receive(buffer, count, count, got);
    }

    std::uint32_t readAvailable(std::uint8_t* buffer, std::size_t max, std::size_t& got) override {
        return receive(buffer, max, max < 1 ? max : 1, got);
    }

    // Waits up to the read time-out until `wanted` bytes have arrived, then
    // takes every arrived byte up to `max`.
    std::uint32_t receive(std::uint8_t* buffer, std::size_t max, std::size_t wanted,
                          std::size_t& got) {
        got = 0;
        if (!buffer && max)
            return kCableInvalidParameter;
        std::unique_lock lock(mutex_);
        const auto deadline = Clock::now() + std::chrono::milliseconds(readMs_);
        for (;;) {
            if (broken())
                return kCableIoError;
            const auto now = Clock::now();
            while (got < max && !rx_.empty() && rx_.front().due <= now) {
                buffer[got++] = arrived(rx_.front());
                rx_.pop_front();
            }
            if (got >= wanted || now >= deadline)
                return kCableOk;
            // Sleep until the last byte this call waits for is due (or the
            // last one on the line, when fewer are queued): one wake-up for
            // a whole reply instead of one per byte.
            auto wake = deadline;
            if (!rx_.empty()) {
                const std::size_t last = std::min(wanted - got, rx_.size()) - 1;
                wake = std::min(wake, rx_[last].due);
            }
            // Poll the plug state at least every 20 ms while waiting.
            wake = std::min(wake, now + std::chrono::milliseconds(20));
            lock.unlock();
            std::this_thread::sleep_until(wake);
            lock.lock();
        }
    }

    std::uint32_t write(const std::uint8_t* buffer, std::size_t count,
                        std::size_t& written) override {
        written = 0;
        if (!buffer && count)
            return kCableInvalidParameter;
        std::lock_guard lock(mutex_);
        if (broken())
            return kCableIoError;
        const auto now = Clock::now();
        const auto start = std::max(now, txFree_);
        std::vector<WireByte> incoming;
        auto& radio = state_->device.radio;
        const auto perByte =
            radio ? pacedByteTime(rate_, radio->timing().paceFactor) : std::chrono::nanoseconds{0};
        // A cable with no radio behind it still echoes.
        if (!radio || radio->echo())
            appendEcho({buffer, count}, perByte, start, incoming);
        if (radio)
            radio->receive({buffer, count}, rate_, start, incoming);
        txFree_ = start + perByte * static_cast<std::int64_t>(count);
        mergeByDue(rx_, incoming);
        // The bytes left the host; a pull they caused shows on the next call.
        written = count;
        return kCableOk;
    }

    std::uint32_t setBaudRate(std::uint32_t rate) override {
        std::unique_lock lock(mutex_);
        if (broken())
            return kCableIoError;
        if (rate == 0 || rate > kMaxRate)
            return kCableInvalidBaudRate;
        // The new rate applies once the bytes already written have left.
        const auto wait = txFree_;
        lock.unlock();
        std::this_thread::sleep_until(wait);
        lock.lock();
        settle(Clock::now());
        rate_ = rate;
        return kCableOk;
    }

    std::uint32_t setDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                         std::uint8_t parity) override {
        std::lock_guard lock(mutex_);
        if (broken())
            return kCableIoError;
        if ((wordLength != 7 && wordLength != 8) || stopBits > 2 || parity > 4) {
            return kCableInvalidParameter;
        }
        return kCableOk;
    }

    std::uint32_t setFlowControl(std::uint16_t, std::uint8_t, std::uint8_t) override {
        std::lock_guard lock(mutex_);
        return broken() ? kCableIoError : kCableOk;
    }

    std::uint32_t setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) override {
        std::lock_guard lock(mutex_);
        if (broken())
            return kCableIoError;
        readMs_ = readMs;
        writeMs_ = writeMs;
        return kCableOk;
    }

    std::uint32_t purge(std::uint32_t mask) override {
        std::lock_guard lock(mutex_);
        if (broken())
            return kCableIoError;
        if (mask & kPurgeRx) {
            // Bytes already in the receive buffer go; bytes still on the line arrive later.
            const auto now = Clock::now();
            while (!rx_.empty() && rx_.front().due <= now)
                rx_.pop_front();
        }
        return kCableOk;
    }

    std::uint32_t setLatencyTimer(std::uint8_t ms) override {
        std::lock_guard lock(mutex_);
        if (broken())
            return kCableIoError;
        return ms == 0 ? kCableInvalidParameter : kCableOk;
    }

  private:
    bool broken() const {
        {
            std::lock_guard lock(*driverMutex_);
            if (state_->unplugged || state_->generation != generation_)
                return true;
        }
        const auto& radio = state_->device.radio;
        return radio && (radio->cablePulled() || radio->pullGeneration() != radioGeneration_);
    }

    // A byte is judged against the cable's rate at its arrival: one the radio
    // sent at another rate arrives garbled. The rate only changes through
    // setBaudRate, which settles the bytes that arrived before, so a byte
    // taken now is judged against the rate now.
    std::uint8_t arrived(const WireByte& b) const {
        return b.rate != 0 && !ratesMatch(b.rate, rate_) ? garbleByte(b.value) : b.value;
    }

    // Judges the bytes that have arrived by `now` (see arrived()).
    void settle(Clock::time_point now) {
        for (WireByte& b : rx_) {
            if (b.due > now)
                break;
            if (b.rate != 0 && !ratesMatch(b.rate, rate_))
                b.value = garbleByte(b.value);
            b.rate = 0;
        }
    }

    std::shared_ptr<VirtualCableDriver::DeviceState> state_;
    std::shared_ptr<std::mutex> driverMutex_;
    std::uint64_t generation_ = 0;
    std::uint64_t radioGeneration_ = 0;
    std::mutex mutex_;
    std::deque<WireByte> rx_;
    Clock::time_point txFree_{};
    std::uint32_t rate_ = kSlowLineRate;
    std::uint32_t readMs_ = 0;  // 0: a read returns at once with what has arrived
    std::uint32_t writeMs_ = 0;
};

}  // namespace

VirtualCableDriver::VirtualCableDriver() : VirtualCableDriver(std::make_shared<SimRadio>()) {}

VirtualCableDriver::VirtualCableDriver(std::shared_ptr<SimRadio> radio)
    : VirtualCableDriver(
          std::vector<VirtualDevice>{VirtualDevice{kCableDescription, std::move(radio)}}) {}

VirtualCableDriver::VirtualCableDriver(std::vector<VirtualDevice> devices) {
    for (auto& d : devices) {
        auto state = std::make_shared<DeviceState>();
        state->device = std::move(d);
        devices_.push_back(std::move(state));
    }
}

bool VirtualCableDriver::plugged(const DeviceState& d) const {
    return !d.unplugged && !(d.device.radio && d.device.radio->cablePulled());
}

VirtualCableDriver::DeviceState* VirtualCableDriver::byIndex(std::uint32_t index) {
    std::uint32_t i = 0;
    for (auto& d : devices_) {
        if (!plugged(*d))
            continue;
        if (i++ == index)
            return d.get();
    }
    return nullptr;
}

std::uint32_t VirtualCableDriver::countDevices(std::uint32_t& count) {
    std::lock_guard lock(*mutex_);
    count = 0;
    for (const auto& d : devices_)
        count += plugged(*d) ? 1 : 0;
    return kCableOk;
}

std::uint32_t VirtualCableDriver::deviceDescription(std::uint32_t index, std::string& description,
                                                    CableSystemError& systemError) {
    std::lock_guard lock(*mutex_);
    systemError = CableSystemError::None;
    DeviceState* d = byIndex(index);
    if (!d)
        return kCableDeviceNotFound;
    if (d->open) {
        // A device held open cannot be asked for its description; like the tty
        // and ftdi back-ends this is not a transient error worth retrying, so
        // the cable search does not wait on the cable this process holds.
        systemError = CableSystemError::Other;
        return kCableDeviceNotOpened;
    }
    description = d->device.description;
    return kCableOk;
}

std::uint32_t VirtualCableDriver::deviceInfo(std::uint32_t index, CableDeviceInfo& info,
                                             bool probeAccess) {
    std::lock_guard lock(*mutex_);
    info = CableDeviceInfo{};
    DeviceState* d = byIndex(index);
    if (!d)
        return kCableDeviceNotFound;
    for (std::size_t slot = 0; slot < devices_.size(); ++slot) {
        if (devices_[slot].get() == d)
            info.path = "sim:" + std::to_string(slot);
    }
    info.description = d->device.description;
    if (d->open)
        info.access = CableDeviceInfo::Access::HeldHere;
    else if (probeAccess)
        info.access = CableDeviceInfo::Access::Free;
    return kCableOk;
}

std::uint32_t VirtualCableDriver::open(std::uint32_t index, std::unique_ptr<CablePort>& port) {
    std::shared_ptr<DeviceState> state;
    {
        std::lock_guard lock(*mutex_);
        DeviceState* d = byIndex(index);
        if (!d)
            return kCableDeviceNotFound;
        if (d->open)
            return kCableDeviceNotOpened;
        for (auto& s : devices_) {
            if (s.get() == d)
                state = s;
        }
        state->open = true;  // claimed before the lock goes, so no second open wins
    }
    port = std::make_unique<VirtualCablePort>(std::move(state), mutex_);
    return kCableOk;
}

void VirtualCableDriver::unplug(std::size_t slot) {
    std::shared_ptr<SimRadio> radio;
    {
        std::lock_guard lock(*mutex_);
        if (slot >= devices_.size())
            return;
        devices_[slot]->unplugged = true;
        ++devices_[slot]->generation;
        radio = devices_[slot]->device.radio;
    }
    if (radio)
        radio->pullCable();
}

void VirtualCableDriver::replug(std::size_t slot) {
    std::shared_ptr<SimRadio> radio;
    {
        std::lock_guard lock(*mutex_);
        if (slot >= devices_.size())
            return;
        devices_[slot]->unplugged = false;
        radio = devices_[slot]->device.radio;
    }
    if (radio)
        radio->replug();
}

std::shared_ptr<SimRadio> VirtualCableDriver::radio(std::size_t slot) const {
    std::lock_guard lock(*mutex_);
    return slot < devices_.size() ? devices_[slot]->device.radio : nullptr;
}

}  // namespace vkt::sim
