// The cable a command of `vkt` works through: the back-end the global
// options name, and for the radio commands the one programming cable chosen
// by --port, by --cable or by being the only free one. A radio command works
// through a driver that shows only that cable, so nothing below it can pick
// another. The texts that tell the user what to do about a cable live here.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/instance_lock.h"
#include "cli/cli_common.h"
#include "cli/command_report.h"
#include "link/cable_driver.h"

namespace vkt::cli {

struct CableSetup {
    std::shared_ptr<CableDriver> driver;  // null after a failure (reported)
    std::string path;                     // the chosen cable's path
    int exitCode = kExitOk;               // the failure's exit code
};

// The back-end's driver as the options ask for it (with --trace, the trace).
CableSetup makeBackendDriver(const GlobalOptions& options, CommandReport& report);
// The driver of the chosen programming cable; every problem with the choice
// (no cable, several, held by another program, no permission, a --port that
// names nothing) is reported with what to do about it.
CableSetup chooseCableDriver(const GlobalOptions& options, CommandReport& report);

// Takes the lock that the desktop tool of this region holds while it runs,
// so that a radio is never written by two programs at once. Nothing when it
// is taken; otherwise the exit code of the failure (reported). A process
// started with kInheritedLockVariable naming a descriptor open on the lock
// file that holds the lock shares it instead.
// The environment variable through which `vkt fleet update` hands its radio
// lock to its workers: the number of the inherited descriptor.
inline constexpr const char* kInheritedLockVariable = "VKT_RADIO_LOCK_FD";

std::optional<int> lockRadioOperations(InstanceLock& lock, CommandReport& report);

// After the chosen cable (behind `chosen`, a driver from chooseCableDriver)
// could not be opened: adds why (no permission, held by another program)
// and what to do to `failure`, as far as that can be found out.
void explainOpenFailure(CableDriver& chosen, const std::string& backend, Failure& failure);

// What to do when the cable cannot be opened for lack of permission.
std::string permissionHint(const std::string& backend);
// What to do when another program holds the cable.
std::string busyHint();
// What to do when no programming cable is found.
std::string noCableHint(const std::string& backend);
// What to do when the cable is open and the radio does not answer.
std::string silentRadioHint();

// The name of the back-end the options choose ("sim" with --simulate).
std::string backendName(const GlobalOptions& options);

}  // namespace vkt::cli
