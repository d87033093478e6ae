// vkt-radio-sim: serves one simulated radio on a pseudo-terminal, so the
// tool's termios back-end (and anything else that opens a serial port) can
// talk to it. Prints the slave path, optionally links it to a fixed name,
// and on SIGTERM or SIGINT writes the requested state files and exits 0.
// With --state FILE the radio lives on between runs: it is loaded from FILE
// at start and written back at exit, so stopping the simulator and starting
// it again with the same file is switching the radio off and on.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "core/file_io.h"
#include "core/version.h"
#include "sim/pty_rate.h"
#include "sim/pty_server.h"
#include "sim/radio_options.h"
#include "sim/sim_radio.h"
#include "sim/state_dump.h"

namespace {

struct Options {
    vkt::sim::RadioOptions radio;
    std::string link, logFile, dumpFile, dumpFlash, dumpMemory, stateFile;
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

    // Serves until a signal arrives on `signalFd`. A pulled cable takes the
    // port away until the simulator is restarted.
    void run(int signalFd) {
        vkt::sim::PtyRadioServer server(radio_, master_);
        const auto end = server.run(signalFd, [this] { writeLog(); });
        if (end != vkt::sim::PtyRadioServer::End::CablePulled)
            return;
        std::fprintf(stderr, "vkt-radio-sim: cable pulled\n");
        closePty();
        pollfd p{signalFd, POLLIN, 0};
        while (poll(&p, 1, -1) < 0 && errno == EINTR) {
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
    vkt::sim::SimRadio& radio_;
    const Options& options_;
    int master_ = -1;
    int slave_ = -1;
    bool linked_ = false;
    std::string slavePath_;
    std::size_t logged_ = 0;
};

bool writeDumps(const vkt::sim::SimRadio& radio, const Options& o) {
    bool ok = true;
    if (!o.stateFile.empty()) {
        // Never half a radio, whenever the program stops.
        ok &= vkt::writeFileAtomically(o.stateFile, radio.saveState());
    }
    vkt::sim::DumpFiles files;
    if (!o.dumpFlash.empty()) {
        ok &= vkt::writeFileAtomically(o.dumpFlash, radio.flash(0, radio.flashSize()));
        files.flashImage = o.dumpFlash;
    }
    if (!o.dumpMemory.empty()) {
        ok &= vkt::writeFileAtomically(
            o.dumpMemory, radio.memory(vkt::sim::kPersonalityStart, vkt::sim::kPersonalitySize));
        files.memoryWindow = o.dumpMemory;
    }
    if (!o.dumpFile.empty()) {
        // Written last and whole, so a reader that sees the summary also
        // finds the dumps it names complete.
        const std::string summary = vkt::sim::stateJson(radio, files);
        ok &= vkt::writeFileAtomically(
            o.dumpFile, {reinterpret_cast<const std::uint8_t*>(summary.data()), summary.size()});
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Simulated radio served on a pseudo-terminal."};
    app.set_version_flag("--version", vkt::versionLine("vkt-radio-sim"),
                         "Print the tool's version and exit");
    vkt::sim::addRadioOptions(app, o.radio);
    app.add_option("--link", o.link, "Make a symbolic link PATH to the pty (removed at exit)");
    app.add_option("--log", o.logFile, "Append one line per request to FILE");
    app.add_option("--dump", o.dumpFile, "Write a JSON state summary to FILE on exit");
    app.add_option("--dump-flash", o.dumpFlash, "Write the raw flash image to FILE on exit");
    app.add_option("--dump-memory", o.dumpMemory,
                   "Write radio memory 0x820000..0x82FFFF to FILE on exit");
    app.add_option("--state", o.stateFile,
                   "Load the radio from FILE when it exists and write it back there on exit "
                   "(the identity, flash and memory; the radio options above apply to a new one)");
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
    if (!o.stateFile.empty() && access(o.stateFile.c_str(), F_OK) == 0) {
        std::vector<std::uint8_t> bytes;
        if (!vkt::readFile(o.stateFile, bytes) || !radio.loadState(bytes, error)) {
            std::fprintf(stderr, "vkt-radio-sim: %s: %s\n", o.stateFile.c_str(),
                         error.empty() ? "cannot be read" : error.c_str());
            return 2;
        }
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
