// `vkt info`: the Get Radio Information flow on the terminal.
#include <iostream>
#include <memory>

#include "app/strings.h"
#include "cli/commands.h"
#include "cli/terminal_frontend.h"

namespace vkt::cli {

void addInfoCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand("info", "Read the radio's identity (Get Radio Information)");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print the fields and the result as one JSON object");
    setHandler(sub, [&options, json]() -> int {
        CommandReport report("info", *json);
        report.declareFields({"severity", "cable", "radio_type", "regional_code", "model",
                              "serial_number", "firmware_version", "codeplug_version",
                              "interrupted_run"});
        TerminalSession session(terminalOptions(*json));
        if (auto code = session.start(options, report, false))
            return *code;
        FlowOutcome outcome = session.controller().onGetRadioInfo();
        const RadioDisplay& d = session.controller().display();
        // The window shows "N/A" for what the radio did not tell.
        const std::string unknown = loadString(str::kNotAvailable);
        const auto field = [&](const std::string& text) {
            return outcome.ok() && text != unknown ? Json(text) : Json(nullptr);
        };
        Json& fields = report.fields();
        fields["radio_type"] = field(d.radioType);
        fields["regional_code"] = field(d.regionalCode);
        fields["model"] = field(d.model);
        fields["serial_number"] = field(d.serialNumber);
        fields["firmware_version"] = field(d.firmwareVersion);
        fields["codeplug_version"] = field(d.codeplugVersion);
        if (outcome.ok()) {
            report.text() << "Radio Type:       " << d.radioType << "\n"
                          << "Regional Code:    " << d.regionalCode << "\n"
                          << "Model:            " << d.model << "\n"
                          << "Serial Number:    " << d.serialNumber << "\n"
                          << "Firmware Version: " << d.firmwareVersion << "\n"
                          << "Codeplug Version: " << d.codeplugVersion << "\n";
        }
        // An update of this radio that broke off after its first erase.
        if (outcome.pendingRun) {
            const JournalRun& run = *outcome.pendingRun;
            fields["interrupted_run"] = {{"run", run.id},
                                         {"started_at", journalTimeAsLocal(run.startedAt)}};
            std::cerr << "Note: the update of the radio " << run.serial << " on "
                      << journalTimeAsLocal(run.startedAt)
                      << " was interrupted. Run `vkt recover` to restore its personality from "
                         "before that update and update it again.\n";
        }
        return session.report(outcome, report);
    });
}

}  // namespace vkt::cli
