// The serial line between a host's UART and a simulated radio, for the
// servers that put the radio behind a real port (a pseudo-terminal, an
// emulated USB-serial chip): the host's bytes leave one after another at the
// host's rate and reach the radio (with the cable's echo when the radio has
// it on); the radio's bytes wait here until they are due at the host, and
// arrive garbled when the host listens at another rate than they were sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "sim/sim_radio.h"

namespace vkt::sim {

class RadioLine {
  public:
    explicit RadioLine(SimRadio& radio) : radio_(radio) {}

    SimRadio& radio() { return radio_; }

    // Host bytes written at `now` at `hostRate`: they start when the earlier
    // ones have left, one byte time (at the radio's pace) after another.
    void send(std::span<const std::uint8_t> bytes, std::uint32_t hostRate, Clock::time_point now);
    // When the last host byte written so far has left the host's transmitter.
    Clock::time_point transmitterFreeAt() const { return hostFree_; }

    // Bytes on their way to the host.
    bool empty() const { return pending_.empty(); }
    std::size_t size() const { return pending_.size(); }
    Clock::time_point firstDue() const { return pending_.front().due; }
    Clock::time_point lastDue() const { return pending_.back().due; }
    // When the n-th waiting byte (0-based) is due; n must be below size().
    Clock::time_point dueOf(std::size_t n) const { return pending_[n].due; }
    // Number of waiting bytes due by `now`.
    std::size_t dueBy(Clock::time_point now) const;

    // Appends up to `max` bytes due by `now` to `out`, each judged against
    // `hostRate` (the rate the host listens at now); returns how many.
    std::size_t take(Clock::time_point now, std::uint32_t hostRate, std::vector<std::uint8_t>& out,
                     std::size_t max = SIZE_MAX);
    // Puts bytes that take() handed out back in front (they were not
    // delivered); they are due at once and are not judged again.
    void putBack(std::span<const std::uint8_t> bytes, Clock::time_point now);
    // Judges the bytes due by `now` against `hostRate` for good: the host is
    // about to listen at another rate, and what it has received stays as it
    // was received.
    void settle(Clock::time_point now, std::uint32_t hostRate);
    // Drops the bytes due by `now`: what a receive purge finds in a buffer.
    void dropDue(Clock::time_point now);
    void clear() { pending_.clear(); }

  private:
    SimRadio& radio_;
    std::deque<WireByte> pending_;
    Clock::time_point hostFree_{};
};

}  // namespace vkt::sim
