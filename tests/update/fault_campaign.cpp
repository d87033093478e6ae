// The fault campaign: full updates (firmware, default block, voice prompts,
// personality kept) of simulated radios of types 0, 1 and 2, each with one
// fault injected at a random request of the run: a reply byte dropped or
// corrupted, a reply delayed past the read time-out, a missing acknowledge,
// a wrong reply opcode, or the cable pulled. Every run is then judged:
//   - a run that succeeded must have written the package and kept the
//     personality (user data areas and serial number);
//   - a run that failed must fail cleanly (a reason on the error stack, the
//     command's end posted), and the radio must take the same update again
//     without faults; after that the personality must be what it was, either
//     as the update carried it or once the failed run's backup file has been
//     written back.
// The update is what the application does: the programming command, then the
// serial number written back when a committed default block reset it.
//
//   vkt-fault-campaign [--runs N] [--seed S] [--bound-ms MS] [--verbose]
//                      [--type T --fault KIND@rN...]
//
// --type and --fault run one update with that fault (the simulator's fault
// syntax, e.g. "delay@r22:1041") to reproduce a run of the table.
// Deterministic for a seed. Prints one table; exits 1 when any run lost or
// corrupted data, failed uncleanly, could not be updated again, or took
// longer than the bound (a hang), 2 on bad usage.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "link/cable_backends.h"
#include "link/radio_info.h"
#include "tests/update/update_bench.h"
#include "update/cmd_sn.h"

namespace vkt::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int runs = 50;
    std::uint64_t seed = 1;
    std::chrono::milliseconds bound{60000};
    bool verbose = false;
    int type = -1;  // with `fault`: one run of this radio type
    std::optional<sim::Fault> fault;
    std::string trace;  // wire trace of the faulty run
};

struct Tally {
    int runs = 0;
    int faults = 0;
    int completed = 0;
    int cleanFailures = 0;
    int reupdated = 0;
    int restored = 0;
    int powerCycles = 0;
    int lostData = 0;
    int uncleanFailures = 0;
    int failedReupdates = 0;
    int hangs = 0;
    int setupFailures = 0;
    std::map<std::string, int> byKind;
    std::vector<std::string> problems;
};

const char* kindName(sim::FaultKind kind) {
    switch (kind) {
        case sim::FaultKind::DropByte: return "byte dropped";
        case sim::FaultKind::CorruptByte: return "byte corrupted";
        case sim::FaultKind::CorruptChecksum: return "checksum corrupted";
        case sim::FaultKind::Delay: return "reply delayed";
        case sim::FaultKind::OmitAck: return "acknowledge missing";
        case sim::FaultKind::WrongOpcode: return "wrong opcode";
        case sim::FaultKind::PullCable: return "cable pulled";
    }
    return "?";
}

// What a clean run of one radio type looks like: the number of the last
// request of the connection and the requests of the update with their reply
// lengths (acknowledge and frame), so that faults land inside real replies.
struct CleanRun {
    std::uint64_t connectRequests = 0;
    std::vector<std::pair<std::uint64_t, std::size_t>> requests;
};

std::size_t replyLength(const RequestLogEntry& e) {
    // Acknowledge, header, opcode, checksum and a few data bytes at least;
    // the exact length matters little: an offset past the end is no fault,
    // and the campaign counts the fault as injected but harmless then.
    return e.replyOpcode < 0 ? 0 : 6 + (e.opcode == 0x11 || isFlash(e, 3) ? e.length : 0);
}

bool recordCleanRun(int type, CleanRun& clean, std::string& error) {
    UpdateBench b(type);
    if (!b.ready || !b.connect()) {
        error = "clean run: " + b.setupError + allErrorTexts();
        return false;
    }
    clean.connectRequests = b.sim->requestLog().empty() ? 0 : b.sim->requestLog().back().number;
    CmdProgram cmd;
    b.configureFull(cmd);
    if (!b.runCommand(cmd)) {
        error = "clean run failed: " + allErrorTexts();
        return false;
    }
    for (const auto& e : b.sim->requestLog())
        if (e.number > clean.connectRequests)
            clean.requests.emplace_back(e.number, replyLength(e));
    return !clean.requests.empty();
}

// The update as the application runs it. `serialBefore` is the serial
// number the radio reported before the update.
bool runUpdate(UpdateBench& b, CmdProgram& cmd, std::chrono::milliseconds bound, bool& finished) {
    const auto serialBefore = b.radio->serialNumber;
    b.configureFull(cmd);
    const bool ok = b.runCommandWithin(cmd, bound, finished);
    if (!ok || !finished)
        return false;
    if (!b.radio->readIdentity())
        return false;
    std::string serial;
    if (serialNumberText(b.radio->serialNumber, serial) && serial == sim::kDefaultSerial &&
        b.radio->serialNumber != serialBefore) {
        CmdSN sn;
        sn.radio = b.radio.get();
        sn.newSerialNumber = serialBefore;
        if (!b.runCommand(sn) || !b.radio->readIdentity())
            return false;
    }
    return true;
}

// What differs from the expected state after a successful update; empty
// when nothing does.
std::string differences(UpdateBench& b, const std::string& serialBefore, bool packageWritten) {
    std::string out;
    if (!(b.personality() == b.before))
        out += " personality";
    if (b.sim->serialNumber() != serialBefore)
        out += " serial(" + b.sim->serialNumber() + ")";
    if (packageWritten) {
        const int type = b.sim->radioType();
        if (b.sim->flash(0, b.firmware.size()) != b.firmware)
            out += " firmware";
        if (b.sim->flash(flashLayout(type, BlockKind::DEF), kWindowSize) != b.defaultBlock)
            out += " default";
        if (b.sim->flash(flashLayout(type, BlockKind::VOI), kVoiSize) != b.voice)
            out += " voice";
    }
    return out;
}

sim::Fault drawFault(std::mt19937_64& rng, const CleanRun& clean, const Options& options) {
    if (options.fault)
        return *options.fault;
    static const sim::FaultKind kinds[] = {
        sim::FaultKind::DropByte, sim::FaultKind::CorruptByte, sim::FaultKind::Delay,
        sim::FaultKind::OmitAck,  sim::FaultKind::WrongOpcode, sim::FaultKind::PullCable,
    };
    auto pick = [&rng](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
    sim::Fault f;
    f.kind = kinds[pick(std::size(kinds))];
    f.trigger = sim::FaultTrigger::Request;
    const auto& [number, length] = clean.requests[pick(clean.requests.size())];
    f.at = number;
    f.count = 1;
    switch (f.kind) {
        case sim::FaultKind::DropByte:
            f.offset = static_cast<std::uint32_t>(pick(std::max<std::size_t>(length, 1)));
            break;
        case sim::FaultKind::CorruptByte:
            f.offset = static_cast<std::uint32_t>(pick(std::max<std::size_t>(length, 1)));
            f.value = static_cast<std::uint32_t>(1 + pick(255));
            break;
        case sim::FaultKind::Delay:
            // Past the read time-out of every request (at most 300 ms per
            // read, two reads), so the first attempt is lost.
            f.value = static_cast<std::uint32_t>(700 + pick(600));
            break;
        default:
            break;
    }
    return f;
}

void runOne(int index, int type, const CleanRun& clean, std::mt19937_64& rng,
            const Options& options, Tally& tally) {
    const sim::Fault fault = drawFault(rng, clean, options);
    ++tally.runs;
    ++tally.faults;
    ++tally.byKind[kindName(fault.kind)];
    const std::string label =
        fmt::format("run {} (type {}, {} at request {})", index, type, sim::describeFault(fault),
                    fault.at);
    auto problem = [&](const std::string& what) {
        tally.problems.push_back(label + ": " + what);
    };

    UpdateBench b(type);
    std::string traceError;
    if (!options.trace.empty())
        b.radio = std::make_unique<RadioInfo>(wrapWithTrace(b.driver, options.trace, traceError));
    if (!b.ready || !traceError.empty() || !b.connect()) {
        ++tally.setupFailures;
        problem("set-up failed: " + b.setupError + traceError + allErrorTexts());
        return;
    }
    const std::string serialBefore = b.sim->serialNumber();
    b.sim->setFaults({fault});
    CmdProgram cmd;
    bool finished = false;
    const auto start = Clock::now();
    const bool ok = runUpdate(b, cmd, options.bound, finished);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (!finished || elapsed > options.bound) {
        ++tally.hangs;
        problem(fmt::format("no end within {} ms", options.bound.count()));
        if (!finished) {
            // The worker still runs the command; the bench cannot be torn
            // down under it.
            std::fprintf(stderr, "%s: hang, stopping; the radio's last requests:\n",
                         label.c_str());
            const auto log = b.sim->requestLog();
            for (std::size_t i = log.size() > 6 ? log.size() - 6 : 0; i < log.size(); ++i)
                std::fprintf(stderr, "  %s\n", sim::formatLogEntry(log[i]).c_str());
            std::fflush(stdout);
            std::_Exit(1);
        }
        return;
    }
    if (options.verbose)
        std::printf("%s: %s in %lld ms\n", label.c_str(), ok ? "completed" : "failed",
                    static_cast<long long>(elapsed.count()));

    if (ok) {
        ++tally.completed;
        const std::string diff = differences(b, serialBefore, true);
        if (!diff.empty()) {
            ++tally.lostData;
            problem("reported success but differs:" + diff);
        }
        return;
    }

    const bool cleanFailure = !errorEntries().empty() && b.owner.count(WM_CMD_END) == 1;
    if (cleanFailure) {
        ++tally.cleanFailures;
    } else {
        ++tally.uncleanFailures;
        problem("failed without a reason or without its end message");
    }
    const std::string backup = cmd.backupPath();
    if (options.verbose)
        std::printf("  %s\n", firstErrorText().c_str());

    // Again, without faults, as the user would: the tool started afresh.
    // After a pulled cable the radio may still be at the fast line rate the
    // update had set (nobody could tell it otherwise), so the user plugs the
    // cable back in and switches the radio off and on; after any other
    // fault the tool must have left the radio ready by itself.
    b.sim->setFaults({});
    if (fault.kind == sim::FaultKind::PullCable) {
        b.powerCycle();
        ++tally.powerCycles;
    } else {
        b.attach();
    }
    removeErrors(0);
    CmdProgram again;
    const bool connected = b.connect();
    bool finishedAgain = false;
    if (!connected || !runUpdate(b, again, options.bound, finishedAgain)) {
        ++tally.failedReupdates;
        problem(std::string("the update without faults failed afterwards: ") +
                (connected ? "" : "no connection. ") + allErrorTexts());
        if (connected && !finishedAgain) {
            std::fprintf(stderr, "%s: the update without faults hangs, stopping\n", label.c_str());
            std::fflush(stdout);
            std::_Exit(1);
        }
        return;
    }
    ++tally.reupdated;
    std::string diff = differences(b, serialBefore, true);
    if (!diff.empty() && !backup.empty()) {
        std::string error;
        if (restoreFromBackup(b, backup, error)) {
            ++tally.restored;
            diff = differences(b, serialBefore, true);
        } else {
            diff += " (" + error + ")";
        }
    }
    if (!diff.empty()) {
        ++tally.lostData;
        problem("data lost or corrupted:" + diff);
    }
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        char* end = nullptr;
        if (arg == "--runs" || arg == "--seed" || arg == "--bound-ms") {
            const char* v = value();
            if (v == nullptr)
                return false;
            const unsigned long long n = std::strtoull(v, &end, 10);
            if (end == v || *end != '\0')
                return false;
            if (arg == "--runs")
                o.runs = static_cast<int>(n);
            else if (arg == "--seed")
                o.seed = n;
            else
                o.bound = std::chrono::milliseconds(n);
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else if (arg == "--trace") {
            const char* v = value();
            if (v == nullptr)
                return false;
            o.trace = v;
        } else if (arg == "--type") {
            const char* v = value();
            if (v == nullptr || std::strlen(v) != 1 || v[0] < '0' || v[0] > '2')
                return false;
            o.type = v[0] - '0';
        } else if (arg == "--fault") {
            const char* v = value();
            sim::Fault f;
            std::string error;
            if (v == nullptr || !sim::parseFault(v, f, error))
                return false;
            o.fault = f;
        } else {
            return false;
        }
    }
    if (o.fault.has_value() != (o.type >= 0))
        return false;
    if (o.fault)
        o.runs = 1;
    return o.runs > 0 && o.bound.count() > 0;
}

int campaign(const Options& options) {
    std::map<int, CleanRun> clean;
    for (int type = 0; type <= 2; ++type) {
        std::string error;
        if (!recordCleanRun(type, clean[type], error)) {
            std::fprintf(stderr, "fault campaign: radio type %d: %s\n", type, error.c_str());
            return 1;
        }
    }
    std::mt19937_64 rng(options.seed);
    Tally tally;
    const auto start = Clock::now();
    for (int i = 1; i <= options.runs; ++i) {
        const int type = options.type >= 0 ? options.type : (i - 1) % 3;
        runOne(i, type, clean[type], rng, options, tally);
        removeErrors(0);
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::duration<double>>(Clock::now() - start).count();

    std::printf("fault campaign: seed %llu, %.1f s\n", static_cast<unsigned long long>(options.seed),
                seconds);
    auto row = [](const char* name, int value) { std::printf("  %-44s %6d\n", name, value); };
    row("runs", tally.runs);
    row("faults injected", tally.faults);
    for (const auto& [kind, n] : tally.byKind)
        std::printf("    %-42s %6d\n", kind.c_str(), n);
    row("updates completed (fault absorbed)", tally.completed);
    row("clean failures", tally.cleanFailures);
    row("  radio switched off and on (cable pulled)", tally.powerCycles);
    row("  updated again without faults", tally.reupdated);
    row("  personality restored from the backup", tally.restored);
    row("lost or corrupted data", tally.lostData);
    row("unclean failures", tally.uncleanFailures);
    row("failed re-updates", tally.failedReupdates);
    row("hangs (over the time bound)", tally.hangs);
    row("set-up failures", tally.setupFailures);
    for (const auto& p : tally.problems)
        std::printf("  ! %s\n", p.c_str());
    const bool bad = tally.lostData || tally.uncleanFailures || tally.failedReupdates ||
                     tally.hangs || tally.setupFailures;
    std::printf("fault campaign: %s\n", bad ? "FAILED" : "passed");
    return bad ? 1 : 0;
}

}  // namespace
}  // namespace vkt::testing

int main(int argc, char** argv) {
    vkt::testing::Options options;
    if (!vkt::testing::parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: vkt-fault-campaign [--runs N] [--seed S] [--bound-ms MS] "
                     "[--verbose] [--type 0|1|2 --fault KIND@rN[:VALUE][+OFFSET]]\n");
        return 2;
    }
    return vkt::testing::campaign(options);
}
