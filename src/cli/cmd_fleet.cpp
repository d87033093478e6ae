// `vkt fleet info` and `vkt fleet update`: the radios on every connected
// programming cable at once. Each cable gets a worker of its own, a `vkt
// --port PATH info|update --json` child process; this process lists the
// cables, shows the plan, asks once, shows one live line per cable, passes
// signals on and sums up.
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory>
#include <optional>

#include "app/cable_setup.h"
#include "cli/cable_access.h"
#include "cli/commands.h"
#include "cli/fleet_workers.h"
#include "cli/signal_watch.h"
#include "link/cable_choice.h"

namespace vkt::cli {

namespace {

struct FleetFlags {
    bool yes = false;
    bool json = false;
    bool verify = false;  // each worker reads its written flash back
};

// One cable of the fleet and what its workers said.
struct FleetRadio {
    std::string port;
    Json info;    // the info worker's object (null: it gave none)
    Json plan;    // the dry-run update worker's object: what an update would do
    Json update;  // the update worker's object
    Worker infoWorker;
    Worker planWorker;
    Worker updateWorker;
    bool updating = false;  // an update worker was started
    // The live line: the last progress line's values.
    int percent = -1;
    std::optional<long> secondsLeft;
    std::string phase;
    int shownStep = -2;  // plain lines: the tenth and phase last printed
    std::string shownPhase;
};

std::string textOf(const Json& object, const char* key) {
    if (!object.is_object())
        return {};
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Json valueOr(const Json& object, const char* key) {
    if (!object.is_object())
        return nullptr;
    const auto it = object.find(key);
    return it != object.end() ? *it : Json(nullptr);
}

std::string orDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

std::string clockText(double seconds) {
    const long s = std::max(0L, std::lround(seconds));
    return fmt::format("{:02}:{:02}", s / 60, s % 60);
}

// The worker's command line: this program with the global options of the
// fleet command, the cable and `words`.
std::vector<std::string> workerArguments(const GlobalOptions& options, const std::string& port,
                                         std::size_t index, std::vector<std::string> words) {
    std::vector<std::string> argv{ownExecutable()};
    if (options.simulate)
        argv.emplace_back("--simulate");
    const auto add = [&argv](const char* name, const std::string& value) {
        if (!value.empty()) {
            argv.emplace_back(name);
            argv.push_back(value);
        }
    };
    add("--package", options.packageDir);
    add("--data-dir", options.dataDir);
    add("--backend", options.backend);
    // One trace file per cable: the workers' bytes would be mixed in one.
    add("--trace",
        options.trace.empty() ? std::string() : fmt::format("{}.{}", options.trace, index));
    add("--port", port);
    argv.insert(argv.end(), words.begin(), words.end());
    return argv;
}

// The programming cables the fleet works on: every one that no other
// program holds and that this user may open. The others are named.
std::optional<std::vector<std::unique_ptr<FleetRadio>>> fleetCables(const GlobalOptions& options,
                                                                    CommandReport& report,
                                                                    int& exitCode) {
    CableSetup setup = makeBackendDriver(options, report);
    if (!setup.driver) {
        exitCode = setup.exitCode;
        return std::nullopt;
    }
    std::vector<CableDevice> devices;
    std::uint32_t status = kCableOk;
    std::vector<std::string> paths;
    if (listCableDevices(*setup.driver, devices, status)) {
        for (const CableDevice& d : devices) {
            if (!d.programmingCable)
                continue;
            if (d.info.access == CableDeviceInfo::Access::HeldElsewhere) {
                std::cerr << "Skipping " << d.info.path << ": another program holds it.\n";
            } else if (d.info.access == CableDeviceInfo::Access::Denied) {
                std::cerr << "Skipping " << d.info.path << ": no permission to open it ("
                          << d.info.accessError << ").\n";
            } else {
                paths.push_back(d.info.path);
            }
        }
    }
    if (paths.empty()) {
        exitCode = report.fail(
            Failure{"CABLE", {"No programming cable found"}, noCableHint(backendName(options))});
        return std::nullopt;
    }
    std::vector<std::unique_ptr<FleetRadio>> radios;
    for (const std::string& path : paths) {
        radios.push_back(std::make_unique<FleetRadio>());
        radios.back()->port = path;
    }
    return radios;
}

// Starts one worker per radio and waits for them all; `started` is false
// for a worker that could not be started (its object says why).
void runWorkers(std::vector<std::unique_ptr<FleetRadio>>& radios, Worker FleetRadio::*worker,
                const std::vector<std::vector<std::string>>& argvs, const WorkerLaunch& common,
                const std::function<void()>& tick, const std::function<void(int)>& onSignal) {
    std::vector<Worker*> started;
    for (std::size_t i = 0; i < radios.size(); ++i) {
        if (argvs[i].empty())
            continue;
        WorkerLaunch launch = common;
        launch.argv = argvs[i];
        std::string error;
        Worker& w = (*radios[i]).*worker;
        if (w.start(launch, error))
            started.push_back(&w);
        else
            std::cerr << "vkt: cannot start the worker for " << radios[i]->port << ": " << error
                      << "\n";
    }
    WorkerPool(started).run(tick, std::chrono::milliseconds(250), onSignal);
}

// Reads the radio on every cable, in parallel.
void readRadios(const GlobalOptions& options, std::vector<std::unique_ptr<FleetRadio>>& radios) {
    std::vector<std::vector<std::string>> argvs;
    for (std::size_t i = 0; i < radios.size(); ++i)
        argvs.push_back(workerArguments(options, radios[i]->port, i, {"info", "--json"}));
    runWorkers(radios, &FleetRadio::infoWorker, argvs, WorkerLaunch{}, {}, {});
    for (auto& r : radios)
        r->info = finishedObject(r->infoWorker, "info");
}

bool okOf(const Json& object) {
    return object.is_object() && object.value("ok", false);
}

bool infoOk(const FleetRadio& r) {
    return okOf(r.info);
}

std::string categoryOf(const Json& object) {
    return textOf(valueOr(object, "error"), "category");
}

// Asks every radio that could be read what an update would do, in parallel:
// `vkt update --dry-run`, which checks the radio against the package with the
// update's own rules and writes nothing. The fleet's lock is handed on.
void planUpdates(const GlobalOptions& options, std::vector<std::unique_ptr<FleetRadio>>& radios,
                 int lockFd) {
    std::vector<std::vector<std::string>> argvs;
    for (std::size_t i = 0; i < radios.size(); ++i) {
        argvs.push_back(infoOk(*radios[i]) ? workerArguments(options, radios[i]->port, i,
                                                             {"update", "--dry-run", "--json"})
                                           : std::vector<std::string>());
    }
    WorkerLaunch launch;
    launch.lockFd = lockFd;
    runWorkers(radios, &FleetRadio::planWorker, argvs, launch, {}, {});
    for (auto& r : radios) {
        if (infoOk(*r))
            r->plan = finishedObject(r->planWorker, "update");
    }
}

// Whether the radio gets an update worker: its dry run found work to do.
bool toBeUpdated(const FleetRadio& r) {
    return infoOk(r) && okOf(r.plan);
}

// The first line of a worker's result message (a failed update adds lines
// about its backup, which the table has a column for).
std::string failureText(const Json& object) {
    const std::string result = textOf(object, "result");
    return result.empty() ? "no result" : result.substr(0, result.find('\n'));
}

// ---------------------------------------------------------------------------
// fleet info

int runFleetInfo(const GlobalOptions& options, bool json) {
    CommandReport report("fleet info", json);
    report.declareFields({"radios"});
    report.fields()["radios"] = Json::array();
    report.logFailuresIn(effectiveDataDir(options));
    int exitCode = kExitOk;
    auto fleet = fleetCables(options, report, exitCode);
    if (!fleet)
        return exitCode;
    std::vector<std::unique_ptr<FleetRadio>>& radios = *fleet;
    readRadios(options, radios);

    Json list = Json::array();
    std::vector<std::string> failed;
    report.text() << fmt::format("{:<20} {:<12} {:<12} {:<11} {:<7} {:<10} {:<10} {}\n", "PORT",
                                 "SERIAL", "MODEL", "TYPE", "REGION", "FIRMWARE", "CODEPLUG",
                                 "NOTE");
    for (const auto& r : radios) {
        const Json& i = r->info;
        Json entry;
        entry["port"] = r->port;
        for (const char* key : {"radio_type", "regional_code", "model", "serial_number",
                                "firmware_version", "codeplug_version", "interrupted_run"})
            entry[key] = valueOr(i, key);
        entry["error"] = infoOk(*r) ? Json(nullptr) : valueOr(i, "error");
        list.push_back(entry);
        std::string note;
        if (!infoOk(*r)) {
            note = failureText(i);
            failed.push_back(r->port + ": " + note);
        } else if (valueOr(i, "interrupted_run").is_object()) {
            note = "interrupted update: needs `vkt update` or `vkt recover`";
        }
        report.text() << fmt::format(
            "{:<20} {:<12} {:<12} {:<11} {:<7} {:<10} {:<10} {}\n", r->port,
            orDash(textOf(i, "serial_number")), orDash(textOf(i, "model")),
            orDash(textOf(i, "radio_type")), orDash(textOf(i, "regional_code")),
            orDash(textOf(i, "firmware_version")), orDash(textOf(i, "codeplug_version")), note);
    }
    report.fields()["radios"] = std::move(list);
    const std::size_t read = radios.size() - failed.size();
    const std::string result =
        fmt::format("{} of {} radio{} read", read, radios.size(), radios.size() == 1 ? "" : "s");
    if (!failed.empty()) {
        failed.insert(failed.begin(), result);
        return report.fail(
            Failure{"RADIO", failed, "`vkt --port PORT info` shows the full error of one cable."});
    }
    return report.succeed(result);
}

// ---------------------------------------------------------------------------
// fleet update

// What became of one radio.
enum class Outcome { Updated, UpToDate, Declined, Interrupted, Failed, NotRead };

Outcome outcomeOf(const FleetRadio& r) {
    if (!infoOk(r))
        return Outcome::NotRead;
    // A radio whose dry run ended it (up to date, or the package does not
    // fit it) gets no update worker: its dry run is the result.
    const Json& u = r.plan.is_object() && !okOf(r.plan) ? r.plan : r.update;
    if (okOf(u))
        return Outcome::Updated;
    const std::string category = categoryOf(u);
    if (category == "UP_TO_DATE")
        return Outcome::UpToDate;
    if (category == "DECLINED")
        return Outcome::Declined;
    if (category == "INTERRUPTED" || r.updateWorker.exitCode() == kExitSignal)
        return Outcome::Interrupted;
    return Outcome::Failed;
}

const char* outcomeKey(Outcome o) {
    switch (o) {
        case Outcome::Updated:
            return "updated";
        case Outcome::UpToDate:
            return "up_to_date";
        case Outcome::Declined:
            return "declined";
        case Outcome::Interrupted:
            return "interrupted";
        case Outcome::NotRead:
            return "not_read";
        case Outcome::Failed:
            break;
    }
    return "failed";
}

std::string outcomeText(const FleetRadio& r, Outcome o) {
    switch (o) {
        case Outcome::Updated:
            return valueOr(r.update, "verify").is_object() ? "updated, flash verified" : "updated";
        case Outcome::UpToDate:
            return "up to date";
        case Outcome::Declined:
            return "declined";
        case Outcome::Interrupted:
            return "stopped";
        case Outcome::NotRead:
            return "not read: " + failureText(r.info);
        case Outcome::Failed:
            break;
    }
    return "FAILED: " + failureText(r.update);
}

bool doneWell(Outcome o) {
    return o == Outcome::Updated || o == Outcome::UpToDate;
}

std::string versionsText(const Json& object, const char* firmware, const char* codeplug) {
    const std::string f = textOf(object, firmware);
    const std::string c = textOf(object, codeplug);
    return f.empty() && c.empty() ? "-" : orDash(f) + "/" + orDash(c);
}

// What the update of one radio will do, from its dry run: what is written
// (with the package's versions) and what becomes of the personality.
std::string planText(const FleetRadio& r, bool verify) {
    if (!infoOk(r))
        return "skip: " + failureText(r.info);
    if (!okOf(r.plan))
        return (categoryOf(r.plan) == "UP_TO_DATE" ? "up to date: " : "skip: ") +
               failureText(r.plan);
    const Json plan = valueOr(r.plan, "plan");
    const Json writes = valueOr(plan, "writes");
    const Json package = valueOr(plan, "package");
    std::string text;
    const auto add = [&text](const std::string& part) {
        text += (text.empty() ? "" : ", ") + part;
    };
    if (valueOr(writes, "firmware") == true)
        add("firmware " + orDash(textOf(package, "firmware_version")));
    if (valueOr(writes, "codeplug") == true)
        add("codeplug " + orDash(textOf(package, "codeplug_version")));
    if (valueOr(writes, "voice_prompts") == true)
        add("voice prompts");
    if (valueOr(plan, "downgrade") == true)
        text += " (downgrade)";
    const std::string personality = textOf(plan, "personality");
    text += personality == "not_kept"      ? "; personality erased"
            : personality == "from_backup" ? "; personality from the interrupted update's backup"
                                           : "; personality kept";
    if (verify)
        text += ", flash read back";
    if (valueOr(plan, "recovery") == true)
        text = "recover the interrupted update: " + text;
    return text;
}

// The live line of one cable: port, serial, phase, percentage, time left.
std::string liveLine(const FleetRadio& r) {
    std::string phase = r.phase;
    if (r.update.is_object())
        phase = outcomeText(r, outcomeOf(r));
    else if (phase.empty())
        phase = r.percent < 0 ? "starting" : "updating";
    std::string line = fmt::format("{:<20} {:<12} {:<26}", r.port,
                                   orDash(textOf(r.info, "serial_number")), phase.substr(0, 26));
    if (r.percent >= 0)
        line += fmt::format(" {:3}%", r.percent);
    if (!r.update.is_object() && r.secondsLeft)
        line += " about " + clockText(static_cast<double>(*r.secondsLeft)) + " left";
    return line;
}

// The live lines: redrawn in place on a terminal, else one line per cable
// when its phase changes or its progress passes a tenth.
class LiveLines {
  public:
    LiveLines(std::vector<FleetRadio*> radios, bool terminal)
        : radios_(std::move(radios)), terminal_(terminal) {}

    void update() {
        for (FleetRadio* r : radios_) {
            for (const std::string& text : r->updateWorker.takeProgressLines()) {
                const Json line = Json::parse(text, nullptr, false);
                if (!line.is_object())
                    continue;
                // A later wait (the closing identity read) starts again at
                // 0; the line keeps the furthest point.
                r->percent = std::max(r->percent, std::clamp(line.value("percent", 0), 0, 100));
                const Json left = valueOr(line, "seconds_left");
                r->secondsLeft =
                    left.is_number_integer() ? std::optional<long>(left.get<long>()) : std::nullopt;
                r->phase = textOf(line, "phase");
            }
        }
        for (FleetRadio* r : radios_) {
            if (!r->update.is_object() && r->updateWorker.finished())
                r->update = finishedObject(r->updateWorker, "update");
        }
        if (terminal_) {
            draw();
            return;
        }
        for (FleetRadio* r : radios_) {
            const bool over = r->update.is_object();
            const int step = over ? 11 : r->percent / 10;
            const std::string phase = over ? "end" : r->phase;
            if (step == r->shownStep && phase == r->shownPhase)
                continue;
            r->shownStep = step;
            r->shownPhase = phase;
            std::cerr << liveLine(*r) << "\n";
        }
        std::cerr << std::flush;
    }

    // A message between the live lines and what follows them.
    void say(const std::string& text) {
        if (terminal_ && drawn_) {
            std::cerr << fmt::format("\x1b[{}A\r\x1b[J", radios_.size());
            drawn_ = false;
        }
        std::cerr << text << "\n";
        update();
    }

  private:
    void draw() {
        std::string block;
        if (drawn_)
            block += fmt::format("\x1b[{}A", radios_.size());
        for (FleetRadio* r : radios_)
            block += "\r" + liveLine(*r) + "\x1b[K\n";
        std::cerr << block << std::flush;
        drawn_ = true;
    }

    std::vector<FleetRadio*> radios_;
    bool terminal_;
    bool drawn_ = false;
};

bool askOnce(const std::string& question, bool yes) {
    std::cerr << question << " [y/N] ";
    if (yes) {
        std::cerr << "yes (--yes)\n";
        return true;
    }
    if (::isatty(STDIN_FILENO) != 1) {
        std::cerr << "no (no terminal to ask; --yes answers Yes)\n";
        return false;
    }
    std::cerr << std::flush;
    std::string line;
    std::getline(std::cin, line);
    return line == "y" || line == "Y" || line == "yes" || line == "Yes" || line == "YES";
}

Json radioEntry(const FleetRadio& r, Outcome o) {
    const Json& i = r.info;
    const Json& u = r.update;
    Json entry;
    entry["port"] = r.port;
    entry["serial_number"] = valueOr(i, "serial_number");
    entry["model"] = valueOr(i, "model");
    entry["firmware_before"] = valueOr(i, "firmware_version");
    entry["codeplug_before"] = valueOr(i, "codeplug_version");
    entry["firmware_after"] =
        o == Outcome::Updated ? valueOr(u, "firmware_version") : Json(nullptr);
    entry["codeplug_after"] =
        o == Outcome::Updated ? valueOr(u, "codeplug_version") : Json(nullptr);
    entry["result"] = outcomeKey(o);
    entry["needs_update"] = !doneWell(o);
    entry["backup"] = valueOr(u, "backup");
    entry["seconds"] =
        r.updating ? Json(std::round(r.updateWorker.seconds() * 10) / 10) : Json(nullptr);
    entry["exit_code"] = r.updating && r.updateWorker.ended() && r.updateWorker.signal() == 0
                             ? Json(r.updateWorker.exitCode())
                             : Json(nullptr);
    entry["plan"] = valueOr(r.plan, "plan");
    entry["error"] = doneWell(o)             ? Json(nullptr)
                     : o == Outcome::NotRead ? valueOr(i, "error")
                     : r.updating            ? valueOr(u, "error")
                                             : valueOr(r.plan, "error");
    entry["verify"] = valueOr(u, "verify");
    return entry;
}

int runFleetUpdate(const GlobalOptions& options, const FleetFlags& flags) {
    CommandReport report("fleet update", flags.json);
    report.declareFields({"radios", "verify"});
    report.fields()["radios"] = Json::array();
    report.fields()["verify"] = flags.verify;
    report.logFailuresIn(effectiveDataDir(options));
    // One lock for the whole fleet, shared with its workers: no desktop tool
    // or other vkt of the region writes a radio meanwhile, and the workers
    // do not refuse each other.
    InstanceLock lock;
    if (auto failed = lockRadioOperations(lock, report))
        return *failed;
    int exitCode = kExitOk;
    auto fleet = fleetCables(options, report, exitCode);
    if (!fleet)
        return exitCode;
    std::vector<std::unique_ptr<FleetRadio>>& radios = *fleet;
    std::cerr << "Reading the radios on " << radios.size() << " cable"
              << (radios.size() == 1 ? "" : "s") << "...\n";
    readRadios(options, radios);
    planUpdates(options, radios, lock.fd());

    // The plan, and the one question.
    std::ostream& text = report.text();
    text << fmt::format("{:<20} {:<12} {:<12} {:<10} {:<10} {}\n", "PORT", "SERIAL", "MODEL",
                        "FIRMWARE", "CODEPLUG", "PLAN");
    std::size_t toUpdate = 0;
    for (const auto& r : radios) {
        text << fmt::format(
            "{:<20} {:<12} {:<12} {:<10} {:<10} {}\n", r->port,
            orDash(textOf(r->info, "serial_number")), orDash(textOf(r->info, "model")),
            orDash(textOf(r->info, "firmware_version")),
            orDash(textOf(r->info, "codeplug_version")), planText(*r, flags.verify));
        toUpdate += toBeUpdated(*r) ? 1 : 0;
    }
    text << std::flush;
    const auto entries = [&radios] {
        Json list = Json::array();
        for (const auto& r : radios)
            list.push_back(radioEntry(*r, outcomeOf(*r)));
        return list;
    };
    if (toUpdate == 0) {
        report.fields()["radios"] = entries();
        const auto stuck = std::find_if(radios.begin(), radios.end(), [](const auto& r) {
            return outcomeOf(*r) != Outcome::UpToDate;
        });
        if (stuck == radios.end()) {
            return report.nothingDone(
                Failure{"UP_TO_DATE",
                        {fmt::format("All {} radios are already up to date.", radios.size())},
                        {}});
        }
        const FleetRadio& r = **stuck;
        if (!infoOk(r)) {
            return report.fail(
                Failure{"RADIO",
                        {"No radio could be read", failureText(r.info)},
                        "`vkt --port PORT info` shows the full error of one cable."});
        }
        return report.fail(
            Failure{"UPDATE",
                    {"No radio can be updated", r.port + ": " + failureText(r.plan)},
                    "`vkt --port PORT update --dry-run` shows the full error of one cable."});
    }
    const std::string package =
        options.packageDir.empty() ? std::string("the installed package") : options.packageDir;
    if (!askOnce(fmt::format("Update {} radio{} from {}? Radios that are already up to date "
                             "are left as they are.",
                             toUpdate, toUpdate == 1 ? "" : "s", package),
                 flags.yes)) {
        report.fields()["radios"] = Json::array();
        const std::string nothing = "Nothing was done.";
        report.text() << nothing << "\n" << std::flush;
        return report.nothingDone(Failure{"DECLINED", {nothing}, {}});
    }

    // The updates, one worker per radio, each in its own process group.
    std::vector<std::vector<std::string>> argvs;
    std::vector<FleetRadio*> live;
    for (std::size_t i = 0; i < radios.size(); ++i) {
        FleetRadio& r = *radios[i];
        if (!toBeUpdated(r)) {
            argvs.emplace_back();
            continue;
        }
        std::vector<std::string> words{"update", "--yes", "--json"};
        if (flags.verify)
            words.emplace_back("--verify");
        words.insert(words.end(), {"--progress-fd", std::to_string(kWorkerProgressFd)});
        argvs.push_back(workerArguments(options, r.port, i, std::move(words)));
        r.updating = true;
        live.push_back(&r);
    }
    WorkerLaunch launch;
    launch.progress = true;
    launch.lockFd = lock.fd();
    launch.ownProcessGroup = true;
    LiveLines lines(live, ::isatty(STDERR_FILENO) == 1);
    int signals = 0;
    runWorkers(
        radios, &FleetRadio::updateWorker, argvs, launch, [&lines] { lines.update(); },
        [&lines, &signals](int) {
            ++signals;
            lines.say(signals == 1
                          ? "vkt: passed the signal on to every update: a radio not yet being "
                            "written stops now and is left unchanged; a radio being written "
                            "finishes. Press Ctrl-C again to stop those too (they will then need "
                            "`vkt update` again)."
                          : "vkt: passed the signal on again: every update stops at its next "
                            "request.");
        });
    for (auto& r : radios) {
        if (r->updating && !r->update.is_object())
            r->update = finishedObject(r->updateWorker, "update");
    }

    // The table, and the radios that need another update.
    text << "\n"
         << fmt::format("{:<20} {:<12} {:<12} {:<21} {:<21} {:<28} {:<6} {}\n", "PORT", "SERIAL",
                        "MODEL", "BEFORE", "AFTER", "RESULT", "TIME", "BACKUP");
    std::size_t updated = 0;
    std::size_t upToDate = 0;
    std::vector<std::string> needing;
    Json list = Json::array();
    for (const auto& r : radios) {
        const Outcome o = outcomeOf(*r);
        updated += o == Outcome::Updated ? 1 : 0;
        upToDate += o == Outcome::UpToDate ? 1 : 0;
        const std::string backup = textOf(r->update, "backup");
        text << fmt::format(
            "{:<20} {:<12} {:<12} {:<21} {:<21} {:<28} {:<6} {}\n", r->port,
            orDash(textOf(r->info, "serial_number")), orDash(textOf(r->info, "model")),
            versionsText(r->info, "firmware_version", "codeplug_version"),
            o == Outcome::Updated ? versionsText(r->update, "firmware_version", "codeplug_version")
                                  : "-",
            outcomeText(*r, o), r->updating ? clockText(r->updateWorker.seconds()) : "-",
            orDash(backup));
        if (!doneWell(o)) {
            std::string who = r->port;
            if (const std::string serial = textOf(r->info, "serial_number"); !serial.empty())
                who += " (" + serial + ")";
            if (!backup.empty())
                who += ": half-written, its personality is kept in " + backup;
            needing.push_back(who);
        }
        list.push_back(radioEntry(*r, o));
    }
    report.fields()["radios"] = std::move(list);
    if (!needing.empty()) {
        text << "\nThese radios need `vkt update` again:\n";
        for (const std::string& n : needing)
            text << "  " << n << "\n";
    }
    text << std::flush;

    const std::size_t total = radios.size();
    if (needing.empty()) {
        if (updated == 0)
            return report.nothingDone(Failure{
                "UP_TO_DATE", {fmt::format("All {} radios are already up to date.", total)}, {}});
        return report.succeed(fmt::format(
            "{} of {} radios updated{}.", updated, total,
            upToDate > 0 ? fmt::format(", {} already up to date", upToDate) : std::string()));
    }
    Failure failure;
    failure.category = signals > 0 ? "INTERRUPTED" : "UPDATE";
    failure.messages.push_back(fmt::format("{} of {} radios updated; {} need{} `vkt update` again.",
                                           updated, total, needing.size(),
                                           needing.size() == 1 ? "s" : ""));
    for (const std::string& n : needing)
        failure.messages.push_back(n);
    failure.hint =
        "Run `vkt --port PORT update` for each radio named, or `vkt fleet update` "
        "again; `vkt history` shows every run.";
    return report.fail(failure, signals > 0 ? kExitSignal : kExitFailure);
}

}  // namespace

void addFleetCommands(CLI::App& app, GlobalOptions& options) {
    auto* fleet = app.add_subcommand(
        "fleet", "The radios on every connected programming cable at once, one worker per cable");
    fleet->require_subcommand(1);

    auto* info = fleet->add_subcommand("info", "Read the radio on every programming cable");
    auto infoJson = std::make_shared<bool>(false);
    info->add_flag("--json", *infoJson, "Print one JSON object with a `radios` array");
    setHandler(info, [&options, infoJson] { return runFleetInfo(options, *infoJson); });

    auto* update = fleet->add_subcommand(
        "update",
        "Update the radio on every programming cable in parallel: lists the radios and the "
        "plan, asks once, shows one live line per cable and ends with a table (exit 0 only when "
        "every radio was updated or already up to date, 130 when stopped by a signal)");
    auto flags = std::make_shared<FleetFlags>();
    update->add_flag("--yes,-y", flags->yes, "Answer Yes to the question");
    update->add_flag("--verify", flags->verify,
                     "Each radio's update reads the written flash back and compares it with the "
                     "package (`vkt update --verify`)");
    update->add_flag("--json", flags->json, "Print one JSON object with a `radios` array");
    setHandler(update, [&options, flags] { return runFleetUpdate(options, *flags); });
}

}  // namespace vkt::cli
