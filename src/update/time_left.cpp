#include "update/time_left.h"

#include <algorithm>
#include <cmath>

#include "link/sbep_frame.h"

namespace vkt {
namespace {

constexpr double kBitsPerByte = 10.0;  // start bit, 8 data bits, stop bit
// Frame bytes around each request's data and in its reply (header, length,
// address, checksum, acknowledge), and the turnaround of one exchange
// (the radio's answer and the cable's latency timer).
constexpr double kFrameBytes = 16.0;
constexpr double kRequestSeconds = 0.003;
// The radio's flash: erase times and programming time per byte.
constexpr double kBlockEraseSeconds = 0.5;
constexpr double kSectorEraseSeconds = 0.045;
constexpr double kProgramSecondsPerByte = 6e-6;
// Modelled seconds of finished work after which the measured pace is trusted.
constexpr double kCalibrateAfter = 2.0;

double transferSeconds(std::uint64_t bytes, std::size_t chunk, std::uint32_t rate) {
    if (bytes == 0)
        return 0.0;
    const double requests = std::ceil(static_cast<double>(bytes) / static_cast<double>(chunk));
    const double wire = static_cast<double>(bytes) + requests * kFrameBytes;
    return (rate != 0 ? wire * kBitsPerByte / rate : 0.0) + requests * kRequestSeconds;
}

}  // namespace

double linkSeconds(const LinkWork& work) {
    const std::uint32_t rate = work.lineRate;
    double seconds = transferSeconds(work.memoryBytes, sbep::kMaxMemPayload, rate) +
                     transferSeconds(work.flashReadBytes, sbep::kMaxFlashChunk, rate) +
                     transferSeconds(work.flashWriteBytes, sbep::kMaxFlashChunk, rate) +
                     static_cast<double>(work.flashWriteBytes) * kProgramSecondsPerByte;
    seconds += work.blockErases * (kBlockEraseSeconds + kRequestSeconds) +
               work.sectorErases * (kSectorEraseSeconds + kRequestSeconds);
    seconds += std::chrono::duration<double>(work.pauses).count();
    return seconds;
}

void RunTimeEstimate::setPart(std::size_t part, const LinkWork& work) {
    if (part < seconds_.size())
        seconds_[part] = linkSeconds(work);
}

int RunTimeEstimate::secondsLeft(std::size_t part, std::uint32_t k, std::uint32_t n,
                                 double elapsed) const {
    double done = 0.0;
    double left = 0.0;
    for (std::size_t i = 0; i < seconds_.size(); ++i) {
        if (i < part) {
            done += seconds_[i];
        } else if (i > part) {
            left += seconds_[i];
        } else {
            const double share = n == 0 ? 0.0 : std::min(1.0, static_cast<double>(k) / n);
            done += seconds_[i] * share;
            left += seconds_[i] * (1.0 - share);
        }
    }
    if (done >= kCalibrateAfter && elapsed > 0.0)
        left *= std::clamp(elapsed / done, 0.02, 50.0);
    return static_cast<int>(std::ceil(left));
}

}  // namespace vkt
