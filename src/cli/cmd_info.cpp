// `vkt info`: the Get Radio Information flow on the terminal.
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/terminal_frontend.h"
#include "core/version.h"
#include "package/text_util.h"

namespace vkt::cli {

void addInfoCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand("info", "Read the radio's identity (Get Radio Information)");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "Print the fields and the result as JSON");
    setHandler(sub, [&options, json]() -> int {
        TerminalSession session(terminalOptions(*json));
        if (auto code = session.start(options, "info"))
            return *code;
        FlowOutcome outcome = session.controller().onGetRadioInfo();
        const RadioDisplay& d = session.controller().display();
        if (*json) {
            std::cout << "{\"ok\":" << (outcome.ok() ? "true" : "false")
                      << ",\"result\":" << jsonQuote(outcome.text)
                      << ",\"radio_type\":" << jsonQuote(d.radioType)
                      << ",\"regional_code\":" << jsonQuote(d.regionalCode)
                      << ",\"model\":" << jsonQuote(d.model)
                      << ",\"serial_number\":" << jsonQuote(d.serialNumber)
                      << ",\"firmware_version\":" << jsonQuote(d.firmwareVersion)
                      << ",\"codeplug_version\":" << jsonQuote(d.codeplugVersion)
                      << ",\"tool_version\":" << jsonQuote(toolVersion()) << "}\n";
        } else {
            std::cout << "Radio Type:       " << d.radioType << "\n"
                      << "Regional Code:    " << d.regionalCode << "\n"
                      << "Model:            " << d.model << "\n"
                      << "Serial Number:    " << d.serialNumber << "\n"
                      << "Firmware Version: " << d.firmwareVersion << "\n"
                      << "Codeplug Version: " << d.codeplugVersion << "\n";
        }
        if (outcome.pendingRun) {
            const JournalRun& run = *outcome.pendingRun;
            std::cerr << "Note: the update of the radio " << run.serial << " on "
                      << journalTimeAsLocal(run.startedAt)
                      << " was interrupted. Run `vkt recover` to restore its personality from "
                         "before that update and update it again.\n";
        }
        return outcome.ok() ? kExitOk : kExitFailure;
    });
}

}  // namespace vkt::cli
