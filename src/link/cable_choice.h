// Choosing one programming cable when several may be attached: the list of
// a back-end's devices with who may open them (what `vkt cables` shows), the
// choice by device path (--port) or by position (--cable), and a driver that
// shows only the chosen device, so that the cable search, the cable monitor
// and every radio flow above it see exactly that cable.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/cable_driver.h"

namespace vkt {

// One device of a back-end.
struct CableDevice {
    std::uint32_t deviceIndex = 0;  // the back-end's index when it was listed
    bool programmingCable = false;  // its description names a programming cable
    CableDeviceInfo info;           // with `access` probed for programming cables
};

// Every device of the driver in index order. False when the driver cannot
// list its devices; `status` holds its answer.
bool listCableDevices(CableDriver& driver, std::vector<CableDevice>& devices,
                      std::uint32_t& status);

// Whether `port` names the device: its path, the same file through a
// symbolic link (/dev/serial/by-id/...), its USB serial number, or for a USB
// device node /dev/bus/usb/BBB/DDD the bus and device numbers written
// "BBB/DDD", "B/D" or "B:D".
bool cablePortMatches(const CableDeviceInfo& info, const std::string& port);

// What the user asked for; neither means "the one cable there is".
struct CableChoice {
    std::optional<std::string> port;  // --port PATH
    std::optional<int> cable;         // --cable N: position among the programming cables
};

struct ChosenCable {
    enum class Outcome {
        Chosen,         // `device` is the cable to use
        NoCable,        // no programming cable at all
        Several,        // no choice was made and more than one cable is free
        PortNotFound,   // --port names no device of the back-end
        NotACable,      // --port names a device that is no programming cable
        NoSuchCable,    // --cable is beyond the list
        HeldElsewhere,  // the cable (or every cable) is held by another program
        Denied,         // this user may not open the chosen cable
    } outcome = Outcome::NoCable;
    std::optional<CableDevice> device;  // the device the outcome is about
    std::size_t freeCables = 0;         // cables no other program holds
};

// The choice over a device list (listCableDevices). Without --port or
// --cable the one cable that no other program holds is chosen.
ChosenCable chooseCable(const std::vector<CableDevice>& devices, const CableChoice& choice);

// A driver that shows only the device at `path` of `inner`, as its device 0,
// looked up again at every count; it shows nothing while that device is gone.
std::shared_ptr<CableDriver> makeChosenCableDriver(std::shared_ptr<CableDriver> inner,
                                                   std::string path);

}  // namespace vkt
