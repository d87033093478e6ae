// The "sim" cable back-end: a virtual USB programming cable wired to a
// simulated radio. Bytes the host writes reach the radio at once (it answers
// synchronously) and the reply bytes become readable at their wire time, so
// no thread is needed. Echo, line rates, time-outs, purge and plug state
// behave as they do on a real cable.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/cable_driver.h"
#include "sim/sim_radio.h"

namespace vkt::sim {

inline constexpr const char* kCableDescription = "QX CPS Cable";

struct VirtualDevice {
    std::string description = kCableDescription;
    std::shared_ptr<SimRadio> radio;  // null: a cable with nothing on its far end
};

class VirtualCableDriver : public CableDriver {
  public:
    // One "QX CPS Cable" with a default radio.
    VirtualCableDriver();
    // One "QX CPS Cable" wired to `radio`.
    explicit VirtualCableDriver(std::shared_ptr<SimRadio> radio);
    explicit VirtualCableDriver(std::vector<VirtualDevice> devices);

    const char* name() const override { return "sim"; }
    std::uint32_t countDevices(std::uint32_t& count) override;
    std::uint32_t deviceDescription(std::uint32_t index, std::string& description,
                                    CableSystemError& systemError) override;
    std::uint32_t open(std::uint32_t index, std::unique_ptr<CablePort>& port) override;
    // Path "sim:N" with N the device's slot; a held device is held here.
    std::uint32_t deviceInfo(std::uint32_t index, CableDeviceInfo& info, bool probeAccess) override;

    // Unplugs or replugs device `slot` (position in the constructor's list,
    // not the driver index, which only counts plugged devices). Unplugging
    // breaks the device's open port; a device with a radio is unplugged
    // like a PullCable fault.
    void unplug(std::size_t slot);
    void replug(std::size_t slot);
    std::shared_ptr<SimRadio> radio(std::size_t slot = 0) const;

    struct DeviceState;

  private:
    bool plugged(const DeviceState& d) const;
    DeviceState* byIndex(std::uint32_t index);

    // Shared with the open ports, which may outlive the driver.
    std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
    std::vector<std::shared_ptr<DeviceState>> devices_;
};

}  // namespace vkt::sim
