// A summary of the simulated radio's state as JSON, for scripts and tests
// that check what a run left behind.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_radio.h"

namespace vkt::sim {

struct DumpFiles {
    std::string flashImage;    // raw flash image written beside the summary, if any
    std::string memoryWindow;  // raw memory 0x820000..0x82FFFF, if any
};

std::string sha256Hex(std::span<const std::uint8_t> bytes);
// JSON object: serialNumber, factorySerialNumber, radioType, firmwareVersion,
// codeplugVersion, lineRate, protection (null before any), testMode,
// bytesIn, bytesOut, requests, wireSeconds, radioSeconds, flashSize, flashSha256, memorySha256
// (0x820000..0x82FFFF), flashFile, memoryFile.
std::string stateJson(const SimRadio& radio, const DumpFiles& files);
// JSON object: bytesIn, bytesOut, requests, paceFactor, wireSeconds and
// radioSeconds (see SimRadio::wireSeconds).
std::string wireStatsJson(const SimRadio& radio);

}  // namespace vkt::sim
