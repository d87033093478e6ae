// `vkt identity`: connects to the programming cable, reads the radio's
// identity items and prints them raw (hex) and as the tool shows them.
#include <fmt/format.h>
#include <fmt/printf.h>

#include <iostream>
#include <span>

#include "app/cable_setup.h"
#include "cli/cable_access.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "core/error_stack.h"
#include "link/radio_manager.h"
#include "link/usb_serial.h"
#include "package/text_util.h"

namespace vkt::cli {

namespace {

std::string hexText(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty())
            out += ' ';
        out += fmt::sprintf("%02X", b);
    }
    return out;
}

struct Item {
    const char* key;
    const char* label;
    std::string text;
    std::span<const std::uint8_t> bytes;
};

int runIdentity(const GlobalOptions& options, bool json) {
    CommandReport report("identity", json);
    report.declareFields({"cable", "serial_number", "model", "regional_code", "firmware_version",
                          "codeplug_version", "raw"});
    report.logFailuresIn(effectiveDataDir(options));
    CableSetup cable = chooseCableDriver(options, report);
    if (!cable.driver)
        return cable.exitCode;
    SimulatedRadioSaver saveRadio;
    removeErrors(0);
    RadioManager manager(cable.driver);
    report.fields()["cable"] = cable.path;
    const auto failure = [&](const std::string& message, const std::string& hint) {
        Failure f{"CABLE", {message}, hint};
        const std::vector<ErrorEntry> errors = errorEntries();
        if (!errors.empty())
            f.category = errorCategoryName(errors.front().category);
        for (const ErrorEntry& entry : errors)
            f.messages.push_back(entry.message);
        removeErrors(0);
        return f;
    };
    const auto fail = [&](const std::string& message, const std::string& hint) {
        Failure f = failure(message, hint);
        manager.disconnect();
        return report.fail(f);
    };
    if (!manager.connect()) {
        Failure f = failure("the cable " + cable.path + " could not be opened", {});
        explainOpenFailure(manager.radio().cable().driver(), backendName(options), f);
        return report.fail(f);
    }
    RadioInfo& radio = manager.radio();
    if (!radio.readIdentity())
        return fail("the radio did not report its identity", silentRadioHint());

    std::string serial, model, region, firmware, codeplug;
    serialNumberText(radio.serialNumber, serial);
    modelNumberText(radio.modelRecord, model);
    regionalCodeText(radio.regionalCode, region);
    firmwareVersionText(radio.firmwareVersion, firmware);
    codeplugVersionText(radio.codeplugVersion, codeplug);
    const std::uint8_t regionByte = radio.regionalCode;
    const Item items[] = {
        {"serial_number", "Serial number", serial, radio.serialNumber},
        {"model", "Model", cutAtNul(model), radio.modelRecord},
        {"regional_code", "Regional code", region, {&regionByte, 1}},
        {"firmware_version", "Firmware version", firmware, radio.firmwareVersion},
        {"codeplug_version", "Codeplug version", codeplug, radio.codeplugVersion},
    };
    const bool closed = manager.disconnect();
    Json raw = Json::object();
    for (const Item& item : items) {
        report.fields()[item.key] = item.text;
        raw[item.key] = byteArray(item.bytes.data(), item.bytes.size());
    }
    report.fields()["raw"] = std::move(raw);
    if (!closed)
        return fail("closing the cable failed", {});
    report.text() << "Radio on cable " << cable.path << ":\n";
    for (const Item& item : items) {
        report.text() << fmt::format("  {:<17} {:<12} [{}]\n", item.label, item.text,
                                     hexText(item.bytes));
    }
    return report.succeed("The radio reported its identity.");
}

}  // namespace

void addIdentityCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "identity",
        "Connect to the programming cable and print the radio's identity: serial number, "
        "model, regional code, firmware and codeplug versions, each with its raw bytes");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print one JSON object (the raw bytes as arrays of numbers)");
    setHandler(sub, [&options, json] { return runIdentity(options, *json); });
}

}  // namespace vkt::cli
