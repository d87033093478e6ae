// `vkt personality show FILE` lists what a personality backup holds;
// `vkt personality restore FILE` writes it back into the radio on the first
// programming cable.
#include <fmt/format.h>

#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>

#include "app/update_journal.h"
#include "cli/cable_setup.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/signal_watch.h"
#include "core/error_stack.h"
#include "link/radio_manager.h"
#include "package/cpg.h"
#include "package/text_util.h"
#include "update/cmd_sn.h"
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

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ec;
    return a == b || std::filesystem::equivalent(a, b, ec);
}

// The pending run of the journal whose backup is `path`, when the radio is
// of its model: the radio it came from, now carrying another serial number
// (a broken update left the default one, or it was changed).
std::optional<JournalRun> linkedRun(const GlobalOptions& options, const std::string& path,
                                    const std::string& model) {
    const std::string journalPath = updateJournalPath(effectiveDataDir(options));
    std::error_code ec;
    if (!std::filesystem::exists(journalPath, ec))
        return std::nullopt;
    UpdateJournal journal(journalPath);
    std::string error;
    if (!journal.open(error, true))
        return std::nullopt;
    for (const JournalRun& run : journal.pendingRuns())
        if (run.model == model && samePath(run.backupFile, path))
            return run;
    return std::nullopt;
}

int refusedForSerial(const std::string& backupSerial, const std::string& radioSerial, bool json) {
    const std::string text = fmt::format(
        "Error:the backup belongs to the radio [{0}], not to this radio [{1}].\n"
        "No interrupted update in the journal links them. What to do:\n"
        "  - If this is the radio {0} and its update was interrupted on this machine, run `vkt "
        "recover`: it restores the personality and the serial number and updates the radio.\n"
        "  - To give this radio the serial number {0} first, run `vkt serial {0} --password "
        "PASSWORD` (the dealer password), then restore again.\n"
        "  - To write the personality into this radio as it is, add --force.\n",
        backupSerial, radioSerial);
    if (json)
        std::cout << "{\"ok\": false, \"error\": " << jsonQuote(text) << "}\n";
    std::cerr << "vkt personality restore: " << text;
    return kExitFailure;
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
    if (!manager.connect(true) || !manager.radio().readIdentity())
        return failed("restore", json, "no radio could be read on the programming cable");
    RadioInfo& radio = manager.radio();
    const Header h = headerTexts(restore.backup);
    std::string radioSerial;
    serialNumberText(radio.serialNumber, radioSerial);
    radioSerial = shown(radioSerial);

    // A radio that now carries another serial number is accepted when the
    // journal links the backup to it; its serial number is written back
    // first.
    bool writeSerial = false;
    if (radio.serialNumber != restore.backup.serialNumber && !force) {
        std::string model;
        modelNumberText(radio.modelRecord, model);
        const auto run = linkedRun(options, path, shown(model));
        if (!run)
            return refusedForSerial(h.serial, radioSerial, json);
        std::cerr << "This radio carries the serial number " << radioSerial
                  << "; the journal links the backup to the radio " << h.serial << " (update of "
                  << journalTimeAsLocal(run->startedAt)
                  << "): its serial number is written back first.\n";
        writeSerial = true;
        restore.force = true;
    }
    // Run on this thread: there is no window to report to. A signal now
    // waits until the radio is written.
    SignalWatch::protect(true);
    bool ok = true;
    if (writeSerial) {
        CmdSN sn;
        sn.radio = &radio;
        sn.newSerialNumber = restore.backup.serialNumber;
        ok = sn.run() && radio.readIdentity();
        if (!ok)
            raiseErrorText(ErrorCategory::Update, "Error:failed to write the serial number back.");
    }
    if (ok) {
        restore.radio = &radio;
        ok = restore.run();
        restore.radio = nullptr;
    }
    manager.connect(false);
    SignalWatch::protect(false);
    if (!ok)
        return failed("restore", json, "the personality could not be restored");
    if (json) {
        std::cout << "{\"ok\": true, \"file\": " << jsonQuote(path)
                  << ", \"serial_number\": " << jsonQuote(h.serial)
                  << ", \"serial_number_written\": " << (writeSerial ? "true" : "false")
                  << ", \"blocks\": " << restore.backup.records.size() << "}\n";
    } else {
        std::cout << "The personality of " << h.serial << " (" << restore.backup.records.size()
                  << " blocks) was written back into the radio"
                  << (writeSerial ? ", with its serial number" : "") << ".\n";
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
