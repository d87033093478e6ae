// `vkt serial`: the dealer login and the serial-number flow on the terminal.
#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/strings.h"
#include "cli/commands.h"
#include "cli/password_input.h"
#include "cli/terminal_frontend.h"

namespace vkt::cli {

namespace {

struct Args {
    std::string serial;
    std::string password;
    std::string passwordFile;
    bool json = false;
};

int runSerial(const GlobalOptions& options, const Args& args) {
    CommandReport report("serial", args.json);
    report.declareFields({"severity", "cable", "serial_number"});
    TerminalOptions t = terminalOptions(args.json);
    // The password comes from --password, --password-file or the
    // environment, in that order; without any it is asked for on the
    // terminal.
    if (!args.password.empty()) {
        t.password = args.password;
    } else if (!args.passwordFile.empty()) {
        std::string error;
        t.password = readPasswordFile(args.passwordFile, error);
        if (!t.password)
            return report.fail(Failure{"INPUT", {"cannot read the password file: " + error}, {}});
    } else if (const char* env = std::getenv("VKT_DEALER_PASSWORD"); env && *env) {
        t.password = std::string(env);
    }
    TerminalSession session(t);
    if (auto code = session.start(options, report, true))
        return *code;
    MainController& controller = session.controller();
    if (!controller.onDealerLogin()) {
        if (session.frontEnd().passwordMissing()) {
            return report.fail(
                Failure{"USAGE",
                        {"the dealer password is needed and there is no terminal to ask for it"},
                        "Give it with --password-file FILE or the environment variable "
                        "VKT_DEALER_PASSWORD."},
                kExitUsage);
        }
        if (session.frontEnd().passwordRefused())
            return report.fail(Failure{"LOGIN", {loadString(str::kWrongPassword)}, {}});
        return report.fail(
            Failure{"LOGIN",
                    {"No dealer login is possible: the setup file holds no dealer password."},
                    {}});
    }
    controller.setSerialEntry(args.serial);
    FlowOutcome outcome = controller.onUpdateSerialNumber();
    report.fields()["serial_number"] =
        outcome.ok() ? Json(controller.display().serialNumber) : Json(nullptr);
    return session.report(outcome, report);
}

}  // namespace

void addSerialCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "serial",
        "Write a new serial number (dealer login needed). The dealer password is asked for "
        "without echo on a terminal; scripts give it with --password-file or "
        "VKT_DEALER_PASSWORD");
    auto args = std::make_shared<Args>();
    sub->add_option("NEW", args->serial, "The new serial number (10 characters)")->required();
    auto* password = sub->add_option(
        "--password", args->password,
        "The dealer password. Visible to every user of the machine (ps, shell history): "
        "prefer --password-file or VKT_DEALER_PASSWORD");
    auto* file = sub->add_option("--password-file", args->passwordFile,
                                 "Read the dealer password from the first line of FILE");
    password->excludes(file);
    sub->add_flag("--json", args->json, "Print the result as one JSON object");
    setHandler(sub, [&options, args] { return runSerial(options, *args); });
}

}  // namespace vkt::cli
