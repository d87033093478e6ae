// `vkt`: the command-line front end of the update tool.
#include <algorithm>
#include <iostream>
#include <map>
#include <optional>

#include "cli/cli_common.h"
#include "cli/command_report.h"
#include "cli/commands.h"
#include "cli/signal_watch.h"
#include "core/version.h"

namespace vkt::cli {
namespace {

std::map<CLI::App*, Handler>& handlers() {
    static std::map<CLI::App*, Handler> h;
    return h;
}

std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The words of the command line as far as they name commands.
struct CommandWords {
    std::vector<std::string> path;  // e.g. {"package", "check"}
    std::string unknown;            // a word where a command was expected
    std::string suggestion;         // the closest command name, if any is close
    bool json = false;              // --json appears
    bool help = false;              // --help or -h appears
};

CLI::App* findSubcommand(CLI::App& level, const std::string& name) {
    for (CLI::App* sub : level.get_subcommands({})) {
        if (sub->get_name() == name)
            return sub;
    }
    return nullptr;
}

std::string closest(CLI::App& level, const std::string& word) {
    std::string best;
    std::size_t bestDistance = std::max<std::size_t>(2, word.size() / 3) + 1;
    for (CLI::App* sub : level.get_subcommands({})) {
        const std::string& name = sub->get_name();
        std::size_t d = editDistance(word, name);
        if (name.rfind(word, 0) == 0 && !word.empty())
            d = std::min<std::size_t>(d, 1);
        if (d < bestDistance) {
            best = name;
            bestDistance = d;
        }
    }
    return best;
}

// Walks argv like the parser: global options (with their values) may come
// anywhere; every word up to the first command that has no subcommands must
// name a command.
CommandWords readCommandWords(CLI::App& app, int argc, char** argv) {
    CommandWords words;
    CLI::App* level = &app;
    bool atLeaf = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "--json")
            words.json = true;
        if (arg == "--help" || arg == "-h")
            words.help = true;
        if (arg.size() > 1 && arg[0] == '-') {
            const std::string name = arg.substr(0, arg.find('='));
            const CLI::Option* option = level->get_option_no_throw(name);
            if (option == nullptr)
                option = app.get_option_no_throw(name);
            if (option != nullptr && arg.find('=') == std::string::npos &&
                option->get_items_expected_max() > 0)
                ++i;  // its value
            continue;
        }
        if (atLeaf || !words.unknown.empty())
            continue;
        if (level->get_subcommands({}).empty()) {
            atLeaf = true;
            continue;
        }
        CLI::App* sub = findSubcommand(*level, arg);
        if (sub == nullptr) {
            words.unknown = arg;
            words.suggestion = closest(*level, arg);
            continue;
        }
        words.path.push_back(arg);
        level = sub;
    }
    return words;
}

std::string joined(const std::vector<std::string>& words, const std::string& last = {}) {
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : " ") + w;
    if (!last.empty())
        text += (text.empty() ? "" : " ") + last;
    return text;
}

int usageError(const CommandWords& words, const std::string& message) {
    CommandReport report(joined(words.path), words.json);
    const std::string help = "vkt " + joined(words.path, "--help");
    return report.fail(Failure{"USAGE", {message}, "`" + help + "` shows how to use it."},
                       kExitUsage);
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
    auto* port = app.add_option(
        "--port", options.port,
        "Use the programming cable at PATH: a tty device or a VKT_TTY_PORTS entry; with the "
        "ftdi back-end the USB device (/dev/bus/usb/BBB/DDD or BBB/DDD) or its USB serial "
        "number. `vkt cables` lists them");
    auto* cable = app.add_option("--cable", options.cable,
                                 "Use the programming cable with this index in `vkt cables`")
                      ->check(CLI::NonNegativeNumber);
    port->excludes(cable);

    for (const CommandGroup addGroup : kCommandGroups)
        addGroup(app, options);

    const CommandWords words = readCommandWords(app, argc, argv);
    if (!words.unknown.empty() && !words.help) {
        std::string message = "unknown command '" + joined(words.path, words.unknown) + "'";
        if (!words.suggestion.empty())
            message += " (did you mean '" + joined(words.path, words.suggestion) + "'?)";
        return usageError(words, message);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);  // --help
        return usageError(words, e.what());
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
