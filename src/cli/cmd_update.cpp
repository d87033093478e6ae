// `vkt update`: the Update flow on the terminal; `vkt recover`: the same
// flow limited to a radio whose last update was interrupted.
#include <fcntl.h>

#include <csignal>
#include <iostream>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/signal_watch.h"
#include "cli/terminal_frontend.h"
#include "cli/verify_output.h"

namespace vkt::cli {

namespace {

struct UpdateFlags {
    bool yes = false;
    bool noKeep = false;
    bool json = false;
    int progressFd = -1;
    bool dryRun = false;
    bool verify = false;
    std::int64_t run = 0;
};

void declareUpdateFields(CommandReport& report) {
    report.declareFields({"severity", "cable", "keep_personality", "firmware_version",
                          "codeplug_version", "backup", "dry_run", "plan", "verify"});
}

// What the update was going to do, once its checks had passed.
Json planJson(const UpdatePreview& p) {
    const char* personality = "kept";
    if (p.personality == UpdatePreview::Personality::FromBackup)
        personality = "from_backup";
    else if (p.personality == UpdatePreview::Personality::NotKept)
        personality = "not_kept";
    Json plan;
    plan["radio"] = {{"firmware_version", p.radioFirmware}, {"codeplug_version", p.radioCodeplug}};
    plan["package"] = {{"firmware_version", p.packageFirmware},
                       {"codeplug_version", p.packageCodeplug},
                       {"folder", p.packageDir}};
    plan["writes"] = {
        {"firmware", p.firmware}, {"codeplug", p.codeplug}, {"voice_prompts", p.voicePrompts}};
    plan["personality"] = personality;
    plan["backup"] = textOrNull(p.backupFile);
    plan["recovery"] = p.recovery;
    plan["downgrade"] = p.downgrade;
    return plan;
}

// How an update or a recovery ended: the versions the radio reports after a
// successful run, and the file that keeps the personality of a broken one.
int reportUpdate(TerminalSession& session, const FlowOutcome& outcome, CommandReport& report) {
    const RadioDisplay& d = session.controller().display();
    Json& fields = report.fields();
    fields["firmware_version"] = outcome.ok() ? Json(d.firmwareVersion) : Json(nullptr);
    fields["codeplug_version"] = outcome.ok() ? Json(d.codeplugVersion) : Json(nullptr);
    fields["backup"] = outcome.backupFile.empty() ? Json(nullptr) : Json(outcome.backupFile);
    const auto& plan = session.frontEnd().updatePlan();
    fields["plan"] = plan ? planJson(*plan) : Json(nullptr);
    // What reading the written flash back found, when it was asked for and
    // reached.
    const VerifyReport& verified = session.controller().program().verifyReport();
    if (!verified.areas.empty()) {
        printVerifyText(verified, report.text());
        fields["verify"] = verifyJson(verified);
    }
    return session.report(outcome, report);
}

}  // namespace

void addUpdateCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "update",
        "Update the radio from the package (exit 3 when nothing was done, 130 when stopped by a "
        "signal); a radio whose last update was interrupted gets its personality from before "
        "that update back");
    auto flags = std::make_shared<UpdateFlags>();
    sub->add_flag("--yes,-y", flags->yes, "Answer Yes to every question");
    sub->add_flag("--no-keep-personality", flags->noKeep,
                  "Do not carry the radio's personality across the update: its channels, "
                  "frequencies and user-defined voice are erased (asked separately)");
    sub->add_flag("--dry-run", flags->dryRun,
                  "Check the radio and the package and show what the update would do, without "
                  "writing anything to the radio");
    sub->add_flag("--verify", flags->verify,
                  "Read the written flash back and compare it with the package before the "
                  "update finishes");
    sub->add_flag("--json", flags->json, "Print the result as one JSON object");
    sub->add_option("--progress-fd", flags->progressFd,
                    "Also write the progress to this open file descriptor, one JSON object per "
                    "line (docs/json.md)")
        ->check(CLI::NonNegativeNumber);
    setHandler(sub, [&options, flags]() -> int {
        CommandReport report("update", flags->json);
        declareUpdateFields(report);
        report.fields()["keep_personality"] = !flags->noKeep;
        if (flags->progressFd >= 0 && ::fcntl(flags->progressFd, F_GETFD) < 0) {
            return report.fail(Failure{"USAGE",
                                       {"--progress-fd " + std::to_string(flags->progressFd) +
                                        ": no such open file descriptor"},
                                       "`vkt update --help` shows how to use it."},
                               kExitUsage);
        }
        if (flags->progressFd >= 0) {
            // The reader of the progress (and of the result) may go away
            // during the update; that must not end the update half-way.
            ::signal(SIGPIPE, SIG_IGN);
        }
        report.fields()["dry_run"] = flags->dryRun;
        TerminalOptions t = terminalOptions(flags->json);
        t.assumeYes = flags->yes;
        t.progressFd = flags->progressFd;
        t.dryRun = flags->dryRun;
        TerminalSession session(t);
        if (auto code = session.start(options, report, true))
            return *code;
        session.controller().setKeepPersonality(!flags->noKeep);
        session.controller().setVerifyFlash(flags->verify);
        FlowOutcome outcome = session.controller().onUpdate();
        return reportUpdate(session, outcome, report);
    });
}

void addRecoverCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "recover",
        "Restore the personality of the radio on the cable from before its interrupted update "
        "and update it again (exit 3 when no interrupted update is recorded for it)");
    auto flags = std::make_shared<UpdateFlags>();
    sub->add_flag("--yes,-y", flags->yes, "Answer Yes to every question");
    sub->add_option("--run", flags->run,
                    "Recover this run of `vkt history` (the radio on the cable may then carry "
                    "another serial number)")
        ->check(CLI::PositiveNumber);
    sub->add_flag("--json", flags->json, "Print the result as one JSON object");
    setHandler(sub, [&options, flags]() -> int {
        CommandReport report("recover", flags->json);
        declareUpdateFields(report);
        report.fields()["keep_personality"] = true;
        report.fields()["dry_run"] = false;
        TerminalOptions t = terminalOptions(flags->json);
        t.assumeYes = flags->yes;
        TerminalSession session(t);
        if (auto code = session.start(options, report, true))
            return *code;
        FlowOutcome outcome = session.controller().onRecover(flags->run);
        return reportUpdate(session, outcome, report);
    });
}

}  // namespace vkt::cli
