#include "cli/cable_setup.h"

#include <iostream>

namespace vkt::cli {

int cableSetupFailed(const GlobalOptions& options, const std::string& command,
                     const std::string& error) {
    std::cerr << "vkt " << command << ": " << error << "\n";
    return cableBackendKnown(options) ? kExitFailure : kExitUsage;
}

}  // namespace vkt::cli
