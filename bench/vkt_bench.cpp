// vkt-bench: times full updates of the simulated radio and compares them with
// the time the traffic needs on the wire.
//
// Every case runs the real `vkt update --yes` as a child process, so its host
// CPU time and peak memory are the process's own (wait4). Back-ends:
//   sim  `vkt --simulate`: the simulated radio and its virtual cable live in
//        the vkt process, so the CPU time includes the radio's work;
//   tty  `vkt --backend tty` talking to `vkt-radio-sim` on a pseudo-terminal:
//        the radio runs in its own process and the CPU time is the tool's alone.
// The radio paces bytes at the line rate times the pace factor and charges
// its erase, programming and turnaround times; it reports the bytes it saw
// and what they cost at pace 1 (--stats). The ideal time is that cost divided
// by the pace factor; ratio = ideal / measured (1.0 = the tool adds nothing).
//
// With --verify every case also runs as `vkt update --yes --verify`, and a
// second table sets what reading the written flash back added to the run
// (measured) against what its extra traffic needs on the wire (ideal).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string bin;
    std::string demoPackage;
    std::string demoData;
    std::string largePackage;
    std::vector<std::string> packages{"demo", "large"};
    std::vector<std::string> backends{"sim", "tty"};
    std::vector<double> paces{1.0, 10.0};
    std::string json;
    std::string work;
    bool keep = false;
    bool simWithoutStats = false;
    std::vector<int> fleet;  // radios per fleet run; empty: no fleet runs
    bool verify = false;
};

struct Result {
    std::string package, backend;
    double pace = 0;
    bool verify = false;  // `update --verify`
    bool ok = false;
    std::string error;
    bool countsFromTty = false;  // the tool ran, but its radio gave no counts
    std::uint64_t bytesIn = 0, bytesOut = 0, requests = 0;
    double wireSeconds = 0, radioSeconds = 0;  // at pace 1
    double ideal = 0, measured = 0, cpu = 0;
    long peakKiB = 0;
    double ratio() const { return measured > 0 ? ideal / measured : 0; }
    double cpuShare() const { return measured > 0 ? cpu / measured : 0; }
};

struct Child {
    pid_t pid = -1;
};

// Starts `argv` with extra environment entries and its output in `output`.
Child spawn(const std::vector<std::string>& argv,
            const std::vector<std::pair<std::string, std::string>>& env, const fs::path& output) {
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        for (const auto& [k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return c;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The number `key` of the simulated radio's statistics object.
std::optional<double> statsNumber(const nlohmann::json& stats, const char* key) {
    const auto it = stats.find(key);
    if (it == stats.end() || !it->is_number())
        return std::nullopt;
    return it->get<double>();
}

// Prints the results as an indented JSON array, and writes them to `file`
// too unless it is empty.
void reportJson(const nlohmann::ordered_json& results, const std::string& file) {
    const std::string text = results.dump(2) + "\n";
    std::cout << text;
    if (!file.empty()) {
        std::ofstream out(file, std::ios::trunc);
        out << text;
    }
}

std::string lastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    const std::size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

bool waitForPath(const fs::path& path, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    std::error_code ec;
    while (Clock::now() < end) {
        if (fs::exists(path, ec))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string paceText(double pace) {
    return fmt::format("{:g}", pace);
}

// A fresh folder for one run: a copy of the demo data folder in appdata/
// and an empty runtime folder run/ (the radio lock of the run's vkt lives
// there, apart from a desktop tool's or a test's on this machine).
bool prepareRunFolder(const Options& o, const fs::path& dir, std::string& error) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir / "run", ec);
    fs::copy(o.demoData, dir / "appdata", fs::copy_options::recursive, ec);
    if (ec)
        error = "cannot copy the data folder: " + ec.message();
    return !ec;
}

Result runCase(const Options& o, const std::string& package, const std::string& backend,
               double pace, bool verify) {
    Result r;
    r.package = package;
    r.backend = backend;
    r.pace = pace;
    r.verify = verify;
    const std::string packageDir = package == "demo" ? o.demoPackage : o.largePackage;
    const fs::path dir = fs::path(o.work) / fmt::format("{}-{}-{}x{}", package, backend, pace,
                                                        verify ? "-verify" : "");
    std::error_code ec;
    if (!prepareRunFolder(o, dir, r.error))
        return r;
    const fs::path stats = dir / "stats.json";
    const std::string vkt = (fs::path(o.bin) / "vkt").string();
    std::vector<std::string> argv{vkt};
    std::vector<std::pair<std::string, std::string>> env{
        {"XDG_RUNTIME_DIR", (dir / "run").string()}};
    Child radio;
    if (backend == "sim") {
        argv.insert(argv.end(), {"--simulate"});
        env.emplace_back("VKT_SIM_OPTIONS",
                         o.simWithoutStats
                             ? fmt::format("--pace {}", paceText(pace))
                             : fmt::format("--pace {} --stats {}", paceText(pace), stats.string()));
    } else {
        const fs::path link = dir / "radio";
        radio = spawn(
            {(fs::path(o.bin) / "vkt-radio-sim").string(), "--type", "2", "--model", "VK2150EMA01",
             "--serial", "123ABC0001", "--firmware", "R01.02.03", "--codeplug", "R01.02.03",
             "--pace", paceText(pace), "--link", link.string(), "--stats", stats.string()},
            {}, dir / "radio.out");
        if (radio.pid < 0 || !waitForPath(link, std::chrono::seconds(10))) {
            r.error = "vkt-radio-sim did not start";
            if (radio.pid > 0) {
                kill(radio.pid, SIGTERM);
                waitpid(radio.pid, nullptr, 0);
            }
            return r;
        }
        argv.insert(argv.end(), {"--backend", "tty"});
        env.emplace_back("VKT_TTY_PORTS", link.string() + "=QX CPS Cable");
    }
    argv.insert(argv.end(), {"--package", packageDir, "--data-dir", (dir / "appdata").string(),
                             "update", "--yes"});
    if (verify)
        argv.emplace_back("--verify");

    const auto start = Clock::now();
    Child tool = spawn(argv, env, dir / "vkt.out");
    int status = 0;
    rusage usage{};
    const pid_t waited = tool.pid > 0 ? wait4(tool.pid, &status, 0, &usage) : -1;
    r.measured = std::chrono::duration<double>(Clock::now() - start).count();
    if (radio.pid > 0) {
        kill(radio.pid, SIGTERM);
        waitpid(radio.pid, nullptr, 0);
    }
    if (waited < 0) {
        r.error = "vkt did not run";
        return r;
    }
    r.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.peakKiB = usage.ru_maxrss;
    const std::string out = readText(dir / "vkt.out");
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // A verifying update prints what it read back after the message.
    if (code != 0 || out.find("Update successful.\n") == std::string::npos) {
        r.error = fmt::format("vkt exited with {}: {}", code, lastLine(out));
        return r;
    }
    const nlohmann::json counts =
        nlohmann::json::parse(readText(stats), nullptr, /*allow_exceptions=*/false);
    const auto in = statsNumber(counts, "bytesIn");
    const auto outBytes = statsNumber(counts, "bytesOut");
    const auto wire = statsNumber(counts, "wireSeconds");
    const auto work = statsNumber(counts, "radioSeconds");
    const auto requests = statsNumber(counts, "requests");
    if (!in || !outBytes || !wire || !work || !requests) {
        // A vkt built before the radio could report its counts: the same
        // update through the tty back-end sends the same requests, so its
        // counts stand in (see fillMissingCounts).
        r.error = "no wire counts from the simulated radio";
        r.countsFromTty = backend == "sim";
        return r;
    }
    r.bytesIn = static_cast<std::uint64_t>(*in);
    r.bytesOut = static_cast<std::uint64_t>(*outBytes);
    r.requests = static_cast<std::uint64_t>(*requests);
    r.wireSeconds = *wire;
    r.radioSeconds = *work;
    r.ideal = (r.wireSeconds + r.radioSeconds) / pace;
    r.ok = true;
    if (!o.keep)
        fs::remove_all(dir, ec);
    return r;
}

std::string row(const Result& r);

// A `vkt fleet update` of N radios, each a vkt-radio-sim on a pty of its
// own, against one radio's `vkt update` through the same back-end.
struct FleetResult {
    std::string package;
    double pace = 0;
    int radios = 0;
    bool ok = false;
    std::string error;
    double wall = 0, one = 0;  // the fleet's wall time, one radio's
    double cpu = 0;            // the fleet: vkt fleet and its workers
    double radioCpu = 0;       // the simulated radios together
    long peakKiB = 0;          // the fleet's processes together, sampled
};

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The resident memory of `pid` and every descendant, in KiB.
long treeRssKiB(pid_t root) {
    std::vector<std::pair<pid_t, pid_t>> parents;  // pid, parent
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = readText(entry.path() / "stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2)
            parents.emplace_back(std::stoi(name), ppid);
    }
    std::vector<pid_t> tree{root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        for (const auto& [pid, ppid] : parents) {
            if (ppid == tree[i])
                tree.push_back(pid);
        }
    }
    long total = 0;
    for (pid_t pid : tree) {
        const std::string status = readText(fmt::format("/proc/{}/status", pid));
        const std::size_t at = status.find("VmRSS:");
        if (at != std::string::npos)
            total += std::strtol(status.c_str() + at + 6, nullptr, 10);
    }
    return total;
}

FleetResult runFleet(const Options& o, const std::string& package, double pace, int radios,
                     double one) {
    FleetResult r;
    r.package = package;
    r.pace = pace;
    r.radios = radios;
    r.one = one;
    const std::string packageDir = package == "demo" ? o.demoPackage : o.largePackage;
    const fs::path dir = fs::path(o.work) / fmt::format("fleet{}-{}-{}x", radios, package, pace);
    std::error_code ec;
    if (!prepareRunFolder(o, dir, r.error))
        return r;
    std::vector<Child> sims;
    std::string ports;
    const auto stopRadios = [&sims, &r] {
        for (Child& c : sims) {
            kill(c.pid, SIGTERM);
            rusage usage{};
            wait4(c.pid, nullptr, 0, &usage);
            r.radioCpu += cpuSeconds(usage);
        }
        sims.clear();
    };
    for (int i = 0; i < radios; ++i) {
        const fs::path link = dir / fmt::format("radio{}", i);
        Child c = spawn(
            {(fs::path(o.bin) / "vkt-radio-sim").string(), "--type", "2", "--model", "VK2150EMA01",
             "--serial", fmt::format("123ABC{:04}", 100 + i), "--firmware", "R01.02.03",
             "--codeplug", "R01.02.03", "--pace", paceText(pace), "--link", link.string()},
            {}, dir / fmt::format("radio{}.out", i));
        if (c.pid > 0)
            sims.push_back(c);
        if (c.pid < 0 || !waitForPath(link, std::chrono::seconds(10))) {
            r.error = "vkt-radio-sim did not start";
            stopRadios();
            return r;
        }
        ports += (ports.empty() ? "" : ";") + link.string() + "=QX CPS Cable";
    }
    const std::vector<std::string> argv{(fs::path(o.bin) / "vkt").string(),
                                        "--backend",
                                        "tty",
                                        "--package",
                                        packageDir,
                                        "--data-dir",
                                        (dir / "appdata").string(),
                                        "fleet",
                                        "update",
                                        "--yes"};
    const std::vector<std::pair<std::string, std::string>> env{
        {"VKT_TTY_PORTS", ports}, {"XDG_RUNTIME_DIR", (dir / "run").string()}};
    const auto start = Clock::now();
    Child fleet = spawn(argv, env, dir / "fleet.out");
    int status = 0;
    rusage usage{};
    pid_t waited = 0;
    while (fleet.pid > 0 && (waited = wait4(fleet.pid, &status, WNOHANG, &usage)) == 0) {
        r.peakKiB = std::max(r.peakKiB, treeRssKiB(fleet.pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    r.wall = std::chrono::duration<double>(Clock::now() - start).count();
    stopRadios();
    if (waited <= 0) {
        r.error = "vkt fleet did not run";
        return r;
    }
    // The fleet's own time and that of its workers, which it waited for.
    r.cpu = cpuSeconds(usage);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code != 0) {
        r.error = fmt::format("vkt fleet update exited with {}: {}", code,
                              lastLine(readText(dir / "fleet.out")));
        return r;
    }
    r.ok = true;
    if (!o.keep)
        fs::remove_all(dir, ec);
    return r;
}

std::string fleetHeader() {
    return fmt::format("{:<7} {:>5} {:>6} {:>9} {:>9} {:>6} {:>8} {:>11} {:>9} {:>8}", "package",
                       "pace", "radios", "fleet-s", "one-s", "times", "cpu-s", "cpu%/radio",
                       "radio-cpu", "peak-MiB");
}

std::string fleetRow(const FleetResult& r) {
    if (!r.ok)
        return fmt::format("{:<7} {:>4}x {:>6} FAILED: {}", r.package, paceText(r.pace), r.radios,
                           r.error);
    return fmt::format(
        "{:<7} {:>4}x {:>6} {:>9.3f} {:>9.3f} {:>6.3f} {:>8.3f} {:>10.2f}% {:>9.3f} {:>8.1f}",
        r.package, paceText(r.pace), r.radios, r.wall, r.one, r.one > 0 ? r.wall / r.one : 0, r.cpu,
        r.wall > 0 ? 100.0 * r.cpu / r.radios / r.wall : 0, r.radioCpu,
        static_cast<double>(r.peakKiB) / 1024.0);
}

// One radio's `vkt update` through the tty back-end, then each fleet size.
int runFleets(const Options& o) {
    bool ok = true;
    nlohmann::ordered_json json = nlohmann::ordered_json::array();
    std::cout << fleetHeader() << "\n" << std::flush;
    for (const auto& package : o.packages) {
        for (double pace : o.paces) {
            const Result one = runCase(o, package, "tty", pace, false);
            if (!one.ok) {
                std::cout << "one radio: " << row(one) << "\n";
                ok = false;
                continue;
            }
            for (int n : o.fleet) {
                const FleetResult r = runFleet(o, package, pace, n, one.measured);
                std::cout << fleetRow(r) << "\n" << std::flush;
                ok = ok && r.ok;
                json.push_back({{"package", r.package},
                                {"pace", r.pace},
                                {"radios", r.radios},
                                {"ok", r.ok},
                                {"fleetSeconds", r.wall},
                                {"oneRadioSeconds", r.one},
                                {"cpuSeconds", r.cpu},
                                {"radioCpuSeconds", r.radioCpu},
                                {"peakKiB", r.peakKiB}});
            }
        }
    }
    reportJson(json, o.json);
    return ok ? 0 : 1;
}

// Gives sim runs without counts those of the tty run of the same package and pace.
void fillMissingCounts(std::vector<Result>& results) {
    for (Result& r : results) {
        if (!r.countsFromTty)
            continue;
        for (const Result& t : results) {
            if (t.ok && t.backend == "tty" && t.package == r.package && t.pace == r.pace &&
                t.verify == r.verify) {
                r.bytesIn = t.bytesIn;
                r.bytesOut = t.bytesOut;
                r.requests = t.requests;
                r.wireSeconds = t.wireSeconds;
                r.radioSeconds = t.radioSeconds;
                r.ideal = t.ideal;
                r.ok = true;
                r.error.clear();
            }
        }
    }
}

std::string header() {
    return fmt::format("{:<7} {:<4} {:>5} {:>6} {:>10} {:>9} {:>9} {:>9} {:>6} {:>8} {:>6} {:>8}",
                       "package", "back", "pace", "verify", "wire-bytes", "requests", "ideal-s",
                       "measured", "ratio", "cpu-s", "cpu%", "peak-MiB");
}

std::string row(const Result& r) {
    const char* verify = r.verify ? "yes" : "no";
    if (!r.ok)
        return fmt::format("{:<7} {:<4} {:>4}x {:>6} FAILED: {}", r.package, r.backend,
                           paceText(r.pace), verify, r.error);
    return fmt::format(
        "{:<7} {:<4} {:>4}x {:>6} {:>10} {:>9} {:>9.3f} {:>9.3f} {:>6.3f} {:>8.3f} "
        "{:>5.1f}% {:>8.1f}",
        r.package, r.backend, paceText(r.pace), verify, r.bytesIn + r.bytesOut, r.requests, r.ideal,
        r.measured, r.ratio(), r.cpu, 100.0 * r.cpuShare(),
        static_cast<double>(r.peakKiB) / 1024.0);
}

// What verifying added to the update of the same package, back-end and pace:
// the extra wire bytes and requests, the time they need on the wire (with
// the radio's turnarounds), the extra wall time, and their ratio.
void printVerifyCost(const std::vector<Result>& results) {
    std::cout << "verify cost:\n"
              << fmt::format("{:<7} {:<4} {:>5} {:>10} {:>9} {:>9} {:>9} {:>6}\n", "package",
                             "back", "pace", "read-bytes", "requests", "wire-s", "extra-s",
                             "ratio");
    for (const Result& v : results) {
        if (!v.verify || !v.ok)
            continue;
        for (const Result& p : results) {
            if (p.verify || !p.ok || p.package != v.package || p.backend != v.backend ||
                p.pace != v.pace)
                continue;
            const double wire = v.ideal - p.ideal;
            const double extra = v.measured - p.measured;
            std::cout << fmt::format(
                "{:<7} {:<4} {:>4}x {:>10} {:>9} {:>9.3f} {:>9.3f} {:>6.3f}\n", v.package,
                v.backend, paceText(v.pace), (v.bytesIn + v.bytesOut) - (p.bytesIn + p.bytesOut),
                v.requests - p.requests, wire, extra, extra > 0 ? wire / extra : 0.0);
        }
    }
}

nlohmann::ordered_json toJson(const std::vector<Result>& results) {
    nlohmann::ordered_json j = nlohmann::ordered_json::array();
    for (const Result& r : results) {
        j.push_back({{"package", r.package},
                     {"backend", r.backend},
                     {"pace", r.pace},
                     {"verify", r.verify},
                     {"ok", r.ok},
                     {"bytesIn", r.bytesIn},
                     {"bytesOut", r.bytesOut},
                     {"requests", r.requests},
                     {"wireSeconds", r.wireSeconds},
                     {"radioSeconds", r.radioSeconds},
                     {"idealSeconds", r.ideal},
                     {"measuredSeconds", r.measured},
                     {"ratio", r.ratio()},
                     {"cpuSeconds", r.cpu},
                     {"peakKiB", r.peakKiB},
                     {"countsFromTty", r.countsFromTty}});
    }
    return j;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Times full updates of the simulated radio against the wire time."};
    app.add_option("--bin", o.bin, "Folder holding vkt and vkt-radio-sim")->required();
    app.add_option("--demo-package", o.demoPackage, "The demo package folder")->required();
    app.add_option("--demo-data", o.demoData, "The demo data folder (copied for every run)")
        ->required();
    app.add_option("--large-package", o.largePackage, "The large package folder");
    app.add_option("--packages", o.packages, "demo, large")->delimiter(',');
    app.add_option("--backends", o.backends, "sim, tty")->delimiter(',');
    app.add_option("--paces", o.paces, "Pace factors (1 = the real line rates)")->delimiter(',');
    app.add_option("--json", o.json, "Also write the results as JSON to FILE");
    app.add_option("--work", o.work, "Scratch folder (default: a temporary one)");
    app.add_flag("--keep", o.keep, "Keep every run's folder");
    app.add_option("--fleet", o.fleet,
                   "Instead of the single runs: `vkt fleet update` of N radios on N ptys (a list: "
                   "1,4,8), each against one radio's `vkt update` through the tty back-end")
        ->delimiter(',')
        ->check(CLI::Range(1, 64));
    app.add_flag("--sim-without-stats", o.simWithoutStats,
                 "For a vkt whose simulated radio cannot report its counts: sim runs take the "
                 "counts of the tty run of the same package and pace");
    app.add_flag("--verify", o.verify,
                 "Also run every case with update --verify and print what verifying costs");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    for (const auto& p : o.packages) {
        if (p != "demo" && p != "large") {
            std::cerr << "vkt-bench: unknown package " << p << "\n";
            return 2;
        }
        if (p == "large" && o.largePackage.empty()) {
            std::cerr << "vkt-bench: --large-package is needed for the large package\n";
            return 2;
        }
    }
    for (const auto& b : o.backends) {
        if (b != "sim" && b != "tty") {
            std::cerr << "vkt-bench: unknown back-end " << b << "\n";
            return 2;
        }
    }
    for (double p : o.paces) {
        if (!(p > 0)) {
            std::cerr << "vkt-bench: pace factors must be above 0\n";
            return 2;
        }
    }
    bool ownWork = false;
    if (o.work.empty()) {
        std::string tmpl = (fs::temp_directory_path() / "vkt-bench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            std::perror("vkt-bench: mkdtemp");
            return 1;
        }
        o.work = tmpl;
        ownWork = !o.keep;
    }

    if (!o.fleet.empty()) {
        const int code = runFleets(o);
        if (ownWork) {
            std::error_code ec;
            fs::remove_all(o.work, ec);
        }
        return code;
    }

    std::vector<Result> results;
    std::cout << header() << "\n" << std::flush;
    for (const auto& package : o.packages) {
        for (const auto& backend : o.backends) {
            for (double pace : o.paces) {
                for (bool verify : {false, true}) {
                    if (verify && !o.verify)
                        continue;
                    results.push_back(runCase(o, package, backend, pace, verify));
                    std::cout << row(results.back()) << "\n" << std::flush;
                }
            }
        }
    }
    fillMissingCounts(results);
    bool reprinted = false;
    for (const auto& r : results) {
        if (r.countsFromTty && !reprinted) {
            std::cout << "sim runs with the counts of the tty runs:\n" << header() << "\n";
            reprinted = true;
        }
        if (r.countsFromTty)
            std::cout << row(r) << "\n";
    }
    if (o.verify)
        printVerifyCost(results);
    reportJson(toJson(results), o.json);
    if (ownWork) {
        std::error_code ec;
        fs::remove_all(o.work, ec);
    }
    for (const auto& r : results) {
        if (!r.ok)
            return 1;
    }
    return 0;
}
