// The options that describe a simulated radio, shared by vkt-radio-sim's
// command line and the `vkt --simulate` overrides (VKT_SIM_OPTIONS). Their
// implementation file also holds the text parsers behind them (faults,
// versions, the model record), which are declared beside their types in
// sim_radio.h so the radio's users need not pull in the command-line library.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_radio.h"

namespace vkt::sim {

struct RadioOptions {
    int radioType = 0;
    std::string serial = kDefaultSerial;
    std::string model = "QX7500A";
    std::string firmware = "R01.02.03";
    std::string codeplug = "R01.02.03";
    std::uint32_t statusWord = 0;
    bool refuseSerial = false;
    bool noEcho = false;
    double pace = 0.0;
    std::int64_t erase64kUs = -1, erase4kUs = -1, programUs = -1, turnaroundUs = -1;
    std::size_t flashSize = kDefaultFlashSize;
    std::vector<std::string> faults;
    std::string flipFlashBit;             // ADDR[:MASK]
    std::string corruptMemory;            // ADDR
    std::vector<std::string> loadFlash;   // FILE[@ADDR]
    std::vector<std::string> loadMemory;  // FILE@ADDR
    std::string statsFile;                // wire counts written when the radio goes away
};

// Adds --type, --serial, --model, --firmware, --codeplug, --status,
// --refuse-sn, --no-echo, --pace, the four timing options, --flash-size,
// --fault, --flip-flash-bit, --corrupt-memory, --load-flash, --load-memory
// and --stats to `app`.
void addRadioOptions(CLI::App& app, RadioOptions& options);
// A whole radio configuration from the options.
bool buildRadioConfig(const RadioOptions& options, RadioConfig& config, std::string& error);
// Loads the --load-flash and --load-memory files into the radio.
bool preloadRadio(const RadioOptions& options, SimRadio& radio, std::string& error);
// Parses `text` (options separated by blanks, as on a command line) and
// applies to an existing radio only the options it names. --flash-size is
// refused: an existing radio keeps its flash.
bool applyRadioOptionText(const std::string& text, SimRadio& radio, std::string& error);

}  // namespace vkt::sim
