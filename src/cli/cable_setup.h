// Where the command line turns its global options into a cable driver and
// the folders it works from: --backend tty|ftdi|sim, --simulate (the built-in
// simulated radio, kept from one command to the next in
// <data dir>/sim/radio.state), --trace / VKT_TRACE.
#pragma once

#include <memory>
#include <string>

#include "cli/cli_common.h"
#include "link/cable_driver.h"

namespace vkt::cli {

// The driver the options ask for, or null with a message in `error` (an
// unknown back-end, a simulated radio that cannot be loaded or set up, a
// trace file that cannot be opened). With --simulate the driver is the sim
// back-end wired to the persisted radio, whatever --backend says; the radio
// is created on first use to match the demo package, and VKT_SIM_OPTIONS
// (vkt-radio-sim options such as "--fault noack@r2 --serial 123ABC0002")
// is applied on top each time.
std::shared_ptr<CableDriver> makeCableDriver(const GlobalOptions& options, std::string& error);

// Prints "vkt <command>: <error>" on stderr after makeCableDriver failed and
// returns the exit code: kExitUsage for a back-end name that is not known,
// kExitFailure otherwise.
int cableSetupFailed(const GlobalOptions& options, const std::string& command,
                     const std::string& error);

// --package when given; with --simulate the demo package of the build tree;
// otherwise the package beside the program.
std::string effectivePackageDir(const GlobalOptions& options);
// --data-dir (or VKT_DATA_DIR) when given; with --simulate the demo data
// folder of the build tree; otherwise the platform's shared data folder.
std::string effectiveDataDir(const GlobalOptions& options);
// <effective data dir>/sim/radio.state
std::string simulatedRadioStatePath(const GlobalOptions& options);

// Writes the state of the simulated radio that makeCableDriver loaded back to
// its file. True (and nothing written) when no simulated radio is in use.
bool saveSimulatedRadio(std::string& error);

// Saves the simulated radio when a command ends, whichever way it returns;
// a failure is reported on stderr.
class SimulatedRadioSaver {
  public:
    SimulatedRadioSaver() = default;
    ~SimulatedRadioSaver();
    SimulatedRadioSaver(const SimulatedRadioSaver&) = delete;
    SimulatedRadioSaver& operator=(const SimulatedRadioSaver&) = delete;
};

}  // namespace vkt::cli
