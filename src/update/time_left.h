// How long the rest of a programming run takes: the bytes still to cross the
// wire at the line rate they will cross it at, the radio's erase and
// programming times, and the pauses of the procedure. The progress bar's
// positions follow fixed step weights, not time, so the time left cannot be
// taken from the share of the bar already filled.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vkt {

// The work of one part of a run.
struct LinkWork {
    std::uint32_t lineRate = 0;         // bit/s the part's bytes cross the wire at
    std::uint64_t memoryBytes = 0;      // radio memory read or written
    std::uint64_t flashReadBytes = 0;   // flash read
    std::uint64_t flashWriteBytes = 0;  // flash written (and programmed by the radio)
    std::uint32_t blockErases = 0;      // 64 KB erases
    std::uint32_t sectorErases = 0;     // 4 KB erases
    std::chrono::milliseconds pauses{0};
};

// Seconds the work takes on the wire and in the radio, with the line and
// flash timing a radio is known to have.
double linkSeconds(const LinkWork& work);

// The estimate for a run made of parts done one after the other.
class RunTimeEstimate {
  public:
    void resize(std::size_t parts) { seconds_.assign(parts, 0.0); }
    void setPart(std::size_t part, const LinkWork& work);
    // Whole seconds left once unit k of n of `part` is done (k = 0: the
    // part is starting), `elapsed` seconds after the run began. Once enough
    // work is done to tell, the model's time is scaled by how fast the link
    // has really been against it: a cable with more latency, or a faster
    // simulated radio, then gets an estimate that fits it.
    int secondsLeft(std::size_t part, std::uint32_t k, std::uint32_t n, double elapsed) const;

  private:
    std::vector<double> seconds_;
};

}  // namespace vkt
