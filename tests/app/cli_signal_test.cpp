// Real signals against `vkt update`: the built vkt runs as a child process
// over the tty back-end against vkt-radio-sim on a pty, and is sent SIGINT,
// SIGTERM, SIGHUP or SIGKILL when the radio's request log shows it has
// reached a point of the update. Afterwards the radio's state, the exit
// code and the journal's row are checked, and a radio left half-written is
// switched off and on and updated again with a plain `vkt update`. The
// progress lines of an update are checked here too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/update_journal.h"
#include "private_runtime.h"
#include "radio_sim_process.h"

namespace vkt::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kUserVoice = 0x117000;

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 9));
    return out;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// `vkt` as a child process with its output in files.
class VktProcess {
  public:
    VktProcess(const fs::path& dir, const std::vector<std::string>& arguments) : dir_(dir) {
        std::vector<std::string> args{VKT_BINARY, "--package", VKT_DEMO_PACKAGE_DIR, "--data-dir",
                                      dir.string()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env{"VKT_TTY_PORTS=" + (dir / "radio").string() + "=QX CPS Cable",
                                     "VKT_CABLE_BACKEND=tty", "PATH=/usr/bin:/bin",
                                     "XDG_RUNTIME_DIR=" + privateRuntimeDir().path()};
        if (const char* sim = std::getenv("VKT_SIM_OPTIONS"))
            env.push_back(std::string("VKT_SIM_OPTIONS=") + sim);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (dir / "out.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (dir / "err.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, VKT_BINARY, &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~VktProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void signal(int number) const { kill(pid_, number); }
    // The exit code (128 + n for signal n), or -1 when it did not end in time.
    int wait(std::chrono::seconds limit = std::chrono::seconds(90)) {
        const auto end = Clock::now() + limit;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > end)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string out() const { return readFile(dir_ / "out.txt"); }
    std::string err() const { return readFile(dir_ / "err.txt"); }

  private:
    fs::path dir_;
    pid_t pid_ = -1;
};

// A point of the update, seen in the radio's request log.
struct Point {
    const char* name;
    const char* logPattern;  // regex on a line of the request log
    bool afterErase;
};

const Point kConnecting{"connecting", R"(op=23 )", false};
const Point kReading{"reading the personality", R"(op=11 )", false};
const Point kFirmware{"writing the firmware", R"(op=72 sub=01 addr=000002)", true};
const Point kDynErase{"erasing the dynamic area", R"(op=72 sub=06 addr=180000)", true};
const Point kVoice{"writing the voice prompts", R"(op=72 sub=01 addr=0910)", true};
const Point kWriteBack{"writing the personality back", R"(op=17 )", true};

class VktSignals : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vkt-signals-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::copy(VKT_DEMO_DATA_DIR, dir, fs::copy_options::recursive);
        personality = ::vkt::test::pattern(0x3000, 11);
        userVoice = ::vkt::test::pattern(0x2000, 29);
        writeFile(dir / "personality.bin", personality);
        writeFile(dir / "uservoice.bin", userVoice);
    }
    void TearDown() override {
        sim.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Switches the radio on (again): the simulator keeps it in radio.state.
    void powerOn(double pace) {
        sim.reset();
        std::ofstream(dir / "requests.log", std::ios::trunc);
        sim = std::make_unique<RadioSimProcess>(std::vector<std::string>{
            "--type",        "2",
            "--model",       "VK2150EMA01",
            "--serial",      "123ABC0001",
            "--firmware",    "R01.02.03",
            "--codeplug",    "R01.02.03",
            "--pace",        std::to_string(pace),
            "--load-memory", (dir / "personality.bin").string() + "@0x820000",
            "--load-flash",  (dir / "uservoice.bin").string() + "@0x117000",
            "--state",       (dir / "radio.state").string(),
            "--link",        (dir / "radio").string(),
            "--log",         (dir / "requests.log").string(),
            "--dump",        (dir / "dump.json").string(),
            "--dump-memory", (dir / "memory.bin").string(),
            "--dump-flash",  (dir / "flash.bin").string()});
        ASSERT_TRUE(sim->ready());
    }
    // Switches the radio off; its state is then in the dump files.
    nlohmann::json powerOff() {
        sim.reset();
        return nlohmann::json::parse(readFile(dir / "dump.json"), nullptr, false);
    }

    // Waits until the radio's log has a line matching `point`.
    bool reached(const Point& point, std::chrono::seconds limit = std::chrono::seconds(60)) {
        const std::regex match(point.logPattern);
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            std::ifstream log(dir / "requests.log");
            for (std::string line; std::getline(log, line);)
                if (std::regex_search(line, match))
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        return false;
    }

    // The personality and serial number of the switched-off radio are those
    // it had before the first update.
    void expectIntact(const nlohmann::json& dump) {
        EXPECT_EQ(dump.value("serialNumber", ""), "123ABC0001");
        const std::string memory = readFile(dir / "memory.bin");
        const std::string flash = readFile(dir / "flash.bin");
        ASSERT_GE(memory.size(), 0x3000u);
        ASSERT_GE(flash.size(), kUserVoice + 0x2000u);
        for (std::uint32_t window = 0; window < 3; ++window)
            EXPECT_TRUE(
                memory.compare(window * 0x1000, 0x800,
                               std::string(personality.begin() + window * 0x1000,
                                           personality.begin() + window * 0x1000 + 0x800)) == 0)
                << "memory window " << window << " differs";
        EXPECT_TRUE(
            flash.compare(kUserVoice, 0x2000, std::string(userVoice.begin(), userVoice.end())) == 0)
            << "the user-defined voice differs";
    }

    std::vector<JournalRun> journal() {
        UpdateJournal j(updateJournalPath(dir.string()));
        std::string error;
        EXPECT_TRUE(j.open(error, true)) << error;
        return j.runs();
    }

    // The plain update of the user after a broken one, on a radio switched
    // off and on: it succeeds and the radio is as it was.
    void plainUpdateRestores() {
        powerOn(20);
        VktProcess update(dir, {"update", "--yes", "--json"});
        EXPECT_EQ(update.wait(), 0) << update.out() << update.err();
        expectIntact(powerOff());
        const auto runs = journal();
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs[0].state, RunState::Succeeded);
        for (const JournalRun& r : runs)
            EXPECT_FALSE(r.pending()) << r.id;
    }

    fs::path dir;
    std::unique_ptr<RadioSimProcess> sim;
    std::vector<std::uint8_t> personality, userVoice;
};

// Before the first erase a signal stops the update at once: nothing was
// changed, the radio is back at 16406, exit 130.
TEST_F(VktSignals, BeforeTheFirstEraseTheUpdateStopsWithTheRadioUnchanged) {
    struct Case {
        int signal;
        const Point* point;
    };
    for (const Case& c :
         {Case{SIGINT, &kReading}, Case{SIGHUP, &kReading}, Case{SIGINT, &kConnecting}}) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + " while " + c.point->name);
        powerOn(1);
        VktProcess update(dir, {"update", "--yes"});
        ASSERT_TRUE(reached(*c.point));
        update.signal(c.signal);
        EXPECT_EQ(update.wait(), 130) << update.err();
        EXPECT_NE((update.out() + update.err()).find("nothing on the radio was changed"),
                  std::string::npos)
            << update.out() << update.err();
        const nlohmann::json dump = powerOff();
        EXPECT_EQ(dump.value("lineRate", 0), 16406);
        EXPECT_EQ(dump.value("firmwareVersion", ""), "R01.02.03");
        expectIntact(dump);
        EXPECT_EQ(readFile(dir / "requests.log").find("op=72 sub=06"), std::string::npos)
            << "nothing was erased";
        for (const JournalRun& r : journal())
            EXPECT_FALSE(r.pending());
    }
    const auto runs = journal();
    ASSERT_EQ(runs.size(), 2u) << "the signal while connecting came before the run's row";
    EXPECT_EQ(runs[0].state, RunState::Interrupted);
}

// After the first erase, one signal is answered with the time left and the
// update finishes.
TEST_F(VktSignals, OneSignalAfterTheEraseLetsTheUpdateFinish) {
    powerOn(20);
    VktProcess update(dir, {"update", "--yes", "--json"});
    ASSERT_TRUE(reached(kFirmware));
    update.signal(SIGINT);
    EXPECT_EQ(update.wait(), 0) << update.err();
    const std::string err = update.err();
    EXPECT_NE(err.find("The radio is being written and cannot be stopped safely; the update will "
                       "finish in about "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(" s. Press Ctrl-C again to abort; the radio will then need `vkt update` "
                       "again."),
              std::string::npos);
    const nlohmann::json dump = powerOff();
    EXPECT_EQ(dump.value("firmwareVersion", ""), "R01.02.04");
    expectIntact(dump);
    EXPECT_EQ(journal()[0].state, RunState::Succeeded);
}

// Two signals after the first erase stop the update at the next request:
// the closing requests still go out, the run is recorded as interrupted,
// the backup and the next step are printed, exit 130. The user's plain
// update then brings everything back.
TEST_F(VktSignals, TwoSignalsAfterTheEraseStopTheUpdateAndThePlainUpdateRecovers) {
    struct Case {
        const Point* point;
        int first, second;
    };
    for (const Case& c : {Case{&kFirmware, SIGINT, SIGINT}, Case{&kVoice, SIGTERM, SIGINT},
                          Case{&kWriteBack, SIGINT, SIGTERM}}) {
        SCOPED_TRACE(c.point->name);
        powerOn(20);
        VktProcess update(dir, {"update", "--yes", "--json"});
        ASSERT_TRUE(reached(*c.point));
        update.signal(c.first);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        update.signal(c.second);
        EXPECT_EQ(update.wait(), 130) << update.err();
        EXPECT_EQ(update.err().find("progress 100%"), std::string::npos)
            << "a stopped run shows no full bar";
        const nlohmann::json result = nlohmann::json::parse(update.out(), nullptr, false);
        ASSERT_TRUE(result.is_object()) << update.out();
        ASSERT_TRUE(result["backup"].is_string()) << update.out();
        const std::string backup = result["backup"];
        EXPECT_TRUE(fs::exists(backup));
        EXPECT_NE(result.value("result", "")
                      .find("The radio's personality is saved in " + backup +
                            ". Switch the radio off and on, then run `vkt "
                            "update` again."),
                  std::string::npos)
            << result.dump();
        const nlohmann::json dump = powerOff();
        EXPECT_EQ(dump.value("lineRate", 0), 16406) << "the closing requests went out";
        const auto runs = journal();
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs[0].state, RunState::Interrupted);
        EXPECT_TRUE(runs[0].pending());
        EXPECT_EQ(runs[0].backupFile, backup);
        plainUpdateRestores();
        // The next case starts from the old versions again.
        fs::remove(dir / "radio.state");
    }
}

// SIGKILL cannot be caught: the journal's row is what it was when the
// process died, and the next `vkt update` (after switching the radio off
// and on) either updates an untouched radio or recovers a half-written one.
TEST_F(VktSignals, AKilledUpdateIsFinishedByTheNextUpdate) {
    for (const Point* point : {&kReading, &kFirmware, &kDynErase, &kVoice, &kWriteBack}) {
        SCOPED_TRACE(point->name);
        powerOn(point->afterErase ? 20 : 2);
        VktProcess update(dir, {"update", "--yes"});
        ASSERT_TRUE(reached(*point));
        update.signal(SIGKILL);
        EXPECT_EQ(update.wait(), 128 + SIGKILL);
        powerOff();
        const auto runs = journal();
        ASSERT_FALSE(runs.empty());
        EXPECT_TRUE(runs[0].endedAt.empty());
        EXPECT_EQ(runs[0].pending(), point->afterErase) << runStateName(runs[0].state);
        plainUpdateRestores();
        if (point->afterErase) {
            const auto after = journal();
            ASSERT_GE(after.size(), 2u);
            EXPECT_EQ(after[1].state, RunState::Recovered);
            EXPECT_EQ(after[0].recovers, after[1].id);
        }
        // The next point starts from the package's versions: back to the old ones.
        fs::remove(dir / "radio.state");
    }
}

// With --simulate the radio lives in the vkt process: a signal that ends the
// program still saves it.
TEST_F(VktSignals, TheSimulatedRadioIsSavedWhenASignalEndsTheProgram) {
    const fs::path state = dir / "sim" / "radio.state";
    fs::remove_all(dir / "sim");
    setenv("VKT_SIM_OPTIONS", "--pace 0.5", 1);
    VktProcess update(dir, {"--simulate", "update", "--yes"});
    unsetenv("VKT_SIM_OPTIONS");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    update.signal(SIGINT);
    EXPECT_EQ(update.wait(), 130) << update.err();
    EXPECT_TRUE(fs::exists(state)) << update.err();
}

// The progress lines of an update whose stderr is no terminal: one per
// phase and one per tenth, never going back, the phases in the order the
// run has them, and the full bar last, right before the result.
TEST_F(VktSignals, TheProgressOfAPacedUpdateIsMonotonicNamesItsPhasesAndEndsAt100) {
    fs::remove_all(dir / "sim");
    setenv("VKT_SIM_OPTIONS", "--pace 20", 1);
    VktProcess update(dir, {"--simulate", "update", "--yes"});
    unsetenv("VKT_SIM_OPTIONS");
    ASSERT_EQ(update.wait(), 0) << update.err();
    const std::regex line(
        R"(^progress +(\d+)%  ([A-Za-z ]+?)  \d\d:\d\d elapsed(, about \d\d:\d\d left)?$)");
    std::vector<int> percents;
    std::vector<std::string> phases;  // each phase once per stretch
    std::istringstream lines(update.err());
    std::string last;
    for (std::string text; std::getline(lines, text);) {
        if (text.rfind("progress", 0) != 0)
            continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        percents.push_back(std::stoi(m[1]));
        if (phases.empty() || phases.back() != m[2])
            phases.push_back(m[2]);
        EXPECT_EQ(m[3].matched, m[2] != "Done") << "time left on working lines only: " << text;
        last = text;
    }
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << update.err();
    EXPECT_EQ(phases, (std::vector<std::string>{
                          "Reading the personality", "Erasing", "Writing the firmware",
                          "Writing the codeplug", "Erasing", "Writing the voice prompts",
                          "Writing the personality back", "Finishing", "Done"}));
    EXPECT_LE(percents.size(), phases.size() + 11) << "one line per phase and per tenth";
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    const std::string err = update.err();
    EXPECT_TRUE(err.size() > last.size() &&
                err.compare(err.size() - last.size() - 1, std::string::npos, last + "\n") == 0)
        << "nothing is drawn after the full bar";
    const std::string out = update.out();
    EXPECT_TRUE(out.size() >= 19 && out.compare(out.size() - 19, 19, "Update successful.\n") == 0)
        << out;
}

// `vkt recover` and `vkt history` on a radio whose update was stopped.
TEST_F(VktSignals, RecoverAndHistoryShowAndFinishAStoppedUpdate) {
    powerOn(20);
    {
        VktProcess update(dir, {"update", "--yes"});
        ASSERT_TRUE(reached(kFirmware));
        update.signal(SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        update.signal(SIGINT);
        EXPECT_EQ(update.wait(), 130);
    }
    powerOff();
    powerOn(20);
    {
        VktProcess history(dir, {"history", "--json"});
        EXPECT_EQ(history.wait(), 0);
        const auto j = nlohmann::json::parse(history.out(), nullptr, false);
        ASSERT_TRUE(j.is_object()) << history.out();
        EXPECT_EQ(j["command"], "history");
        ASSERT_EQ(j["runs"].size(), 1u);
        EXPECT_EQ(j["runs"][0]["state"], "interrupted");
        EXPECT_EQ(j["runs"][0]["pending"], true);
        EXPECT_EQ(j["runs"][0]["radio"]["serial_number"], "123ABC0001");
    }
    {
        VktProcess recover(dir, {"recover", "--yes", "--json"});
        EXPECT_EQ(recover.wait(), 0) << recover.err();
        const auto j = nlohmann::json::parse(recover.out(), nullptr, false);
        EXPECT_EQ(j["command"], "recover");
        EXPECT_EQ(j["ok"], true);
        EXPECT_NE(recover.err().find("This radio's last update was interrupted on "),
                  std::string::npos);
    }
    {
        VktProcess again(dir, {"recover", "--yes"});
        EXPECT_EQ(again.wait(), 3) << "nothing left to recover";
        EXPECT_NE(again.out().find("No interrupted update is recorded for this radio."),
                  std::string::npos)
            << again.out();
    }
    expectIntact(powerOff());
    VktProcess history(dir, {"history"});
    EXPECT_EQ(history.wait(), 0);
    EXPECT_NE(history.out().find("recovered"), std::string::npos) << history.out();
}

}  // namespace
}  // namespace vkt::test
