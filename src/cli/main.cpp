// `vkt`: the command-line front end of the update tool.
#include <iostream>
#include <map>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/signal_watch.h"
#include "core/version.h"

namespace vkt::cli {
namespace {

std::map<CLI::App*, Handler>& handlers() {
    static std::map<CLI::App*, Handler> h;
    return h;
}

}  // namespace

void setHandler(CLI::App* sub, Handler handler) {
    handlers()[sub] = std::move(handler);
}

void addVersionCommand(CLI::App& app, GlobalOptions&) {
    auto* sub = app.add_subcommand("version", "Print the tool's version");
    setHandler(sub, [] {
        std::cout << vkt::versionLine("vkt") << "\n";
        return kExitOk;
    });
}

}  // namespace vkt::cli

// An exception that escapes (out of memory) ends the program, as it should.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
    using namespace vkt::cli;
    // Before any thread starts: signals are taken by one watcher thread.
    SignalWatch::install();
    CLI::App app{
        "VKT Update Tool: reads, updates and re-serialises two-way radios on a USB "
        "programming cable."};
    app.require_subcommand(1);
    app.set_version_flag("--version", vkt::versionLine("vkt"), "Print the tool's version and exit");
    // Global options may also follow the subcommand (vkt package check --package DIR).
    app.fallthrough();
    GlobalOptions options;
    readCableEnvironment(options);
    app.add_option("--package", options.packageDir,
                   "Folder of the update package (holds config.xml); default ../data beside the "
                   "executable's folder");
    app.add_option("--data-dir", options.dataDir,
                   "Application data folder (data/setup.dat, log/err.log); env VKT_DATA_DIR");
    app.add_option("--backend", options.backend,
                   "Cable back-end: tty (default), ftdi or sim; env VKT_CABLE_BACKEND");
    app.add_option("--trace", options.trace,
                   "Write every byte on the cable to FILE as hex lines; env VKT_TRACE");
    app.add_flag("--simulate", options.simulate,
                 "Use the built-in simulated radio on a virtual cable");

#define VKT_CALL_GROUP(fn) fn(app, options);
    VKT_CLI_COMMAND_GROUPS(VKT_CALL_GROUP)
#undef VKT_CALL_GROUP

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    for (CLI::App* sub : app.get_subcommands()) {
        // The deepest parsed subcommand that has a handler runs.
        CLI::App* target = sub;
        while (!target->get_subcommands().empty())
            target = target->get_subcommands().front();
        auto it = handlers().find(target);
        if (it != handlers().end())
            return it->second();
        std::cerr << target->help();
        return kExitUsage;
    }
    return kExitUsage;
}
