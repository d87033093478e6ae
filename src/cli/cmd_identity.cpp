// `vkt identity`: connects to the first programming cable, reads the radio's
// identity items and prints them raw (hex) and as the tool shows them.
#include <fmt/format.h>
#include <fmt/printf.h>

#include <iostream>
#include <span>

#include "cli/cable_setup.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "core/error_stack.h"
#include "link/radio_manager.h"
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

// A model text cut short by an ending byte carries '\0' characters; they
// are not shown.
std::string shown(std::string text) {
    if (const auto end = text.find('\0'); end != std::string::npos)
        text.resize(end);
    return text;
}

struct Item {
    const char* key;
    const char* label;
    std::string text;
    std::string hex;
};

int runIdentity(const GlobalOptions& options, bool json) {
    std::string error;
    auto driver = makeCableDriver(options, error);
    if (!driver)
        return cableSetupFailed(options, "identity", error);
    SimulatedRadioSaver saveRadio;
    removeErrors(0);
    RadioManager manager(driver);
    const auto fail = [&](const std::string& fallback) {
        const std::string text = errorCount() ? allErrorTexts() : fallback + "\n";
        if (json) {
            std::cout << "{\"ok\": false, \"error\": " << jsonQuote(text) << "}\n";
        }
        std::cerr << "vkt identity: " << text;
        removeErrors(0);
        manager.connect(false);
        return kExitFailure;
    };
    if (!manager.connect(true))
        return fail("no programming cable could be opened");
    RadioInfo& radio = manager.radio();
    if (!radio.readIdentity())
        return fail("the radio did not report its identity");

    std::string serial, model, region, firmware, codeplug;
    serialNumberText(radio.serialNumber, serial);
    modelNumberText(radio.modelRecord, model);
    regionalCodeText(radio.regionalCode, region);
    firmwareVersionText(radio.firmwareVersion, firmware);
    codeplugVersionText(radio.codeplugVersion, codeplug);
    const std::uint8_t regionByte = radio.regionalCode;
    const Item items[] = {
        {"serial_number", "Serial number", serial, hexText(radio.serialNumber)},
        {"model", "Model", shown(model), hexText(radio.modelRecord)},
        {"regional_code", "Regional code", region, hexText({&regionByte, 1})},
        {"firmware_version", "Firmware version", firmware, hexText(radio.firmwareVersion)},
        {"codeplug_version", "Codeplug version", codeplug, hexText(radio.codeplugVersion)},
    };
    const int port = manager.portIndex();
    const bool closed = manager.connect(false);
    if (json) {
        std::cout << "{\"ok\": true, \"port_index\": " << port;
        for (const Item& item : items) {
            std::cout << ", \"" << item.key << "\": " << jsonQuote(item.text) << ", \"" << item.key
                      << "_hex\": " << jsonQuote(item.hex);
        }
        std::cout << "}\n";
    } else {
        std::cout << "Radio on cable " << port << ":\n";
        for (const Item& item : items)
            std::cout << fmt::format("  {:<17} {:<12} [{}]\n", item.label, item.text, item.hex);
    }
    if (!closed) {
        std::cerr << "vkt identity: closing the cable failed: " << allErrorTexts();
        removeErrors(0);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

void addIdentityCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "identity",
        "Connect to the first programming cable and print the radio's identity: serial number, "
        "model, regional code, firmware and codeplug versions, each with its raw bytes");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print one JSON object");
    setHandler(sub, [&options, json] { return runIdentity(options, *json); });
}

}  // namespace vkt::cli
