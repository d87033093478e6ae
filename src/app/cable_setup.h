// How a front end turns its start options into a cable driver and the folders
// it works from: --backend tty|ftdi|sim, --simulate (the built-in simulated
// radio, kept from one run to the next in <data dir>/sim/radio.state),
// --trace / VKT_TRACE. The command line and the desktop window share it.
#pragma once

#include <memory>
#include <string>

#include "app/application.h"
#include "link/cable_driver.h"

namespace vkt {

namespace sim {
class SimRadio;
}

struct CableOptions {
    std::string packageDir;  // --package: folder holding config.xml
    std::string dataDir;     // --data-dir
    std::string backend;     // --backend: tty, ftdi or sim
    std::string trace;       // --trace FILE: wire trace
    bool simulate = false;   // --simulate: built-in simulated radio
};

// Fills in the defaults the environment gives: VKT_CABLE_BACKEND,
// VKT_DATA_DIR and VKT_TRACE. Options given on the command line are set
// after it and win.
void readCableEnvironment(CableOptions& options);

// The driver the options ask for, or null with a message in `error` (an
// unknown back-end, a simulated radio that cannot be loaded or set up, a
// trace file that cannot be opened). With --simulate the driver is the sim
// back-end wired to the persisted radio, whatever --backend says; the radio
// is created on first use to match the demo package, and VKT_SIM_OPTIONS
// (vkt-radio-sim options such as "--fault noack@r2 --serial 123ABC0002")
// is applied on top when it is loaded. Later calls in the same process share
// the loaded radio (each driver has its own virtual cable to it).
std::shared_ptr<CableDriver> makeCableDriver(const CableOptions& options, std::string& error);

// The radio of the demo package: type 2, model VK2150EMA01, versions one
// step behind the package, a personality and a user-defined voice that an
// update must keep. What --simulate starts with.
std::shared_ptr<sim::SimRadio> makeDemoRadio();

// Whether the back-end the options name (or the default one) exists. A
// simulated radio always does.
bool cableBackendKnown(const CableOptions& options);

// --package when given; with --simulate the demo package shipped with the
// programs; otherwise the update package shipped with them.
std::string effectivePackageDir(const CableOptions& options);
// --data-dir (or VKT_DATA_DIR) when given; otherwise the default data folder,
// and with --simulate its "simulate" subfolder, so the simulated radio's
// setup file, log and backups stay apart from a real radio's.
std::string effectiveDataDir(const CableOptions& options);
// Fills the folders of a start-up from the options: package and data folder
// as above, the setup-file template a new data folder gets (the demo one
// with --simulate), and whether a missing data folder may be created (only
// the default one: a --data-dir that does not exist is a mistake to report).
void setStartupFolders(const CableOptions& options, StartupOptions& startup);
// <effective data dir>/sim/radio.state
std::string simulatedRadioStatePath(const CableOptions& options);

// Writes the state of the simulated radio that makeCableDriver loaded back to
// its file. True (and nothing written) when no simulated radio is in use.
bool saveSimulatedRadio(std::string& error);

// Saves the simulated radio when a session ends, whichever way it returns;
// a failure is reported on stderr.
class SimulatedRadioSaver {
  public:
    SimulatedRadioSaver() = default;
    ~SimulatedRadioSaver();
    SimulatedRadioSaver(const SimulatedRadioSaver&) = delete;
    SimulatedRadioSaver& operator=(const SimulatedRadioSaver&) = delete;
};

}  // namespace vkt
