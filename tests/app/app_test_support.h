// A scripted front end, a console double and a bench that starts the
// application on the simulated radio with a copy of the demo package.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/front_end.h"
#include "app/main_controller.h"
#include "app/strings.h"
#include "core/error_log.h"
#include "core/error_stack.h"
#include "core/file_io.h"
#include "package/config_document.h"
#include "package/ftf_file.h"
#include "sim/sim_radio.h"
#include "sim/virtual_cable.h"

namespace vkt::testing {

namespace fs = std::filesystem;

struct Shown {
    std::string text;
    MessageStyle style = MessageStyle::None;
};

// Answers questions from a script (No once the script is used up) and
// records everything the flows show.
class ScriptedFrontEnd : public FrontEnd {
  public:
    explicit ScriptedFrontEnd(EventLoop& loop) : loop_(loop) {}

    std::deque<ButtonId> answers;  // for Yes/No questions
    std::deque<std::optional<std::string>> passwords;
    std::vector<Shown> messages;  // every message, questions included
    std::vector<int> progress;
    std::vector<bool> busy;
    std::vector<std::string> titles;
    int waits = 0;
    int flashes = 0;
    int passwordAsks = 0;
    bool lastWrongPassword = false;
    // Called when a message is shown (e.g. to unplug a cable on a warning).
    std::function<void(const std::string&)> onMessage;

    ButtonId showMessage(const std::string& text, MessageStyle style) override {
        messages.push_back({text, style});
        if (onMessage)
            onMessage(text);
        if (!isYesNoStyle(style))
            return ButtonId::Ok;
        if (answers.empty())
            return ButtonId::No;
        ButtonId answer = answers.front();
        answers.pop_front();
        return answer;
    }
    // Runs while the wait indicator shows, before the loop turns.
    std::function<void()> duringWait;

    void runWaitIndicator(const std::function<bool()>& finished) override {
        ++waits;
        if (duringWait)
            duringWait();
        EXPECT_TRUE(loop_.runUntil(finished, std::chrono::seconds(60)));
    }
    std::optional<std::string> askPassword(bool wrong, const std::string&) override {
        ++passwordAsks;
        lastWrongPassword = wrong;
        if (passwords.empty())
            return std::nullopt;
        auto p = passwords.front();
        passwords.pop_front();
        return p;
    }
    void setBusy(bool on) override { busy.push_back(on); }
    void showProgress(const ProgressView& view) override {
        progress.push_back(view.percent);
        frames.push_back(view);
        if (onProgress)
            onProgress(view.percent);
    }
    std::vector<ProgressView> frames;
    // Called with each progress percentage (e.g. to ask the flow to stop).
    std::function<void(int)> onProgress;
    // Asks after the update's checks, as the command line does; each plan
    // shown is kept with the number of messages shown before it.
    bool checksFirst = false;
    std::vector<std::pair<UpdatePreview, std::size_t>> plans;
    bool asksAfterChecks() const override { return checksFirst; }
    bool showUpdatePlan(const UpdatePreview& preview) override {
        plans.emplace_back(preview, messages.size());
        return true;
    }
    void setTitle(const std::string& title) override { titles.push_back(title); }
    void flashWindow() override { ++flashes; }

    std::vector<Shown> questions() const {
        std::vector<Shown> q;
        for (const Shown& s : messages)
            if (isYesNoStyle(s.style))
                q.push_back(s);
        return q;
    }
    std::vector<Shown> results() const {
        std::vector<Shown> r;
        for (const Shown& s : messages)
            if (!isYesNoStyle(s.style))
                r.push_back(s);
        return r;
    }

  private:
    EventLoop& loop_;
};

// A console that is there (or gone) and records what it was sent.
class FakeConsole : public ConsoleLink {
  public:
    struct Post {
        ConsoleHandle console;
        std::string message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    bool alive = true;
    bool accepts = true;
    int attempts = 0;
    std::vector<Post> posts;

    bool isAlive(ConsoleHandle console) const override { return alive && console != 0; }
    bool post(ConsoleHandle console, const std::string& message, std::uintptr_t wParam,
              std::intptr_t lParam) override {
        ++attempts;
        if (!accepts)
            return false;
        posts.push_back({console, message, wParam, lParam});
        return true;
    }
};

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeScrambled(const fs::path& path, const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    ASSERT_TRUE(writeFileAtomically(path.string(), scrambleConfigBytes(bytes)));
}

// Replaces the first occurrence of `from` (which must be there).
inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

// A throw-away copy of the demo package and data folder.
class PackageCopy {
  public:
    PackageCopy() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // Parameterised tests have '/' in their names: one folder all the same.
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        root = fs::temp_directory_path() / ("vkt-app-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(root);
        fs::create_directories(root / "appdata" / "data");
        fs::copy(VKT_DEMO_PACKAGE_DIR, root / "data", fs::copy_options::recursive);
        fs::copy(fs::path(VKT_DEMO_DATA_DIR) / "data" / "setup.dat",
                 root / "appdata" / "data" / "setup.dat");
        configXml = readText(VKT_SAMPLES_DIR "/config.xml");
        setupXml = readText(VKT_SAMPLES_DIR "/setup.xml");
    }
    ~PackageCopy() {
        ErrorLog::instance().reset();
        fs::remove_all(root);
    }
    std::string packageDir() const { return (root / "data").string(); }
    std::string dataDir() const { return (root / "appdata").string(); }
    std::string logText() const { return readText(root / "appdata" / "log" / "err.log"); }

    // Rewrites config.xml from the edited text.
    void setConfig(const std::string& xml) { writeScrambled(root / "data" / "config.xml", xml); }
    void setSetup(const std::string& xml) {
        writeScrambled(root / "appdata" / "data" / "setup.dat", xml);
    }
    // Adds an FTF file with a default block for `model` at `version`.
    void addDefaultBlock(const std::string& model, const std::string& version,
                         const std::string& fileName) {
        FtfSource source;
        source.type = 0;
        source.internalName = model + "DEF" + version;
        source.version = {'R', 1, 2, 4};
        source.codeplugVersion = {'R', 1, 2, 4};
        source.modelNumber = model;
        FtfImage image;
        ASSERT_TRUE(loadFtfImage((root / "data" / "pkg004.ftf").string(), image));
        source.image = image.data;
        std::vector<std::uint8_t> bytes;
        std::string error;
        ASSERT_TRUE(buildFtfFile(source, bytes, error)) << error;
        std::ofstream(root / "data" / fileName, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }

    fs::path root;
    std::string configXml;
    std::string setupXml;
};

// The demo radio: type 2, VK2150EMA01, one step behind the package.
inline sim::RadioConfig demoRadio(const std::string& firmware = "R01.02.03",
                                  const std::string& codeplug = "R01.02.03") {
    sim::RadioConfig config;
    config.radioType = 2;
    config.serialNumber = "123ABC0001";
    sim::modelRecordFromText("VK2150EMA01", config.modelRecord);
    sim::parseVersionText(firmware, true, config.firmwareVersion);
    sim::parseVersionText(codeplug, false, config.codeplugVersion);
    return config;
}

// `cables` simulated cables with `radio` on the first.
inline std::shared_ptr<sim::VirtualCableDriver> simCables(
    const std::shared_ptr<sim::SimRadio>& radio, std::size_t cables) {
    std::vector<sim::VirtualDevice> devices;
    for (std::size_t i = 0; i < cables; ++i)
        devices.push_back({sim::kCableDescription, i == 0 ? radio : nullptr});
    return std::make_shared<sim::VirtualCableDriver>(std::move(devices));
}

// Start-up options for the package copy over `driver`, posting to `queue`.
inline StartupOptions benchStartupOptions(PackageCopy& package, std::shared_ptr<CableDriver> driver,
                                          std::chrono::milliseconds pollPeriod,
                                          MessageQueue* queue) {
    StartupOptions options;
    options.packageDir = package.packageDir();
    options.dataDir = package.dataDir();
    options.driver = std::move(driver);
    options.pollPeriod = pollPeriod;
    options.queue = queue;
    return options;
}

// The application started on a simulated radio, with a controller.
class Bench {
  public:
    explicit Bench(PackageCopy& package, sim::RadioConfig config = demoRadio(),
                   std::size_t cables = 1)
        : radio(std::make_shared<sim::SimRadio>(std::move(config))) {
        driver = simCables(radio, cables);
        // A poll period of an hour: the cable notices come from the tests.
        startup = app.start(benchStartupOptions(package, driver, std::chrono::hours(1), &loop));
        removeErrors(0);
        if (startup.ok) {
            controller = std::make_unique<MainController>(app, front, &console);
            controller->open();
        }
    }
    ~Bench() {
        controller.reset();
        app.shutdown();
    }

    // Opcodes the radio received, in order.
    std::vector<std::uint8_t> opcodes() const {
        std::vector<std::uint8_t> out;
        for (const auto& entry : radio->requestLog())
            out.push_back(entry.opcode);
        return out;
    }
    bool received(std::uint8_t opcode, int subFunction = -2) const {
        for (const auto& entry : radio->requestLog())
            if (entry.opcode == opcode && (subFunction == -2 || entry.subFunction == subFunction))
                return true;
        return false;
    }

    EventLoop loop;
    std::shared_ptr<sim::SimRadio> radio;
    std::shared_ptr<sim::VirtualCableDriver> driver;
    Application app;
    ScriptedFrontEnd front{loop};
    FakeConsole console;
    StartupResult startup;
    std::unique_ptr<MainController> controller;
};

}  // namespace vkt::testing
