// The command line's side of the cable set-up shared with the desktop window
// (app/cable_setup.h): the global options are CableOptions, so the shared
// functions take them as they are.
#pragma once

#include <string>

#include "app/cable_setup.h"
#include "cli/cli_common.h"

namespace vkt::cli {

// Prints "vkt <command>: <error>" on stderr after makeCableDriver failed and
// returns the exit code: kExitUsage for a back-end name that is not known,
// kExitFailure otherwise.
int cableSetupFailed(const GlobalOptions& options, const std::string& command,
                     const std::string& error);

}  // namespace vkt::cli
