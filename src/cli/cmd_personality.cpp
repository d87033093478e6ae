// `vkt personality show FILE` lists what a personality backup holds;
// `vkt personality restore FILE` writes it back into the radio on the first
// programming cable.
#include <fmt/format.h>

#include <ctime>
#include <iostream>

#include "cli/cable_setup.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "core/error_stack.h"
#include "link/radio_manager.h"
#include "package/cpg.h"
#include "package/text_util.h"
#include "update/personality_backup.h"

namespace vkt::cli {

namespace {

std::string createdText(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string shown(std::string text) {
    if (const auto end = text.find('\0'); end != std::string::npos)
        text.resize(end);
    return text;
}

struct Header {
    std::string serial, model, firmware, codeplug;
};

Header headerTexts(const PersonalityBackup& b) {
    Header h;
    serialNumberText(b.serialNumber, h.serial);
    modelNumberText(b.modelRecord, h.model);
    h.model = shown(h.model);
    firmwareVersionText(b.firmwareVersion, h.firmware);
    codeplugVersionText(b.codeplugVersion, h.codeplug);
    return h;
}

// The error stack's texts (or `fallback`), as the failure of `command`.
int failed(const std::string& command, bool json, const std::string& fallback) {
    const std::string text = errorCount() ? allErrorTexts() : fallback + "\n";
    if (json)
        std::cout << "{\"ok\": false, \"error\": " << jsonQuote(text) << "}\n";
    std::cerr << "vkt personality " << command << ": " << text;
    removeErrors(0);
    return kExitFailure;
}

int runShow(const std::string& path, bool json) {
    removeErrors(0);
    PersonalityBackup backup;
    if (!readPersonalityBackup(path, backup))
        return failed("show", json, "the file cannot be read");
    const Header h = headerTexts(backup);
    if (json) {
        std::cout << "{\"ok\": true, \"file\": " << jsonQuote(path)
                  << ", \"serial_number\": " << jsonQuote(h.serial)
                  << ", \"model\": " << jsonQuote(h.model)
                  << ", \"radio_type\": " << int{backup.radioType}
                  << ", \"firmware_version\": " << jsonQuote(h.firmware)
                  << ", \"codeplug_version\": " << jsonQuote(h.codeplug)
                  << ", \"created\": " << jsonQuote(createdText(backup.createdAt))
                  << ", \"blocks\": [";
        const char* separator = "";
        for (const PersonalityRecord& r : backup.records) {
            std::cout << separator << "{\"kind\": " << jsonQuote(blockKindName(r.kind))
                      << ", \"address\": " << r.address << ", \"length\": " << r.bytes.size()
                      << "}";
            separator = ", ";
        }
        std::cout << "]}\n";
        return kExitOk;
    }
    std::cout << "Personality backup " << path << ":\n"
              << fmt::format("  {:<17} {}\n", "Serial number", h.serial)
              << fmt::format("  {:<17} {}\n", "Model", h.model)
              << fmt::format("  {:<17} {}\n", "Radio type", backup.radioType)
              << fmt::format("  {:<17} {}\n", "Firmware version", h.firmware)
              << fmt::format("  {:<17} {}\n", "Codeplug version", h.codeplug)
              << fmt::format("  {:<17} {}\n", "Created", createdText(backup.createdAt))
              << "  Blocks:\n";
    for (const PersonalityRecord& r : backup.records) {
        std::cout << fmt::format(
            "    {:<8} {} 0x{:06X}, {} bytes\n", blockKindName(r.kind),
            r.kind == static_cast<std::int32_t>(BlockKind::USERVOI) ? "flash " : "memory",
            r.address, r.bytes.size());
    }
    return kExitOk;
}

int runRestore(const GlobalOptions& options, const std::string& path, bool force, bool json) {
    removeErrors(0);
    CmdRestorePersonality restore;
    restore.force = force;
    if (!readPersonalityBackup(path, restore.backup))
        return failed("restore", json, "the file cannot be read");

    std::string error;
    auto driver = makeCableDriver(options, error);
    if (!driver)
        return cableSetupFailed(options, "personality restore", error);
    SimulatedRadioSaver saveRadio;
    RadioManager manager(driver);
    if (!manager.connect(true))
        return failed("restore", json, "no programming cable could be opened");
    restore.radio = &manager.radio();
    // Run on this thread: there is no window to report to.
    const bool ok = restore.run();
    restore.radio = nullptr;
    manager.connect(false);
    if (!ok)
        return failed("restore", json, "the personality could not be restored");
    const Header h = headerTexts(restore.backup);
    if (json) {
        std::cout << "{\"ok\": true, \"file\": " << jsonQuote(path)
                  << ", \"serial_number\": " << jsonQuote(h.serial)
                  << ", \"blocks\": " << restore.backup.records.size() << "}\n";
    } else {
        std::cout << "The personality of " << h.serial << " (" << restore.backup.records.size()
                  << " blocks) was written back into the radio.\n";
    }
    return kExitOk;
}

}  // namespace

void addPersonalityCommands(CLI::App& app, GlobalOptions& options) {
    auto* group = app.add_subcommand("personality",
                                     "Show personality backups and write them back into a radio");
    group->require_subcommand(1);

    auto* show = group->add_subcommand(
        "show", "List the header and the blocks of a personality backup file (.pvk)");
    auto showFile = std::make_shared<std::string>();
    auto showJson = std::make_shared<bool>(false);
    show->add_option("FILE", *showFile, "Backup file")->required();
    show->add_flag("--json", *showJson, "Print one JSON object");
    setHandler(show, [showFile, showJson] { return runShow(*showFile, *showJson); });

    auto* restore = group->add_subcommand(
        "restore",
        "Write a personality backup back into the radio on the first programming cable: the "
        "memory blocks, and the user-defined voice on radios that keep one in flash");
    auto restoreFile = std::make_shared<std::string>();
    auto force = std::make_shared<bool>(false);
    auto restoreJson = std::make_shared<bool>(false);
    restore->add_option("FILE", *restoreFile, "Backup file")->required();
    restore->add_flag("--force", *force,
                      "Write the backup also into a radio with another serial number");
    restore->add_flag("--json", *restoreJson, "Print one JSON object");
    setHandler(restore, [&options, restoreFile, force, restoreJson] {
        return runRestore(options, *restoreFile, *force, *restoreJson);
    });
}

}  // namespace vkt::cli
