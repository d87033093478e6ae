#include "cli/cable_access.h"

#include <fmt/printf.h>

#include <climits>
#include <cstdlib>

#include "app/cable_setup.h"
#include "app/console_protocol.h"
#include "app/strings.h"
#include "link/cable_backends.h"
#include "link/cable_choice.h"
#include "package/package_config.h"

namespace vkt::cli {

namespace {

constexpr const char* kListHint = "`vkt cables` lists the programming cables the tool sees.";

Failure cableFailure(std::string message, std::string hint, const char* category = "CABLE") {
    return Failure{category, {std::move(message)}, std::move(hint)};
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

std::string backendName(const GlobalOptions& options) {
    if (options.simulate)
        return "sim";
    return options.backend.empty() ? defaultCableBackendName() : options.backend;
}

std::string permissionHint(const std::string& backend) {
    if (backend == "ftdi") {
        return "The ftdi back-end needs write access to the cable's USB device: install the "
               "tool's udev rule (70-vkt-cable.rules, see docs/cables.md) and plug the cable in "
               "again, or use the tty back-end (the default).";
    }
    return "Your user may not use the port. Install the tool's udev rule (70-vkt-cable.rules, "
           "see docs/cables.md) and plug the cable in again, or add your user to the group "
           "dialout (sudo usermod -aG dialout $USER) and log in again.";
}

std::string busyHint() {
    return "Close the other program (another vkt, the desktop update tool, a terminal "
           "program) or wait until it is done, then try again.";
}

std::string noCableHint(const std::string& backend) {
    std::string hint =
        "Plug in the programming cable (its USB description reads \"QX CPS Cable\"). ";
    hint += kListHint;
    if (backend == "tty")
        hint +=
            " A port that is not a USB cable can be named in VKT_TTY_PORTS "
            "(PATH=QX CPS Cable).";
    return hint;
}

std::string silentRadioHint() {
    return "Is the radio switched on and seated in the charger?";
}

CableSetup makeBackendDriver(const GlobalOptions& options, CommandReport& report) {
    CableSetup setup;
    std::string error;
    setup.driver = makeCableDriver(options, error);
    if (!setup.driver) {
        const bool known = cableBackendKnown(options);
        setup.exitCode = report.fail(Failure{known ? "CABLE" : "USAGE", {error}, {}},
                                     known ? kExitFailure : kExitUsage);
    }
    return setup;
}

CableSetup chooseCableDriver(const GlobalOptions& options, CommandReport& report) {
    CableSetup setup = makeBackendDriver(options, report);
    if (!setup.driver)
        return setup;
    const std::string backend = backendName(options);
    std::vector<CableDevice> devices;
    std::uint32_t status = kCableOk;
    if (!listCableDevices(*setup.driver, devices, status)) {
        setup.driver.reset();
        setup.exitCode = report.fail(cableFailure(
            fmt::format("the {} back-end cannot list its devices (status {})", backend, status),
            {}));
        return setup;
    }
    CableChoice choice;
    if (!options.port.empty())
        choice.port = options.port;
    if (options.cable >= 0)
        choice.cable = options.cable;
    const ChosenCable chosen = chooseCable(devices, choice);
    using Outcome = ChosenCable::Outcome;
    const std::string path = chosen.device ? chosen.device->info.path : std::string();
    std::optional<Failure> failure;
    switch (chosen.outcome) {
        case Outcome::Chosen:
            setup.path = path;
            setup.driver = makeChosenCableDriver(std::move(setup.driver), path);
            return setup;
        case Outcome::NoCable:
            failure = cableFailure("No programming cable found", noCableHint(backend));
            break;
        case Outcome::Several: {
            std::string text = loadString(str::kManyCables);
            try {
                text = fmt::sprintf(text, static_cast<int>(chosen.freeCables));
            } catch (const std::exception&) {
            }
            failure = cableFailure(
                text, std::string("Or choose one with --port PATH or --cable N; ") + kListHint);
            break;
        }
        case Outcome::PortNotFound:
            failure = cableFailure("the " + backend + " back-end has no device " + options.port,
                                   noCableHint(backend));
            break;
        case Outcome::NotACable:
            failure =
                cableFailure(path + " is not a programming cable: its USB description reads \"" +
                                 chosen.device->info.description + "\", not \"QX CPS Cable\"",
                             kListHint);
            break;
        case Outcome::NoSuchCable: {
            std::size_t cables = 0;
            for (const CableDevice& d : devices)
                cables += d.programmingCable ? 1 : 0;
            failure = cableFailure(fmt::format("there is no cable {}: {} found", options.cable,
                                               plural(cables, "programming cable")),
                                   std::string("--cable counts from 0. ") + kListHint);
            break;
        }
        case Outcome::HeldElsewhere:
            failure = cableFailure(path + " is in use by another program", busyHint(), "PROT");
            break;
        case Outcome::Denied:
            failure = cableFailure("cannot open " + path + ": " + chosen.device->info.accessError,
                                   permissionHint(backend), "PROT");
            break;
    }
    setup.driver.reset();
    setup.exitCode = report.fail(*failure);
    return setup;
}

void explainOpenFailure(CableDriver& chosen, const std::string& backend, Failure& failure) {
    std::uint32_t count = 0;
    CableDeviceInfo info;
    if (chosen.countDevices(count) != kCableOk || count == 0) {
        failure.messages.emplace_back("No programming cable found");
        failure.hint = noCableHint(backend);
        return;
    }
    if (chosen.deviceInfo(0, info, true) != kCableOk)
        return;
    if (info.access == CableDeviceInfo::Access::Denied) {
        failure.messages.push_back("cannot open " + info.path + ": " + info.accessError);
        failure.hint = permissionHint(backend);
    } else if (info.access == CableDeviceInfo::Access::HeldElsewhere) {
        failure.messages.push_back(info.path + " is in use by another program");
        failure.hint = busyHint();
    }
}

std::optional<int> lockRadioOperations(InstanceLock& lock, CommandReport& report) {
    std::string error;
    const std::string path = instanceLockPath(kToolRegion);
    if (!prepareToolRuntimeDir(error))
        return report.fail(Failure{"LOCKED", {"cannot take the radio lock: " + error}, {}});
    // A worker of `vkt fleet update` shares the lock its parent holds: the
    // parent keeps every other tool of the region out while its workers
    // update one cable each.
    if (const char* inherited = std::getenv(kInheritedLockVariable)) {
        char* end = nullptr;
        const long fd = std::strtol(inherited, &end, 10);
        std::string ignored;
        if (end != inherited && *end == '\0' && fd >= 0 && fd <= INT_MAX &&
            lock.adopt(static_cast<int>(fd), path, ignored) == InstanceLock::Result::Acquired)
            return std::nullopt;
    }
    switch (lock.acquire(path, error)) {
        case InstanceLock::Result::Acquired:
            return std::nullopt;
        case InstanceLock::Result::HeldElsewhere:
            return report.fail(Failure{
                "LOCKED",
                {std::string("Another update tool of the region ") + kToolRegion +
                 " is running (the desktop window or another vkt); it holds " + path},
                "Wait until it is done, or close the desktop update tool, then try again."});
        case InstanceLock::Result::Failed:
            break;
    }
    return report.fail(Failure{"LOCKED", {"cannot take the radio lock: " + error}, {}});
}

}  // namespace vkt::cli
