// `vkt personality show FILE` lists what a personality backup holds;
// `vkt personality restore FILE` writes it back into the radio on the
// programming cable.
#include <fmt/format.h>

#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>

#include "app/cable_setup.h"
#include "app/instance_lock.h"
#include "app/update_journal.h"
#include "cli/cable_access.h"
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

std::string createdText(std::int64_t seconds, const char* format) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32] = {};
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

struct Header {
    std::string serial, model, firmware, codeplug;
};

Header headerTexts(const PersonalityBackup& b) {
    Header h;
    serialNumberText(b.serialNumber, h.serial);
    modelNumberText(b.modelRecord, h.model);
    h.model = cutAtNul(h.model);
    firmwareVersionText(b.firmwareVersion, h.firmware);
    codeplugVersionText(b.codeplugVersion, h.codeplug);
    return h;
}

// The error stack's texts after `message`, as the failure of the command;
// the stack is cleared.
int failed(CommandReport& report, const std::string& message, const char* category,
           const std::string& hint = {}) {
    Failure failure{category, {message}, hint};
    const std::vector<ErrorEntry> errors = errorEntries();
    if (!errors.empty())
        failure.category = errorCategoryName(errors.front().category);
    for (const ErrorEntry& entry : errors)
        failure.messages.push_back(entry.message);
    removeErrors(0);
    return report.fail(failure);
}

bool isFlashBlock(const PersonalityRecord& r) {
    return r.kind == static_cast<std::int32_t>(BlockKind::USERVOI);
}

int runShow(const std::string& path, bool json) {
    CommandReport report("personality show", json);
    report.declareFields({"file", "serial_number", "model", "radio_type", "firmware_version",
                          "codeplug_version", "created", "blocks"});
    removeErrors(0);
    PersonalityBackup backup;
    report.fields()["file"] = path;
    if (!readPersonalityBackup(path, backup))
        return failed(report, "the file cannot be read", "FILE");
    const Header h = headerTexts(backup);
    Json& fields = report.fields();
    fields["serial_number"] = h.serial;
    fields["model"] = h.model;
    fields["radio_type"] = backup.radioType;
    fields["firmware_version"] = h.firmware;
    fields["codeplug_version"] = h.codeplug;
    fields["created"] = createdText(backup.createdAt, "%Y-%m-%dT%H:%M:%SZ");
    Json blocks = Json::array();
    for (const PersonalityRecord& r : backup.records) {
        Json block;
        block["kind"] = blockKindName(r.kind);
        block["space"] = isFlashBlock(r) ? "flash" : "memory";
        block["address"] = r.address;
        block["length"] = r.bytes.size();
        blocks.push_back(std::move(block));
    }
    fields["blocks"] = std::move(blocks);
    std::ostream& out = report.text();
    out << "Personality backup " << path << ":\n"
        << fmt::format("  {:<17} {}\n", "Serial number", h.serial)
        << fmt::format("  {:<17} {}\n", "Model", h.model)
        << fmt::format("  {:<17} {}\n", "Radio type", backup.radioType)
        << fmt::format("  {:<17} {}\n", "Firmware version", h.firmware)
        << fmt::format("  {:<17} {}\n", "Codeplug version", h.codeplug)
        << fmt::format("  {:<17} {}\n", "Created",
                       createdText(backup.createdAt, "%Y-%m-%d %H:%M:%S UTC"))
        << "  Blocks:\n";
    for (const PersonalityRecord& r : backup.records) {
        out << fmt::format("    {:<8} {} 0x{:06X}, {} bytes\n", blockKindName(r.kind),
                           isFlashBlock(r) ? "flash " : "memory", r.address, r.bytes.size());
    }
    return report.succeed(fmt::format("{} blocks", backup.records.size()));
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

int refusedForSerial(CommandReport& report, const std::string& backupSerial,
                     const std::string& radioSerial) {
    Failure failure{
        "RADIO",
        {fmt::format("Error:the backup belongs to the radio [{}], not to this radio [{}].",
                     backupSerial, radioSerial),
         "No interrupted update in the journal links them."},
        fmt::format("if this is the radio {0} and its update was interrupted on this machine, "
                    "run `vkt recover`: it restores the personality and the serial number and "
                    "updates the radio. To give this radio the serial number {0} first, run `vkt "
                    "serial {0}` (the dealer password), then restore again. To write the "
                    "personality into this radio as it is, add --force.",
                    backupSerial)};
    return report.fail(failure);
}

int runRestore(const GlobalOptions& options, const std::string& path, bool force, bool json) {
    CommandReport report("personality restore", json);
    report.declareFields({"file", "cable", "serial_number", "serial_number_written", "blocks"});
    report.logFailuresIn(effectiveDataDir(options));
    removeErrors(0);
    CmdRestorePersonality restore;
    restore.force = force;
    report.fields()["file"] = path;
    if (!readPersonalityBackup(path, restore.backup))
        return failed(report, "the file cannot be read", "FILE");

    InstanceLock lock;
    if (auto code = lockRadioOperations(lock, report))
        return *code;
    CableSetup cable = chooseCableDriver(options, report);
    if (!cable.driver)
        return cable.exitCode;
    report.fields()["cable"] = cable.path;
    SimulatedRadioSaver saveRadio;
    RadioManager manager(cable.driver);
    if (!manager.connect()) {
        Failure failure{"CABLE", {"the cable " + cable.path + " could not be opened"}, {}};
        for (const ErrorEntry& entry : errorEntries())
            failure.messages.push_back(entry.message);
        removeErrors(0);
        explainOpenFailure(*cable.driver, backendName(options), failure);
        return report.fail(failure);
    }
    RadioInfo& radio = manager.radio();
    if (!radio.readIdentity())
        return failed(report, "no radio could be read on the programming cable", "SBEP",
                      "is the radio switched on and seated in the charger?");
    const Header h = headerTexts(restore.backup);
    report.fields()["serial_number"] = h.serial;
    report.fields()["blocks"] = restore.backup.records.size();
    std::string radioSerial;
    serialNumberText(radio.serialNumber, radioSerial);
    radioSerial = cutAtNul(radioSerial);

    // A radio that now carries another serial number is accepted when the
    // journal links the backup to it; its serial number is written back
    // first.
    bool writeSerial = false;
    if (radio.serialNumber != restore.backup.serialNumber && !force) {
        std::string model;
        modelNumberText(radio.modelRecord, model);
        const auto run = linkedRun(options, path, cutAtNul(model));
        if (!run)
            return refusedForSerial(report, h.serial, radioSerial);
        std::cerr << "This radio carries the serial number " << radioSerial
                  << "; the journal links the backup to the radio " << h.serial << " (update of "
                  << journalTimeAsLocal(run->startedAt)
                  << "): its serial number is written back first.\n";
        writeSerial = true;
        restore.force = true;
    }
    report.fields()["serial_number_written"] = writeSerial;
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
    manager.disconnect();
    SignalWatch::protect(false);
    if (!ok)
        return failed(report, "the personality could not be restored", "UPDATE");
    const std::string text = fmt::format(
        "The personality of {} ({} blocks) was written back into the radio{}.", h.serial,
        restore.backup.records.size(), writeSerial ? ", with its serial number" : "");
    report.text() << text << "\n";
    return report.succeed(text);
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
        "Write a personality backup back into the radio on the programming cable: the "
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
