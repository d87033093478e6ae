// `vkt serial`: the dealer login and the serial-number flow on the terminal.
#include <iostream>
#include <memory>

#include "app/strings.h"
#include "cli/commands.h"
#include "cli/terminal_frontend.h"

namespace vkt::cli {

void addSerialCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand("serial", "Write a new serial number (dealer login needed)");
    struct Args {
        std::string serial;
        std::string password;
        bool json = false;
    };
    auto args = std::make_shared<Args>();
    sub->add_option("NEW", args->serial, "The new serial number (10 characters)")->required();
    sub->add_option("--password", args->password, "The dealer password")->required();
    sub->add_flag("--json", args->json, "Print the result as JSON");
    setHandler(sub, [&options, args]() -> int {
        TerminalOptions t = terminalOptions(args->json);
        t.password = args->password;
        TerminalSession session(t);
        if (auto code = session.start(options, "serial"))
            return *code;
        MainController& controller = session.controller();
        if (!controller.onDealerLogin()) {
            FlowOutcome refused{FlowOutcome::Kind::Failed,
                                session.frontEnd().passwordRefused()
                                    ? loadString(str::kWrongPassword)
                                    : std::string("No dealer login is possible: the setup file "
                                                  "holds no dealer password."),
                                kStyleError,
                                {},
                                {}};
            if (args->json)
                printOutcomeJson(refused, std::cout);
            else
                std::cerr << "vkt serial: " << refused.text << "\n";
            return kExitFailure;
        }
        controller.setSerialEntry(args->serial);
        FlowOutcome outcome = controller.onUpdateSerialNumber();
        if (args->json)
            printOutcomeJson(outcome, std::cout);
        return outcome.ok() ? kExitOk : kExitFailure;
    });
}

}  // namespace vkt::cli
