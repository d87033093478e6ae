// `vkt update`: the Update flow on the terminal.
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/terminal_frontend.h"

namespace vkt::cli {

void addUpdateCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "update", "Update the radio from the package (exit 3 when nothing was done)");
    struct Flags {
        bool yes = false;
        bool noKeep = false;
        bool json = false;
    };
    auto flags = std::make_shared<Flags>();
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
            printOutcomeJson(outcome, std::cout);
        else if (outcome.kind == FlowOutcome::Kind::NothingDone && outcome.text.empty())
            std::cout << "Nothing was done.\n";
        return exitCodeOf(outcome);
    });
}

}  // namespace vkt::cli
