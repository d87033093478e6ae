// `vkt update`: the Update flow on the terminal; `vkt recover`: the same
// flow limited to a radio whose last update was interrupted.
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/signal_watch.h"
#include "cli/terminal_frontend.h"
#include "core/version.h"

namespace vkt::cli {

namespace {

struct UpdateFlags {
    bool yes = false;
    bool noKeep = false;
    bool json = false;
    std::int64_t run = 0;
};

// The result of `recover` as one JSON object.
void printRecoverJson(const FlowOutcome& outcome, std::ostream& out) {
    nlohmann::ordered_json j;
    j["schema"] = 1;
    j["command"] = "recover";
    j["ok"] = outcome.ok();
    j["result"] = outcome.text;
    if (outcome.ok() || outcome.kind == FlowOutcome::Kind::NothingDone) {
        j["error"] = nullptr;
    } else {
        j["error"] = {
            {"category", outcome.kind == FlowOutcome::Kind::Interrupted ? "INTERRUPTED" : "UPDATE"},
            {"messages", nlohmann::json::array({outcome.text})}};
    }
    j["backup"] = outcome.backupFile.empty() ? nlohmann::ordered_json(nullptr)
                                             : nlohmann::ordered_json(outcome.backupFile);
    j["tool_version"] = toolVersion();
    out << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
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
                  "Do not carry the radio's personality across the update");
    sub->add_flag("--json", flags->json, "Print the result as JSON");
    setHandler(sub, [&options, flags]() -> int {
        TerminalOptions t = terminalOptions(flags->json);
        t.assumeYes = flags->yes;
        TerminalSession session(t);
        if (auto code = session.start(options, "update"))
            return *code;
        session.controller().setKeepPersonality(!flags->noKeep);
        FlowOutcome outcome = session.controller().onUpdate();
        if (flags->json)
            printOutcomeJson(outcome, std::cout, true);
        else if (outcome.kind == FlowOutcome::Kind::NothingDone && outcome.text.empty())
            std::cout << "Nothing was done.\n";
        return exitCodeOf(outcome);
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
    sub->add_flag("--json", flags->json, "Print the result as JSON");
    setHandler(sub, [&options, flags]() -> int {
        TerminalOptions t = terminalOptions(flags->json);
        t.assumeYes = flags->yes;
        TerminalSession session(t);
        if (auto code = session.start(options, "recover"))
            return *code;
        FlowOutcome outcome = session.controller().onRecover(flags->run);
        if (flags->json)
            printRecoverJson(outcome, std::cout);
        else if (outcome.kind == FlowOutcome::Kind::NothingDone && outcome.text.empty())
            std::cout << "Nothing was done.\n";
        return exitCodeOf(outcome);
    });
}

}  // namespace vkt::cli
