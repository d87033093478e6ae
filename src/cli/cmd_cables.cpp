// `vkt cables`: every programming cable the chosen back-end sees, with its
// index (what --cable takes), device path (what --port takes), description,
// USB serial number and whether another program holds it.
#include <fmt/format.h>

#include <iostream>

#include "cli/cable_access.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "link/cable_choice.h"

namespace vkt::cli {

namespace {

Json heldJson(const CableDeviceInfo& info) {
    switch (info.access) {
        case CableDeviceInfo::Access::HeldElsewhere:
            return true;
        case CableDeviceInfo::Access::Free:
        case CableDeviceInfo::Access::HeldHere:
            return false;
        default:
            return nullptr;  // cannot be told (no permission to look)
    }
}

std::string stateText(const CableDeviceInfo& info) {
    switch (info.access) {
        case CableDeviceInfo::Access::HeldElsewhere:
            return "held by another program";
        case CableDeviceInfo::Access::Denied:
            return "no permission: " + info.accessError;
        default:
            return "free";
    }
}

int runCables(const GlobalOptions& options, bool json) {
    CommandReport report("cables", json);
    report.declareFields({"backend", "cables"});
    CableSetup setup = makeBackendDriver(options, report);
    if (!setup.driver)
        return setup.exitCode;
    SimulatedRadioSaver saveRadio;
    const std::string backend = backendName(options);
    report.fields()["backend"] = backend;
    std::vector<CableDevice> devices;
    std::uint32_t status = kCableOk;
    if (!listCableDevices(*setup.driver, devices, status)) {
        return report.fail(Failure{
            "CABLE",
            {fmt::format("the {} back-end cannot list its devices (status {})", backend, status)},
            {}});
    }
    Json list = Json::array();
    int index = 0;
    for (const CableDevice& d : devices) {
        if (!d.programmingCable)
            continue;
        const CableDeviceInfo& info = d.info;
        Json cable;
        cable["index"] = index;
        cable["path"] = info.path;
        cable["description"] = info.description;
        cable["serial_number"] = textOrNull(info.serialNumber);
        cable["held_by_other_program"] = heldJson(info);
        cable["accessible"] = info.access != CableDeviceInfo::Access::Denied;
        list.push_back(std::move(cable));
        report.text() << fmt::format(
            "{}  {}  {}  serial {}  ({})\n", index, info.path, info.description,
            info.serialNumber.empty() ? "unknown" : info.serialNumber, stateText(info));
        ++index;
    }
    report.fields()["cables"] = std::move(list);
    if (index == 0)
        return report.fail(Failure{"CABLE", {"No programming cable found"}, noCableHint(backend)});
    return report.succeed(
        fmt::format("{} programming cable{} found", index, index == 1 ? "" : "s"));
}

}  // namespace

void addCablesCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "cables",
        "List the programming cables (USB description \"QX CPS Cable\") of the cable back-end: "
        "index (for --cable), device path (for --port), description, USB serial number and "
        "whether another program holds the cable. Exit 1 when there is none");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print one JSON object");
    setHandler(sub, [&options, json] { return runCables(options, *json); });
}

}  // namespace vkt::cli
