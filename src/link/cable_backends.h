// Choosing a cable back-end by name. "tty" and "ftdi" are built in; front
// ends register more (the simulated cable) before creating one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/cable_driver.h"

namespace vkt {

using CableBackendFactory = std::function<std::shared_ptr<CableDriver>()>;

// Adds or replaces a named back-end.
void registerCableBackend(std::string name, CableBackendFactory factory);
// Names of every known back-end, sorted.
std::vector<std::string> cableBackendNames();
// A new driver of the named back-end, or null with a message in `error`.
std::shared_ptr<CableDriver> createCableDriver(const std::string& name, std::string& error);
// env VKT_CABLE_BACKEND, else "tty".
std::string defaultCableBackendName();

// Built-in back-ends.
std::shared_ptr<CableDriver> makeTtyCableDriver();
std::shared_ptr<CableDriver> makeFtdiCableDriver();

// A driver whose ports log every byte crossing the cable, with its direction,
// a time stamp and the line rate, plus rate changes, purges and time-outs,
// as readable lines appended to the file at `path`. When the file cannot be
// opened the inner driver is returned unchanged and `error` says why.
std::shared_ptr<CableDriver> wrapWithTrace(std::shared_ptr<CableDriver> inner,
                                           const std::string& path, std::string& error);
std::shared_ptr<CableDriver> wrapWithTrace(std::shared_ptr<CableDriver> inner,
                                           const std::string& path);

}  // namespace vkt
