// Registration functions of the subcommand groups (one per cmd_*.cpp file).
#pragma once

#include "cli/cli_common.h"

namespace vkt::cli {

// Add one line per group; main.cpp calls every function in this list.
#define VKT_CLI_COMMAND_GROUPS(X) \
    X(addCablesCommand)           \
    X(addVersionCommand)          \
    X(addFtfCommands)             \
    X(addConfigCommands)          \
    X(addPackageCommands)         \
    X(addIdentityCommand)         \
    X(addMonitorCommand)          \
    X(addPersonalityCommands)     \
    X(addInfoCommand)             \
    X(addUpdateCommand)           \
    X(addVerifyCommand)           \
    X(addRecoverCommand)          \
    X(addHistoryCommand)          \
    X(addSerialCommand)           \
    X(addFleetCommands)           \
    X(addConsoleCommands)

#define VKT_DECLARE_GROUP(fn) void fn(CLI::App& app, GlobalOptions& options);
VKT_CLI_COMMAND_GROUPS(VKT_DECLARE_GROUP)
#undef VKT_DECLARE_GROUP

}  // namespace vkt::cli
