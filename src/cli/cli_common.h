// Shared pieces of the `vkt` command line: the global options and the exit
// codes. Each group of subcommands lives in its own cmd_*.cpp file and is
// registered in main.cpp.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "app/cable_setup.h"

namespace vkt::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitNothingDone = 3,
};

// --package, --data-dir, --backend, --trace, --simulate, and the choice of
// the cable: --port PATH or --cable N.
struct GlobalOptions : CableOptions {
    std::string port;  // empty: not chosen by path
    int cable = -1;    // negative: not chosen by position
};

// A subcommand's body: returns the process exit code. Registered handlers
// store their exit code in `exitCode` through this helper.
using Handler = std::function<int()>;

// Wires a handler to a subcommand: when the subcommand is parsed, main runs
// it after parsing and uses its result as the exit code.
void setHandler(CLI::App* sub, Handler handler);

}  // namespace vkt::cli
