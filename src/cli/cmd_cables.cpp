// `vkt cables`: how many programming cables are attached, and the first one.
#include <iostream>

#include "cli/cable_setup.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "link/cable_backends.h"
#include "link/usb_serial.h"

namespace vkt::cli {

void addCablesCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "cables",
        "Count the programming cables (USB description \"QX CPS Cable\") on the chosen cable "
        "back-end and print the device index of the first one (-1 when there is none)");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print {\"count\": N, \"first_index\": I}");
    setHandler(sub, [&options, json]() -> int {
        const std::string name =
            options.simulate
                ? "sim"
                : (options.backend.empty() ? defaultCableBackendName() : options.backend);
        std::string error;
        auto driver = makeCableDriver(options, error);
        if (!driver)
            return cableSetupFailed(options, "cables", error);
        SimulatedRadioSaver saveRadio;
        // A listing that fails is not "no cable": say so and fail.
        std::uint32_t devices = 0;
        if (const std::uint32_t status = driver->countDevices(devices); status != kCableOk) {
            std::cerr << "vkt cables: the " << name << " back-end cannot list its devices (status "
                      << status << ")\n";
            return kExitFailure;
        }
        USBSerial cable(driver);
        int firstIndex = -1;
        const int count = cable.findCables(firstIndex);
        if (*json) {
            std::cout << "{\"count\": " << count << ", \"first_index\": " << firstIndex << "}\n";
        } else if (count == 0) {
            std::cout << "No programming cable found (back-end " << name << ").\n";
        } else {
            std::cout << count << " programming cable" << (count == 1 ? "" : "s")
                      << " found (back-end " << name << "); first index " << firstIndex << ".\n";
        }
        return kExitOk;
    });
}

}  // namespace vkt::cli
