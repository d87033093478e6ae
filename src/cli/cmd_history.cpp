// `vkt history`: the update journal, newest run first: when, which radio,
// which versions, what the run did, its state, its backup and its result.
#include <filesystem>
#include <iostream>
#include <memory>

#include <fmt/format.h>

#include "app/update_journal.h"
#include "cli/command_report.h"
#include "cli/commands.h"

namespace vkt::cli {

namespace {

std::string planText(const JournalRun& r) {
    std::string parts;
    const auto add = [&parts](bool on, const char* what) {
        if (!on)
            return;
        if (!parts.empty())
            parts += "+";
        parts += what;
    };
    add(r.writesFirmware, "firmware");
    add(r.writesCodeplug, "codeplug");
    add(r.writesVoice, "voice");
    return (parts.empty() ? std::string("nothing") : parts) +
           (r.keepsPersonality ? ", personality kept" : ", personality not kept");
}

Json runJson(const JournalRun& r) {
    Json files = Json::array();
    for (const JournalFile& f : r.files)
        files.push_back({{"role", f.role}, {"path", f.path}, {"sha256", f.sha256}});
    Json j;
    j["id"] = r.id;
    j["started_at"] = r.startedAt;
    j["ended_at"] = r.endedAt.empty() ? Json(nullptr) : Json(r.endedAt);
    j["tool_version"] = r.toolVersion;
    j["radio"] = {{"serial_number", r.serial},
                  {"model", r.model},
                  {"radio_type", r.radioType < 0 ? Json(nullptr) : Json(r.radioType)},
                  {"firmware_version", r.firmware},
                  {"codeplug_version", r.codeplug}};
    j["package"] = {{"folder", r.packageDir},
                    {"firmware_version", r.packageFirmware},
                    {"codeplug_version", r.packageCodeplug},
                    {"files", files}};
    j["plan"] = {{"firmware", r.writesFirmware},
                 {"codeplug", r.writesCodeplug},
                 {"voice", r.writesVoice},
                 {"keep_personality", r.keepsPersonality}};
    j["state"] = runStateName(r.state);
    j["pending"] = r.pending();
    j["backup"] = r.backupFile.empty() ? Json(nullptr)
                                       : Json{{"file", r.backupFile}, {"sha256", r.backupSha256}};
    j["recovers"] = r.recovers > 0 ? Json(r.recovers) : Json(nullptr);
    j["error"] = r.errorTexts.empty()
                     ? Json(nullptr)
                     : Json{{"category", r.errorCategory}, {"messages", r.errorTexts}};
    j["duration_ms"] = r.durationMs;
    j["wire_bytes"] = r.wireBytes;
    return j;
}

void printRun(const JournalRun& r, std::ostream& out) {
    out << fmt::format("#{}  {}  {}  {}  {}{}\n", r.id, journalTimeAsLocal(r.startedAt), r.serial,
                       r.model, runStateName(r.state),
                       r.pending() ? " (pending: `vkt recover` restores it)" : "");
    out << fmt::format("    radio {} / {}  ->  package {} / {}: {}\n", r.firmware, r.codeplug,
                       r.packageFirmware, r.packageCodeplug, planText(r));
    if (!r.backupFile.empty())
        out << "    backup " << r.backupFile << "\n";
    if (r.recovers > 0)
        out << fmt::format("    recovers #{}\n", r.recovers);
    // The last text is the stage the run reached; the first says why.
    if (!r.errorTexts.empty()) {
        out << "    result " << r.errorTexts.front();
        if (r.errorTexts.size() > 1)
            out << " (" << r.errorTexts.back() << ")";
        out << "\n";
    }
}

int runHistory(const GlobalOptions& options, const std::string& serial, std::size_t limit,
               bool json) {
    CommandReport report("history", json);
    report.declareFields({"journal", "runs"});
    const std::string path = updateJournalPath(effectiveDataDir(options));
    report.fields()["journal"] = path;
    std::vector<JournalRun> runs;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        UpdateJournal journal(path);
        std::string error;
        if (!journal.open(error, true))
            return report.fail(Failure{"FILE", {error}, {}});
        runs = journal.runs(serial, limit);
    }
    Json list = Json::array();
    for (const JournalRun& r : runs)
        list.push_back(runJson(r));
    report.fields()["runs"] = std::move(list);
    if (runs.empty()) {
        report.text() << "No update is recorded" << (serial.empty() ? "" : " for " + serial)
                      << " in " << path << ".\n";
    }
    for (const JournalRun& r : runs)
        printRun(r, report.text());
    return report.succeed(
        fmt::format("{} update{} recorded", runs.size(), runs.size() == 1 ? "" : "s"));
}

}  // namespace

void addHistoryCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "history",
        "List the update journal, newest first: state, versions, backup file and result of "
        "every update run on this machine");
    struct Flags {
        std::string serial;
        std::size_t limit = 0;
        bool json = false;
    };
    auto flags = std::make_shared<Flags>();
    sub->add_option("--radio", flags->serial, "Only the runs of the radio with this serial number");
    sub->add_option("--limit", flags->limit, "At most this many runs (0: all)");
    sub->add_flag("--json", flags->json, "Print the runs as one JSON object");
    setHandler(sub, [&options, flags] {
        return runHistory(options, flags->serial, flags->limit, flags->json);
    });
}

}  // namespace vkt::cli
