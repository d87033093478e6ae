// The fault campaign: full updates (firmware, default block, voice prompts,
// personality kept) of simulated radios of types 0, 1 and 2, run through the
// application's Update flow (its journal, its questions answered Yes), each
// with one fault injected at a random request of the flow: a reply byte
// dropped or corrupted, a reply delayed past the read time-out, a missing
// acknowledge, a wrong reply opcode, a refusal, or the cable pulled. Every run is then
// judged:
//   - an update that succeeded must have written the package and kept the
//     personality (user data areas, user-defined voice, serial number);
//   - an update that failed must say why. Then the user's path: the cable is
//     plugged back in, the radio switched off and on (it then reports what a
//     real one would: the firmware it adopted, the codeplug it committed),
//     and a plain update runs. It must succeed, and the personality and the
//     serial number must be those from before the first run, in every run:
//     whatever the broken run erased, the update journal's pending run
//     brings back.
//
//   vkt-fault-campaign [--runs N] [--seed S] [--bound-ms MS] [--verbose]
//                      [--type T --fault KIND@rN...] [--trace FILE]
//
// --type and --fault run one update with that fault (the simulator's fault
// syntax, e.g. "delay@r22:1041") to reproduce a run of the table.
// Deterministic for a seed. Prints one table; exits 1 when any run lost or
// corrupted data, failed without a reason, could not be updated again, or
// took longer than the bound (a hang), 2 on bad usage.
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

#include "app/application.h"
#include "app/main_controller.h"
#include "core/file_io.h"
#include "link/cable_backends.h"
#include "package/config_document.h"
#include "sim/state_dump.h"
#include "tests/update/update_bench.h"
#include "update/radio_traits.h"

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
    int completedIntact = 0;
    int failures = 0;
    int pendingAfterFailure = 0;
    int recovered = 0;
    int intactAfterPlainUpdate = 0;
    int lostData = 0;
    int silentFailures = 0;
    int failedReupdates = 0;
    int hangs = 0;
    int setupFailures = 0;
    std::map<std::string, int> byKind;
    std::vector<std::string> problems;
};

const char* kindName(sim::FaultKind kind) {
    switch (kind) {
        case sim::FaultKind::DropByte:
            return "byte dropped";
        case sim::FaultKind::CorruptByte:
            return "byte corrupted";
        case sim::FaultKind::CorruptChecksum:
            return "checksum corrupted";
        case sim::FaultKind::Delay:
            return "reply delayed";
        case sim::FaultKind::OmitAck:
            return "acknowledge missing";
        case sim::FaultKind::WrongOpcode:
            return "wrong opcode";
        case sim::FaultKind::PullCable:
            return "cable pulled";
        case sim::FaultKind::Refuse:
            return "request refused";
    }
    return "?";
}

constexpr const char* kModel = "VK2150EMA01";
constexpr const char* kSerial = "471ABC0042";

// The front end of the campaign: every question answered Yes, the wait for
// a batch bounded (a batch that does not end is a hang: the campaign stops,
// as the worker cannot be torn down under it).
class CampaignFrontEnd : public FrontEnd {
  public:
    CampaignFrontEnd(EventLoop& loop, std::chrono::milliseconds bound, std::string& label,
                     sim::SimRadio*& radio)
        : loop_(loop), bound_(bound), label_(label), radio_(radio) {}

    ButtonId showMessage(const std::string& text, MessageStyle style) override {
        messages.push_back(text);
        return isYesNoStyle(style) ? ButtonId::Yes : ButtonId::Ok;
    }
    void runWaitIndicator(const std::function<bool()>& finished) override {
        if (loop_.runUntil(finished, bound_))
            return;
        std::fprintf(stderr, "%s: no end within %lld ms, stopping; the radio's last requests:\n",
                     label_.c_str(), static_cast<long long>(bound_.count()));
        if (radio_ != nullptr) {
            const auto log = radio_->requestLog();
            for (std::size_t i = log.size() > 6 ? log.size() - 6 : 0; i < log.size(); ++i)
                std::fprintf(stderr, "  %s\n", sim::formatLogEntry(log[i]).c_str());
        }
        std::fflush(stdout);
        std::_Exit(1);
    }
    std::optional<std::string> askPassword(bool, const std::string&) override {
        return std::nullopt;
    }

    std::vector<std::string> messages;

  private:
    EventLoop& loop_;
    std::chrono::milliseconds bound_;
    std::string& label_;
    sim::SimRadio*& radio_;
};

// A radio of one type with a personality, an update package made for it
// (configuration, setup file and FTF files in a temporary folder) and the
// application started over it with its Update flow.
class AppBench {
  public:
    AppBench(int type, const Options& options, std::string& label)
        : front(loop, options.bound, label, simRaw) {
        sim::RadioConfig config;
        config.radioType = type;
        config.serialNumber = kSerial;
        sim::modelRecordFromText(kModel, config.modelRecord);
        config.firmwareVersion = {'R', 1, 2, 3};
        config.codeplugVersion = {'R', 1, 2, 3};
        radio = std::make_shared<sim::SimRadio>(std::move(config));
        simRaw = radio.get();
        userVoiceAddress = flashLayout(type, BlockKind::USERVOI);
        loadPersonality(*radio, userVoiceAddress);
        before = personality();

        ready = writePackage();
        if (!ready)
            return;
        std::shared_ptr<CableDriver> driver = std::make_shared<sim::VirtualCableDriver>(radio);
        if (!options.trace.empty()) {
            std::string traceError;
            driver = wrapWithTrace(driver, options.trace, traceError);
            if (!traceError.empty()) {
                setupError = traceError;
                ready = false;
                return;
            }
        }
        StartupOptions startup;
        startup.packageDir = packageDir();
        startup.dataDir = dataDir();
        startup.driver = driver;
        startup.pollPeriod = std::chrono::hours(1);
        startup.queue = &loop;
        const StartupResult result = app.start(startup);
        removeErrors(0);
        if (!result.ok) {
            setupError = "start-up failed: " + result.logLine;
            ready = false;
            return;
        }
        controller = std::make_unique<MainController>(app, front);
        controller->open();
    }
    ~AppBench() {
        controller.reset();
        app.shutdown();
    }

    std::string packageDir() const { return dir.path + "/data"; }
    std::string dataDir() const { return dir.path + "/appdata"; }

    Personality personality() const { return personalityOf(*radio, userVoiceAddress); }

    // What differs from the expected state after a successful update;
    // empty when nothing does.
    std::string differences() const {
        std::string out;
        if (!(personality() == before))
            out += " personality";
        if (radio->serialNumber() != kSerial)
            out += " serial(" + radio->serialNumber() + ")";
        const int type = radio->radioType();
        if (radio->flash(0, firmware.size()) != firmware)
            out += " firmware";
        if (radio->flash(flashLayout(type, BlockKind::DEF), kWindowSize) != defaultBlock)
            out += " default";
        if (radio->flash(flashLayout(type, BlockKind::VOI), kVoiSize) != voice)
            out += " voice";
        return out;
    }

    std::vector<JournalRun> pendingRuns() {
        UpdateJournal journal(updateJournalPath(dataDir()));
        std::string error;
        return journal.open(error) ? journal.pendingRuns() : std::vector<JournalRun>{};
    }

    TempDir dir;
    EventLoop loop;
    sim::SimRadio* simRaw = nullptr;
    CampaignFrontEnd front;
    std::shared_ptr<sim::SimRadio> radio;
    std::uint32_t userVoiceAddress = 0;
    Personality before;
    Bytes firmware, defaultBlock, voice;
    Application app;
    std::unique_ptr<MainController> controller;
    bool ready = false;
    std::string setupError;

  private:
    bool writePackage() {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::create_directories(packageDir(), ec);
        fs::create_directories(dataDir() + "/data", ec);
        firmware = firmwareImage();
        // The default block names its codeplug version first, as a real one
        // does: a radio that commits it reports that version.
        defaultBlock = {'R', 1, 2, 4};
        const Bytes rest = pattern(kWindowSize - 4, 5);
        defaultBlock.insert(defaultBlock.end(), rest.begin(), rest.end());
        voice = pattern(kVoiSize, 6);
        const std::string version = "R01.02.04";
        const std::string config = fmt::format(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<package id=\"EMEA\" name=\"EMEA\">\n"
            "  <fi name=\"VKT_FW_EMEA\" ver=\"{0}\"/>\n"
            "  <vp name=\"VOICE_\" ver=\"{0}\"/>\n"
            "  <ad name=\"ADDR_\" ver=\"{0}\"/>\n"
            "  <bu>\n"
            "    <bl name=\"DYN\" from=\"\" to=\"\" addr=\"0x820000\" len=\"0x1000\"/>\n"
            "    <bl name=\"CH\" from=\"\" to=\"\" addr=\"0x821000\" len=\"0x1000\"/>\n"
            "    <bl name=\"FRE\" from=\"\" to=\"\" addr=\"0x822000\" len=\"0x1000\"/>\n"
            "    <bl name=\"USERVOI\" from=\"\" to=\"\" addr=\"0x{1:X}\" len=\"0xD800\"/>\n"
            "  </bu>\n"
            "  <mo type=\"VK2\" alias=\"VK-215\" img=\"1\" name=\"{2}\">\n"
            "    <bl name=\"DEF\" ver=\"{0}\"/>\n"
            "  </mo>\n"
            "</package>\n",
            version, userVoiceAddress, kModel);
        const Bytes configBytes(config.begin(), config.end());
        Bytes setup;
        return writeFtf(packageDir() + "/address.ftf", 2, "ADDR_" + version,
                        textBytes(kAddressMapText), setupError) &&
               writeFtf(packageDir() + "/firmware.ftf", 3, "VKT_FW_EMEA", firmware, setupError) &&
               writeFtf(packageDir() + "/default.ftf", 0, std::string(kModel) + "DEF" + version,
                        textBytes(srecText(kDefAddress, defaultBlock)), setupError) &&
               writeFtf(packageDir() + "/voice.ftf", 1, "VOICE_" + version,
                        textBytes(srecText(kVoiAddress, voice)), setupError) &&
               writeFileAtomically(packageDir() + "/config.xml",
                                   scrambleConfigBytes(configBytes)) &&
               readFile(VKT_DEMO_DATA_DIR "/data/setup.dat", setup) &&
               writeFileAtomically(dataDir() + "/data/setup.dat", setup);
    }
};

// The requests of a clean update of one radio type, with their reply
// lengths (acknowledge and frame), so that faults land inside real replies.
struct CleanRun {
    std::vector<std::pair<std::uint64_t, std::size_t>> requests;
};

std::size_t replyLength(const RequestLogEntry& e) {
    // Acknowledge, header, opcode, checksum and a few data bytes at least;
    // the exact length matters little: an offset past the end is no fault,
    // and the campaign counts the fault as injected but harmless then.
    return e.replyOpcode < 0 ? 0 : 6 + (e.opcode == 0x11 || isFlash(e, 3) ? e.length : 0);
}

bool recordCleanRun(int type, const Options& options, CleanRun& clean, std::string& error) {
    std::string label = fmt::format("clean run of type {}", type);
    Options plain = options;
    plain.trace.clear();
    AppBench b(type, plain, label);
    if (!b.ready) {
        error = b.setupError;
        return false;
    }
    const FlowOutcome outcome = b.controller->onUpdate();
    if (!outcome.ok() || !b.differences().empty()) {
        error = "clean run failed: " + outcome.text + b.differences();
        return false;
    }
    for (const auto& e : b.radio->requestLog())
        clean.requests.emplace_back(e.number, replyLength(e));
    return !clean.requests.empty();
}

sim::Fault drawFault(std::mt19937_64& rng, const CleanRun& clean, const Options& options) {
    if (options.fault)
        return *options.fault;
    static const sim::FaultKind kinds[] = {
        sim::FaultKind::DropByte, sim::FaultKind::CorruptByte, sim::FaultKind::Delay,
        sim::FaultKind::OmitAck,  sim::FaultKind::WrongOpcode, sim::FaultKind::PullCable,
        sim::FaultKind::Refuse,
    };
    auto pick = [&rng](std::uint64_t n) {
        return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng);
    };
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
    std::string label = fmt::format("run {} (type {}, {} at request {})", index, type,
                                    sim::describeFault(fault), fault.at);
    auto problem = [&](const std::string& what) { tally.problems.push_back(label + ": " + what); };

    AppBench b(type, options, label);
    if (!b.ready) {
        ++tally.setupFailures;
        problem("set-up failed: " + b.setupError);
        return;
    }
    b.radio->setFaults({fault});
    const auto start = Clock::now();
    const FlowOutcome first = b.controller->onUpdate();
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (elapsed > options.bound) {
        ++tally.hangs;
        problem(fmt::format("took {} ms", elapsed.count()));
    }
    if (options.verbose)
        std::printf("%s: %s in %lld ms%s%s\n", label.c_str(), first.ok() ? "completed" : "failed",
                    static_cast<long long>(elapsed.count()), first.ok() ? "" : ": ",
                    first.text.c_str());

    if (first.ok()) {
        ++tally.completed;
        const std::string diff = b.differences();
        if (!diff.empty()) {
            ++tally.lostData;
            problem("reported success but differs:" + diff);
        } else {
            ++tally.completedIntact;
        }
        return;
    }
    ++tally.failures;
    if (first.text.empty()) {
        ++tally.silentFailures;
        problem("failed without saying why");
    }
    const bool pending = !b.pendingRuns().empty();
    tally.pendingAfterFailure += pending ? 1 : 0;

    // The user's path: the cable back in, the radio off and on, a plain
    // update (every question answered Yes).
    b.radio->setFaults({});
    b.radio->replug();
    b.radio->powerCycle();
    label += " (plain update)";
    const FlowOutcome again = b.controller->onUpdate();
    if (!again.ok()) {
        ++tally.failedReupdates;
        problem("the plain update afterwards failed: " + again.text);
        return;
    }
    if (pending && b.pendingRuns().empty())
        ++tally.recovered;
    const std::string diff = b.differences();
    if (!diff.empty()) {
        ++tally.lostData;
        problem("data lost or corrupted:" + diff);
    } else {
        ++tally.intactAfterPlainUpdate;
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
        if (options.type >= 0 && type != options.type)
            continue;
        std::string error;
        if (!recordCleanRun(type, options, clean[type], error)) {
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

    std::printf("fault campaign: seed %llu, %.1f s\n",
                static_cast<unsigned long long>(options.seed), seconds);
    auto row = [](const char* name, int value) { std::printf("  %-50s %6d\n", name, value); };
    row("runs", tally.runs);
    row("faults injected", tally.faults);
    for (const auto& [kind, n] : tally.byKind)
        std::printf("    %-48s %6d\n", kind.c_str(), n);
    row("updates completed (fault absorbed)", tally.completed);
    row("failed updates", tally.failures);
    row("  of them left a pending run in the journal", tally.pendingAfterFailure);
    row("  radio off and on, then a plain update: succeeded",
        tally.failures - tally.failedReupdates);
    row("  pending runs recovered by the plain update", tally.recovered);
    row("  personality, user voice and serial as before", tally.intactAfterPlainUpdate);
    row("lost or corrupted data", tally.lostData);
    row("failures without a reason", tally.silentFailures);
    row("failed plain updates", tally.failedReupdates);
    row("hangs (over the time bound)", tally.hangs);
    row("set-up failures", tally.setupFailures);
    const int intact = tally.completedIntact + tally.intactAfterPlainUpdate;
    std::printf("  intact after the user's path: %d of %d runs (%.0f %%)\n", intact, tally.runs,
                tally.runs ? 100.0 * intact / tally.runs : 0.0);
    for (const auto& p : tally.problems)
        std::printf("  ! %s\n", p.c_str());
    const bool bad = tally.lostData || tally.silentFailures || tally.failedReupdates ||
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
