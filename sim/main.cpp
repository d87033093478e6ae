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

#include "sim/pty_rate.h"
#include "sim/sim_radio.h"
#include "sim/state_dump.h"

namespace {

using vkt::sim::appendEcho;
using vkt::sim::Clock;
using vkt::sim::WireByte;

struct Options {
    int radioType = 0;
    std::string serial = vkt::sim::kDefaultSerial;
    std::string model = "QX7500A";
    std::string firmware = "R01.02.03";
    std::string codeplug = "R01.02.03";
    std::uint32_t statusWord = 0;
    bool refuseSerial = false;
    bool noEcho = false;
    double pace = 0.0;
    std::int64_t erase64kUs = -1, erase4kUs = -1, programUs = -1, turnaroundUs = -1;
    std::size_t flashSize = vkt::sim::kDefaultFlashSize;
    std::vector<std::string> faults;
    std::vector<std::string> loadFlash;
    std::vector<std::string> loadMemory;
    std::string link, logFile, dumpFile, dumpFlash, dumpMemory;
};

bool readFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// "FILE@ADDR" (ADDR in C notation, default `defaultAddress`).
bool preload(const std::string& source, std::uint32_t defaultAddress, bool needAddress,
             std::vector<std::uint8_t>& bytes, std::uint32_t& address) {
    std::string path = source;
    address = defaultAddress;
    const auto at = source.rfind('@');
    if (at != std::string::npos) {
        path = source.substr(0, at);
        char* end = nullptr;
        const std::string number = source.substr(at + 1);
        const unsigned long v = std::strtoul(number.c_str(), &end, 0);
        if (number.empty() || *end || v > 0xFFFFFF)
            return false;
        address = static_cast<std::uint32_t>(v);
    } else if (needAddress) {
        return false;
    }
    return readFile(path, bytes);
}

bool buildRadio(const Options& o, vkt::sim::RadioConfig& config, std::string& error) {
    config.radioType = o.radioType;
    if (o.serial.size() != 10) {
        error = "the serial number must have 10 characters";
        return false;
    }
    config.serialNumber = o.serial;
    if (!vkt::sim::modelRecordFromText(o.model, config.modelRecord)) {
        error = "the model must have 1 to 11 characters";
        return false;
    }
    if (!vkt::sim::parseVersionText(o.firmware, true, config.firmwareVersion) ||
        !vkt::sim::parseVersionText(o.codeplug, false, config.codeplugVersion)) {
        error = "versions are written like R01.02.03";
        return false;
    }
    config.statusWord = static_cast<std::uint16_t>(o.statusWord);
    config.statusFlags = o.refuseSerial ? 0x02 : 0x00;
    config.echo = !o.noEcho;
    config.flashSize = o.flashSize;
    config.timing.paceFactor = o.pace;
    using us = std::chrono::microseconds;
    if (o.erase64kUs >= 0)
        config.timing.erase64k = us(o.erase64kUs);
    if (o.erase4kUs >= 0)
        config.timing.erase4k = us(o.erase4kUs);
    if (o.programUs >= 0)
        config.timing.programPerByte = us(o.programUs);
    if (o.turnaroundUs >= 0)
        config.timing.turnaround = us(o.turnaroundUs);
    for (const auto& text : o.faults) {
        vkt::sim::Fault f;
        if (!vkt::sim::parseFault(text, f, error))
            return false;
        config.faults.push_back(f);
    }
    return true;
}

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
            int timeoutMs = -1;
            if (blocked_) {
                timeoutMs = 1000;
            } else if (!pending_.empty()) {
                const auto wait = pending_.front().due - Clock::now();
                timeoutMs = static_cast<int>(std::clamp<std::int64_t>(
                    std::chrono::ceil<std::chrono::milliseconds>(wait).count(), 0, 1000));
            }
            const short events = static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0));
            pollfd fds[2] = {{signalFd, POLLIN, 0}, {master_, events, 0}};
            const int n = poll(fds, master_ >= 0 ? 2 : 1, timeoutMs);
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
        const auto now = Clock::now();
        const std::uint32_t rate = hostRate();
        std::vector<WireByte> out;
        if (radio_.echo())
            appendEcho(bytes, vkt::sim::pacedByteTime(rate, radio_.timing().paceFactor), now, out);
        radio_.receive(bytes, rate, now, out);
        vkt::sim::mergeByDue(pending_, out);
    }

    void sendDue() {
        if (master_ < 0 || pending_.empty() || blocked_)
            return;
        const auto now = Clock::now();
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
    std::deque<WireByte> pending_;
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
    app.add_option("--type", o.radioType, "Radio type 0, 1 or 2 (default 0)")
        ->check(CLI::Range(0, 2));
    app.add_option("--serial", o.serial, "Serial number, 10 characters (default 158THL0001)");
    app.add_option("--model", o.model, "Model record text, up to 11 characters (default QX7500A)");
    app.add_option("--firmware", o.firmware, "Firmware version like R01.02.03 (last two hex)");
    app.add_option("--codeplug", o.codeplug, "Codeplug version like R01.02.03");
    app.add_option("--status", o.statusWord, "Status word for status selector 1 (default 0)")
        ->check(CLI::Range(0, 0xFFFF));
    app.add_flag("--refuse-sn", o.refuseSerial, "Refuse serial-number updates (status flag 0x02)");
    app.add_flag("--no-echo", o.noEcho, "Do not echo host bytes (a cable in digital mode)");
    app.add_option("--pace", o.pace,
                   "Pace factor: 1 = real line and radio timing, 10 = ten times faster, "
                   "0 = instant (default)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--erase64k-us", o.erase64kUs, "Time of a 64 KB erase in microseconds (500000)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--erase4k-us", o.erase4kUs, "Time of a 4 KB erase in microseconds (45000)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--program-us", o.programUs, "Flash programming time per byte in us (6)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--turnaround-us", o.turnaroundUs, "Turnaround per request in us (1000)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--flash-size", o.flashSize, "Flash size in bytes (default 4 MiB)")
        ->check(CLI::Range(std::size_t{0x10000}, std::size_t{0x1000000}));
    app.add_option("--fault", o.faults,
                   "Fault KIND@rN or KIND@bN[:VALUE][+OFFSET][xCOUNT]; kinds drop, corrupt, "
                   "checksum, delay, noack, opcode, pull (repeatable)");
    app.add_option("--load-flash", o.loadFlash, "Preload flash: FILE[@ADDR] (repeatable)");
    app.add_option("--load-memory", o.loadMemory, "Preload radio memory: FILE@ADDR (repeatable)");
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
    if (!buildRadio(o, config, error)) {
        std::fprintf(stderr, "vkt-radio-sim: %s\n", error.c_str());
        return 2;
    }
    vkt::sim::SimRadio radio(std::move(config));
    for (const auto& source : o.loadFlash) {
        std::vector<std::uint8_t> bytes;
        std::uint32_t address = 0;
        if (!preload(source, 0, false, bytes, address)) {
            std::fprintf(stderr, "vkt-radio-sim: cannot load flash from %s\n", source.c_str());
            return 2;
        }
        radio.loadFlash(address, bytes);
    }
    for (const auto& source : o.loadMemory) {
        std::vector<std::uint8_t> bytes;
        std::uint32_t address = 0;
        if (!preload(source, 0, true, bytes, address)) {
            std::fprintf(stderr, "vkt-radio-sim: cannot load memory from %s (FILE@ADDR)\n",
                         source.c_str());
            return 2;
        }
        radio.loadMemory(address, bytes);
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
