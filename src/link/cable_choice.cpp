#include "link/cable_choice.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "link/usb_serial.h"

namespace vkt {

namespace {

namespace fs = std::filesystem;

// "BBB/DDD", "B/D" or "B:D" as bus and device numbers.
std::optional<std::pair<int, int>> busAndDevice(const std::string& text) {
    const std::size_t sep = text.find_first_of("/:");
    if (sep == std::string::npos || sep == 0 || sep + 1 == text.size())
        return std::nullopt;
    const auto number = [](const std::string& digits) -> std::optional<int> {
        if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        return std::stoi(digits);
    };
    const auto bus = number(text.substr(0, sep));
    const auto device = number(text.substr(sep + 1));
    if (!bus || !device)
        return std::nullopt;
    return std::make_pair(*bus, *device);
}

constexpr const char* kUsbNodePrefix = "/dev/bus/usb/";

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    const bool same = fs::equivalent(a, b, ec);
    return !ec && same;
}

class ChosenCableDriver : public CableDriver {
  public:
    ChosenCableDriver(std::shared_ptr<CableDriver> inner, std::string path)
        : inner_(std::move(inner)), path_(std::move(path)) {}

    const char* name() const override { return inner_->name(); }

    std::uint32_t countDevices(std::uint32_t& count) override {
        count = 0;
        std::uint32_t devices = 0;
        const std::uint32_t status = inner_->countDevices(devices);
        std::optional<std::uint32_t> found;
        if (status == kCableOk) {
            for (std::uint32_t i = 0; i < devices && !found; ++i) {
                CableDeviceInfo info;
                if (inner_->deviceInfo(i, info, false) == kCableOk && info.path == path_)
                    found = i;
            }
        }
        std::lock_guard lock(lock_);
        index_ = found;
        count = found ? 1 : 0;
        return status;
    }

    std::uint32_t deviceDescription(std::uint32_t index, std::string& description,
                                    CableSystemError& systemError) override {
        const auto inner = innerIndex(index);
        if (!inner)
            return kCableDeviceNotFound;
        return inner_->deviceDescription(*inner, description, systemError);
    }

    std::uint32_t open(std::uint32_t index, std::unique_ptr<CablePort>& port) override {
        const auto inner = innerIndex(index);
        if (!inner)
            return kCableDeviceNotFound;
        return inner_->open(*inner, port);
    }

    std::uint32_t deviceInfo(std::uint32_t index, CableDeviceInfo& info,
                             bool probeAccess) override {
        const auto inner = innerIndex(index);
        if (!inner)
            return kCableDeviceNotFound;
        return inner_->deviceInfo(*inner, info, probeAccess);
    }

  private:
    std::optional<std::uint32_t> innerIndex(std::uint32_t index) {
        std::lock_guard lock(lock_);
        if (index != 0 || !index_)
            return std::nullopt;
        return index_;
    }

    std::shared_ptr<CableDriver> inner_;
    std::string path_;
    std::mutex lock_;
    std::optional<std::uint32_t> index_;  // the device's index at the last count
};

}  // namespace

bool listCableDevices(CableDriver& driver, std::vector<CableDevice>& devices,
                      std::uint32_t& status) {
    devices.clear();
    std::uint32_t count = 0;
    status = driver.countDevices(count);
    if (status != kCableOk)
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        CableDevice device;
        device.deviceIndex = i;
        if (driver.deviceInfo(i, device.info, true) != kCableOk)
            continue;
        device.programmingCable = isProgrammingCable(device.info.description);
        devices.push_back(std::move(device));
    }
    return true;
}

bool cablePortMatches(const CableDeviceInfo& info, const std::string& port) {
    if (port.empty())
        return false;
    if (port == info.path || (!info.serialNumber.empty() && port == info.serialNumber))
        return true;
    if (info.path.rfind(kUsbNodePrefix, 0) == 0) {
        const auto mine = busAndDevice(info.path.substr(std::string(kUsbNodePrefix).size()));
        const auto asked = busAndDevice(port);
        if (mine && asked && *mine == *asked)
            return true;
    }
    return !info.path.empty() && info.path.front() == '/' && port.front() == '/' &&
           sameFile(port, info.path);
}

ChosenCable chooseCable(const std::vector<CableDevice>& devices, const CableChoice& choice) {
    using Outcome = ChosenCable::Outcome;
    using Access = CableDeviceInfo::Access;
    ChosenCable result;
    std::vector<const CableDevice*> cables;
    for (const CableDevice& d : devices) {
        if (d.programmingCable) {
            cables.push_back(&d);
            if (d.info.access != Access::HeldElsewhere)
                ++result.freeCables;
        }
    }
    const auto judge = [&result](const CableDevice& d) {
        result.device = d;
        switch (d.info.access) {
            case Access::HeldElsewhere:
                result.outcome = Outcome::HeldElsewhere;
                break;
            case Access::Denied:
                result.outcome = Outcome::Denied;
                break;
            default:
                result.outcome = Outcome::Chosen;
                break;
        }
        return result;
    };
    if (choice.port) {
        for (const CableDevice& d : devices) {
            if (!cablePortMatches(d.info, *choice.port))
                continue;
            if (!d.programmingCable) {
                result.outcome = Outcome::NotACable;
                result.device = d;
                return result;
            }
            return judge(d);
        }
        result.outcome = Outcome::PortNotFound;
        return result;
    }
    if (choice.cable) {
        if (*choice.cable < 0 || static_cast<std::size_t>(*choice.cable) >= cables.size()) {
            result.outcome = Outcome::NoSuchCable;
            return result;
        }
        return judge(*cables[static_cast<std::size_t>(*choice.cable)]);
    }
    if (cables.empty()) {
        result.outcome = Outcome::NoCable;
        return result;
    }
    if (result.freeCables > 1) {
        result.outcome = Outcome::Several;
        return result;
    }
    for (const CableDevice* d : cables) {
        if (d->info.access != Access::HeldElsewhere || result.freeCables == 0)
            return judge(*d);
    }
    return result;
}

std::shared_ptr<CableDriver> makeChosenCableDriver(std::shared_ptr<CableDriver> inner,
                                                   std::string path) {
    return std::make_shared<ChosenCableDriver>(std::move(inner), std::move(path));
}

}  // namespace vkt
