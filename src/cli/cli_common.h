// Shared pieces of the `vkt` command line: the global options and the exit
// codes. Each group of subcommands lives in its own cmd_*.cpp file and is
// registered in main.cpp.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace vkt::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitNothingDone = 3,
};

struct GlobalOptions {
    std::string packageDir;  // --package: folder holding config.xml
    std::string dataDir;     // --data-dir
    std::string backend;     // --backend: tty, ftdi or sim
    std::string trace;       // --trace FILE: wire trace
    bool simulate = false;   // --simulate: built-in simulated radio
};

// A subcommand's body: returns the process exit code. Registered handlers
// store their exit code in `exitCode` through this helper.
using Handler = std::function<int()>;

// Wires a handler to a subcommand: when the subcommand is parsed, main runs
// it after parsing and uses its result as the exit code.
void setHandler(CLI::App* sub, Handler handler);

}  // namespace vkt::cli
