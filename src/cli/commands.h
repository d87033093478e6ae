// Registration functions of the subcommand groups (one per cmd_*.cpp file).
#pragma once

#include "cli/cli_common.h"

namespace vkt::cli {

// One function per group; each adds its subcommands to `app`.
using CommandGroup = void (*)(CLI::App& app, GlobalOptions& options);

void addCablesCommand(CLI::App& app, GlobalOptions& options);
void addVersionCommand(CLI::App& app, GlobalOptions& options);
void addFtfCommands(CLI::App& app, GlobalOptions& options);
void addConfigCommands(CLI::App& app, GlobalOptions& options);
void addPackageCommands(CLI::App& app, GlobalOptions& options);
void addIdentityCommand(CLI::App& app, GlobalOptions& options);
void addMonitorCommand(CLI::App& app, GlobalOptions& options);
void addPersonalityCommands(CLI::App& app, GlobalOptions& options);
void addInfoCommand(CLI::App& app, GlobalOptions& options);
void addUpdateCommand(CLI::App& app, GlobalOptions& options);
void addVerifyCommand(CLI::App& app, GlobalOptions& options);
void addRecoverCommand(CLI::App& app, GlobalOptions& options);
void addHistoryCommand(CLI::App& app, GlobalOptions& options);
void addSerialCommand(CLI::App& app, GlobalOptions& options);
void addFleetCommands(CLI::App& app, GlobalOptions& options);
void addConsoleCommands(CLI::App& app, GlobalOptions& options);

// main.cpp adds the groups in this order, which is the order of `vkt --help`.
inline constexpr CommandGroup kCommandGroups[] = {
    addCablesCommand,   addVersionCommand,  addFtfCommands,    addConfigCommands,
    addPackageCommands, addIdentityCommand, addMonitorCommand, addPersonalityCommands,
    addInfoCommand,     addUpdateCommand,   addVerifyCommand,  addRecoverCommand,
    addHistoryCommand,  addSerialCommand,   addFleetCommands,  addConsoleCommands,
};

}  // namespace vkt::cli
