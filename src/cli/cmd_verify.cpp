// `vkt verify`: reads back the flash areas the package writes for the
// connected radio and compares them with the package.
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/terminal_frontend.h"
#include "cli/verify_output.h"

namespace vkt::cli {

void addVerifyCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "verify",
        "Read back the firmware, default block and voice prompts the package writes and compare "
        "them with it; changes nothing on the radio");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print the result and every area as one JSON object");
    setHandler(sub, [&options, json]() -> int {
        CommandReport report("verify", *json);
        report.declareFields({"severity", "cable", "verify"});
        TerminalSession session(terminalOptions(*json));
        // The radio lock: reading switches the radio's test mode and line rate.
        if (auto code = session.start(options, report, true))
            return *code;
        FlowOutcome outcome = session.controller().onVerify();
        const VerifyReport& verified = session.controller().verifyCommand().report();
        if (!verified.areas.empty()) {
            printVerifyText(verified, report.text());
            report.fields()["verify"] = verifyJson(verified);
        }
        return session.report(outcome, report);
    });
}

}  // namespace vkt::cli
