// The tool's own link stack (RadioInfo owning USBSerial and SBEP) on the
// sim back-end: a virtual cable wired to a simulated radio.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/error_stack.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "sim/sim_radio.h"
#include "sim/virtual_cable.h"

namespace vkt::test {

using Bytes = std::vector<std::uint8_t>;

struct SimLink {
    explicit SimLink(sim::RadioConfig config = {})
        : radio(std::make_shared<sim::SimRadio>(std::move(config))),
          driver(std::make_shared<sim::VirtualCableDriver>(radio)),
          info(driver) {
        removeErrors(0);
    }
    ~SimLink() { removeErrors(0); }

    // Opens the cable as the tool does and forgets the requests of the set-up.
    bool open() {
        const bool ok = info.openPort(0);
        const auto log = radio->requestLog();
        base = log.empty() ? 0 : log.back().number;
        radio->clearRequestLog();
        return ok;
    }
    // Arms one fault written like "noack@r2x3", its request number counted
    // from the first request after open().
    void fault(const std::string& text) {
        sim::Fault f;
        std::string error;
        ASSERT_TRUE(sim::parseFault(text, f, error)) << error;
        if (f.trigger == sim::FaultTrigger::Request)
            f.at += base;
        radio->setFaults({f});
    }
    SBEP& engine() { return info.engine(); }
    // Sets the type-2 unlock value, so flash may be erased and written.
    bool unlock() { return engine().protectionMode(0x3040, opcode, reply) >= 0 && opcode == 0x95; }

    std::shared_ptr<sim::SimRadio> radio;
    std::shared_ptr<sim::VirtualCableDriver> driver;
    RadioInfo info;
    std::vector<std::uint8_t> reply = std::vector<std::uint8_t>(4200);
    std::uint8_t opcode = 0;
    std::uint64_t base = 0;  // requests the radio had answered when open() returned
};

inline sim::RadioConfig radioOfType(int type) {
    sim::RadioConfig config;
    config.radioType = type;
    return config;
}

inline Bytes pattern(std::size_t length, std::uint8_t seed) {
    Bytes b(length);
    for (std::size_t i = 0; i < length; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

}  // namespace vkt::test
