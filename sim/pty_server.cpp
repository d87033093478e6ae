#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "sim/pty_rate.h"

namespace vkt::sim {
namespace {

// A USB cable hands received bytes over in packets, about one per
// millisecond of wire time.
constexpr std::chrono::duration<double> kBatchTime = std::chrono::milliseconds(1);

}  // namespace

PtyRadioServer::PtyRadioServer(SimRadio& radio, int masterFd)
    : radio_(radio), line_(radio), master_(masterFd) {
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyRadioServer::End PtyRadioServer::run(int stopFd, const std::function<void()>& afterRound) {
    std::vector<std::uint8_t> buffer(4096);
    for (;;) {
        // Sleep until the next batch is due (to the nanosecond: a coarser
        // wait would make the simulated wire slower than the one it models).
        std::optional<std::chrono::nanoseconds> wait;
        if (blocked_) {
            wait = std::chrono::seconds(1);
        } else if (!line_.empty()) {
            wait = std::clamp<std::chrono::nanoseconds>(
                nextSend() - Clock::now(), std::chrono::nanoseconds{0}, std::chrono::seconds(1));
        }
        timespec ts{};
        if (wait) {
            ts.tv_sec = static_cast<time_t>(wait->count() / 1000000000);
            ts.tv_nsec = static_cast<long>(wait->count() % 1000000000);
        }
        const short events = static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0));
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {master_, events, 0}};
        const int n = ppoll(fds, 2, wait ? &ts : nullptr, nullptr);
        if (n < 0 && errno != EINTR)
            return End::Failed;
        if (fds[0].revents & POLLIN)
            return End::Stopped;
        if ((fds[1].revents & POLLHUP) && !(fds[1].revents & POLLIN)) {
            // No host has the port open: what the radio sends is lost, as on
            // a line nobody listens to. Wait for a host without spinning.
            line_.clear();
            blocked_ = false;
            pollfd stop{stopFd, POLLIN, 0};
            if (poll(&stop, 1, 5) > 0)
                return End::Stopped;
            continue;
        }
        if (fds[1].revents & POLLOUT)
            blocked_ = false;
        if (fds[1].revents & POLLIN) {
            const ssize_t got = ::read(master_, buffer.data(), buffer.size());
            if (got > 0)
                incoming({buffer.data(), static_cast<std::size_t>(got)});
        }
        sendDue();
        if (afterRound)
            afterRound();
        if (radio_.cablePulled())
            return End::CablePulled;
    }
}

std::uint32_t PtyRadioServer::hostRate() const {
    return terminalRate(master_).value_or(radio_.lineRate());
}

void PtyRadioServer::incoming(std::span<const std::uint8_t> bytes) {
    line_.send(bytes, hostRate(), Clock::now());
}

// Reply bytes go to the pty in batches, as a USB cable delivers them in
// packets: at most one batch per kBatchTime of wire time (divided by the
// pace factor), and at once when every pending byte is due, so the last
// byte of a reply is never held back.
Clock::time_point PtyRadioServer::nextSend() const {
    const double pace = radio_.timing().paceFactor;
    const auto batch = pace > 0
                           ? std::chrono::duration_cast<std::chrono::nanoseconds>(kBatchTime / pace)
                           : std::chrono::nanoseconds{0};
    return std::min(std::max(line_.firstDue(), lastSend_ + batch), line_.lastDue());
}

void PtyRadioServer::sendDue() {
    if (line_.empty() || blocked_)
        return;
    const auto now = Clock::now();
    if (now < nextSend())
        return;
    lastSend_ = now;
    std::vector<std::uint8_t> chunk;
    line_.take(now, hostRate(), chunk);
    std::size_t done = 0;
    while (done < chunk.size()) {
        const ssize_t w = ::write(master_, chunk.data() + done, chunk.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            // The host is not reading: keep the rest (already judged) and
            // wait for room without blocking the stop descriptor.
            line_.putBack({chunk.data() + done, chunk.size() - done}, now);
            blocked_ = true;
            return;
        } else {
            return;  // the host side went away; bytes are lost as on a real line
        }
    }
}

}  // namespace vkt::sim
