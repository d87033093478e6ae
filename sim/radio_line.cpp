#include "sim/radio_line.h"

#include <algorithm>

namespace vkt::sim {

void RadioLine::send(std::span<const std::uint8_t> bytes, std::uint32_t hostRate,
                     Clock::time_point now) {
    const auto perByte = pacedByteTime(hostRate, radio_.timing().paceFactor);
    // A long write reaches the line in pieces; each piece goes on the wire
    // after the one before, so its echo follows that one's in order.
    const auto start = std::max(now, hostFree_);
    hostFree_ = start + perByte * static_cast<std::int64_t>(bytes.size());
    std::vector<WireByte> out;
    if (radio_.echo())
        appendEcho(bytes, perByte, start, out);
    radio_.receive(bytes, hostRate, start, out);
    mergeByDue(pending_, out);
}

std::size_t RadioLine::dueBy(Clock::time_point now) const {
    const auto end =
        std::upper_bound(pending_.begin(), pending_.end(), now,
                         [](Clock::time_point t, const WireByte& b) { return t < b.due; });
    return static_cast<std::size_t>(end - pending_.begin());
}

std::size_t RadioLine::take(Clock::time_point now, std::uint32_t hostRate,
                            std::vector<std::uint8_t>& out, std::size_t max) {
    std::size_t n = 0;
    while (n < max && !pending_.empty() && pending_.front().due <= now) {
        const WireByte& b = pending_.front();
        out.push_back(b.rate != 0 && !ratesMatch(b.rate, hostRate) ? garbleByte(b.value) : b.value);
        pending_.pop_front();
        ++n;
    }
    return n;
}

void RadioLine::putBack(std::span<const std::uint8_t> bytes, Clock::time_point now) {
    for (std::size_t i = bytes.size(); i > 0; --i)
        pending_.push_front(WireByte{bytes[i - 1], 0, now});
}

void RadioLine::settle(Clock::time_point now, std::uint32_t hostRate) {
    for (WireByte& b : pending_) {
        if (b.due > now)
            break;
        if (b.rate != 0 && !ratesMatch(b.rate, hostRate))
            b.value = garbleByte(b.value);
        b.rate = 0;
    }
}

void RadioLine::dropDue(Clock::time_point now) {
    while (!pending_.empty() && pending_.front().due <= now)
        pending_.pop_front();
}

}  // namespace vkt::sim
