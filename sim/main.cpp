// vkt-radio-sim: serves one simulated radio on a pseudo-terminal, so the
// tool's termios back-end (and anything else that opens a serial port) can
// talk to it. Prints the slave path, optionally links it to a fixed name,
// and on SIGTERM or SIGINT writes the requested state files and exits 0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "sim/pty_rate.h"
#include "sim/radio_options.h"
#include "sim/sim_radio.h"
#include "sim/state_dump.h"

namespace {

using vkt::sim::appendEcho;
using vkt::sim::Clock;
using vkt::sim::WireByte;

struct Options {
    vkt::sim::RadioOptions radio;
    std::string link, logFile, dumpFile, dumpFlash, dumpMemory;
};

class PtyServer {
  public:
    PtyServer(vkt::sim::SimRadio& radio, const Options& o) : radio_(radio), options_(o) {}
    ~PtyServer() { closePty(); }

    bool open(std::string& error) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        const char* name = ptsname(master_);
        if (!name) {
            error = "ptsname failed";
            return false;
        }
        slavePath_ = name;
        // Holding the slave open keeps the master usable while no host has it open.
        slave_ = ::open(name, O_RDWR | O_NOCTTY);
        if (slave_ < 0) {
            error = std::string("cannot open ") + name + ": " + std::strerror(errno);
            return false;
        }
        termios tio{};
        tcgetattr(slave_, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);
        // The port starts at the radio's rate, so a host that sets nothing matches it.
        vkt::sim::setTerminalRate(slave_, radio_.lineRate());
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        if (!options_.link.empty()) {
            struct stat st {};
            if (lstat(options_.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                unlink(options_.link.c_str());
            }
            if (symlink(name, options_.link.c_str()) != 0) {
                error = "cannot create link " + options_.link + ": " + std::strerror(errno);
                return false;
            }
            linked_ = true;
        }
        return true;
    }

    const std::string& slavePath() const { return slavePath_; }

    // Serves until a signal arrives on `signalFd`.
    void run(int signalFd) {
        std::vector<std::uint8_t> buffer(4096);
        for (;;) {
            // Sleep until the next batch is due (to the nanosecond: a coarser
            // wait would make the simulated wire slower than the one it models).
            std::optional<std::chrono::nanoseconds> wait;
            if (blocked_) {
                wait = std::chrono::seconds(1);
            } else if (!pending_.empty()) {
                wait = std::clamp<std::chrono::nanoseconds>(nextSend() - Clock::now(),
                                                            std::chrono::nanoseconds{0},
                                                            std::chrono::seconds(1));
            }
            timespec ts{};
            if (wait) {
                ts.tv_sec = static_cast<time_t>(wait->count() / 1000000000);
                ts.tv_nsec = static_cast<long>(wait->count() % 1000000000);
            }
            const short events = static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0));
            pollfd fds[2] = {{signalFd, POLLIN, 0}, {master_, events, 0}};
            const int n = ppoll(fds, master_ >= 0 ? 2 : 1, wait ? &ts : nullptr, nullptr);
            if (n < 0 && errno != EINTR)
                return;
            if (fds[0].revents & POLLIN)
                return;
            if (fds[1].revents & POLLOUT)
                blocked_ = false;
            if (master_ >= 0 && (fds[1].revents & POLLIN)) {
                const ssize_t got = ::read(master_, buffer.data(), buffer.size());
                if (got > 0)
                    incoming({buffer.data(), static_cast<std::size_t>(got)});
            }
            sendDue();
            writeLog();
            if (master_ >= 0 && radio_.cablePulled()) {
                // The cable is gone: the port vanishes until the simulator is restarted.
                std::fprintf(stderr, "vkt-radio-sim: cable pulled\n");
                closePty();
            }
        }
    }

    void closePty() {
        if (linked_)
            unlink(options_.link.c_str());
        linked_ = false;
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
        slave_ = master_ = -1;
        pending_.clear();
        blocked_ = false;
    }

    void writeLog() {
        if (options_.logFile.empty())
            return;
        const auto entries = radio_.requestLogSince(logged_);
        if (entries.empty())
            return;
        std::ofstream out(options_.logFile, std::ios::app);
        for (const auto& e : entries)
            out << vkt::sim::formatLogEntry(e) << '\n';
        logged_ += entries.size();
    }

  private:
    std::uint32_t hostRate() const {
        return vkt::sim::terminalRate(master_).value_or(radio_.lineRate());
    }

    void incoming(std::span<const std::uint8_t> bytes) {
        const std::uint32_t rate = hostRate();
        const auto perByte = vkt::sim::pacedByteTime(rate, radio_.timing().paceFactor);
        // A long write reaches the master in pieces; each piece goes on the
        // wire after the one before, so its echo follows that one's in order.
        const auto start = std::max(Clock::now(), hostFree_);
        hostFree_ = start + perByte * static_cast<std::int64_t>(bytes.size());
        std::vector<WireByte> out;
        if (radio_.echo())
            appendEcho(bytes, perByte, start, out);
        radio_.receive(bytes, rate, start, out);
        vkt::sim::mergeByDue(pending_, out);
    }

    // Reply bytes go to the pty in batches, as a USB cable delivers them in
    // packets: at most one batch per kBatchTime of wire time (divided by the
    // pace factor), and at once when every pending byte is due, so the last
    // byte of a reply is never held back.
    Clock::time_point nextSend() const {
        const double pace = radio_.timing().paceFactor;
        const auto batch =
            pace > 0 ? std::chrono::duration_cast<std::chrono::nanoseconds>(kBatchTime / pace)
                     : std::chrono::nanoseconds{0};
        return std::min(std::max(pending_.front().due, lastSend_ + batch), pending_.back().due);
    }

    void sendDue() {
        if (master_ < 0 || pending_.empty() || blocked_)
            return;
        const auto now = Clock::now();
        if (now < nextSend())
            return;
        lastSend_ = now;
        const std::uint32_t rate = hostRate();
        std::vector<std::uint8_t> chunk;
        while (!pending_.empty() && pending_.front().due <= now) {
            const WireByte& b = pending_.front();
            chunk.push_back(b.rate != 0 && b.rate != rate ? vkt::sim::garbleByte(b.value)
                                                          : b.value);
            pending_.pop_front();
        }
        std::size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t w = ::write(master_, chunk.data() + done, chunk.size() - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                // The host is not reading: keep the rest (already judged) and
                // wait for room without blocking the signal.
                for (std::size_t i = chunk.size(); i > done; --i) {
                    pending_.push_front(WireByte{chunk[i - 1], 0, now});
                }
                blocked_ = true;
                return;
            } else {
                return;  // the host side went away; bytes are lost as on a real line
            }
        }
    }

    vkt::sim::SimRadio& radio_;
    const Options& options_;
    int master_ = -1;
    int slave_ = -1;
    bool linked_ = false;
    std::string slavePath_;
    static constexpr std::chrono::duration<double> kBatchTime = std::chrono::milliseconds(1);

    std::deque<WireByte> pending_;
    Clock::time_point lastSend_{};
    Clock::time_point hostFree_{};  // when the host's last byte has left
    bool blocked_ = false;  // the pty's buffer was full at the last write
    std::size_t logged_ = 0;
};

bool writeDumps(const vkt::sim::SimRadio& radio, const Options& o) {
    bool ok = true;
    vkt::sim::DumpFiles files;
    if (!o.dumpFlash.empty()) {
        ok &= vkt::sim::writeBinaryFile(o.dumpFlash, radio.flash(0, radio.flashSize()));
        files.flashImage = o.dumpFlash;
    }
    if (!o.dumpMemory.empty()) {
        ok &= vkt::sim::writeBinaryFile(
            o.dumpMemory, radio.memory(vkt::sim::kPersonalityStart, vkt::sim::kPersonalitySize));
        files.memoryWindow = o.dumpMemory;
    }
    if (!o.dumpFile.empty()) {
        std::ofstream out(o.dumpFile, std::ios::trunc);
        out << vkt::sim::stateJson(radio, files);
        ok &= static_cast<bool>(out);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Simulated radio served on a pseudo-terminal."};
    vkt::sim::addRadioOptions(app, o.radio);
    app.add_option("--link", o.link, "Make a symbolic link PATH to the pty (removed at exit)");
    app.add_option("--log", o.logFile, "Append one line per request to FILE");
    app.add_option("--dump", o.dumpFile, "Write a JSON state summary to FILE on exit");
    app.add_option("--dump-flash", o.dumpFlash, "Write the raw flash image to FILE on exit");
    app.add_option("--dump-memory", o.dumpMemory,
                   "Write radio memory 0x820000..0x82FFFF to FILE on exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help exits 0; every usage error exits 2.
        return app.exit(e) == 0 ? 0 : 2;
    }

    vkt::sim::RadioConfig config;
    std::string error;
    if (!vkt::sim::buildRadioConfig(o.radio, config, error)) {
        std::fprintf(stderr, "vkt-radio-sim: %s\n", error.c_str());
        return 2;
    }
    vkt::sim::SimRadio radio(std::move(config));
    radio.setStatsFile(o.radio.statsFile);
    if (!vkt::sim::preloadRadio(o.radio, radio, error)) {
        std::fprintf(stderr, "vkt-radio-sim: %s\n", error.c_str());
        return 2;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::perror("vkt-radio-sim: signalfd");
        return 1;
    }

    int status = 0;
    {
        PtyServer server(radio, o);
        if (!server.open(error)) {
            std::fprintf(stderr, "vkt-radio-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", server.slavePath().c_str());
        std::fflush(stdout);
        server.run(signalFd);
        server.writeLog();
    }
    if (!writeDumps(radio, o)) {
        std::fprintf(stderr, "vkt-radio-sim: could not write every state file\n");
        status = 1;
    }
    close(signalFd);
    return status;
}
