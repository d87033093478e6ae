// Serves a simulated radio on the master side of a pseudo-terminal: what the
// host writes to the slave reaches the radio at the rate the host set on the
// slave, and the radio's bytes go back when they are due on the wire, in
// batches as a USB cable delivers them. vkt-radio-sim serves its own pty
// with it; the emulated cables of the tests serve the tty of an emulated
// USB-serial device with it.
#pragma once

#include <chrono>
#include <functional>

#include "sim/radio_line.h"
#include "sim/sim_radio.h"

namespace vkt::sim {

class PtyRadioServer {
  public:
    // `masterFd` stays the caller's; it is switched to non-blocking. While
    // no host has the slave open, the radio's bytes are dropped.
    PtyRadioServer(SimRadio& radio, int masterFd);

    enum class End {
        Stopped,      // the stop descriptor became readable
        CablePulled,  // the radio's cable was pulled (a fault or pullCable())
        Failed,       // waiting on the descriptors failed
    };

    // Serves until one of the ends above; `afterRound` runs after every
    // round of reading and sending (vkt-radio-sim writes its log there).
    End run(int stopFd, const std::function<void()>& afterRound = {});

  private:
    std::uint32_t hostRate() const;
    void incoming(std::span<const std::uint8_t> bytes);
    Clock::time_point nextSend() const;
    void sendDue();

    SimRadio& radio_;
    RadioLine line_;
    int master_;
    Clock::time_point lastSend_{};
    bool blocked_ = false;  // the pty's buffer was full at the last write
};

}  // namespace vkt::sim
