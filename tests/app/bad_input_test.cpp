// Bad input at start-up, through the built `vkt` and through the start-up the
// desktop shares (Application::start): a package folder of garbage, a cut-off
// config.xml, a setup file of another region, a data folder that is missing
// or cannot be written, a disk that is full for the log, for setup.dat and for
// the personality backup. Each gives a clear message and the documented exit
// code, and nothing is left half written.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "app_test_support.h"
#include "package/package_config.h"
#include "tests/core/file_size_limit.h"
#include "tests/integration/private_runtime.h"

namespace vkt::testing {
namespace {

const std::string kReinstallText = loadString(112);

struct VktRun {
    int status = -1;
    std::string output;  // stdout and stderr
};

// Runs the built vkt through the shell. `limitBlocks` > 0 caps the size of
// every file it writes (512-byte blocks) with the size-limit signal ignored,
// as on a full disk.
VktRun runVkt(const std::string& arguments, int limitBlocks = 0) {
    std::string command = "export " + test::privateRuntimeDir().environment() + "; exec " +
                          std::string(VKT_BINARY) + " " + arguments + " </dev/null 2>&1";
    if (limitBlocks > 0)
        command = "trap '' XFSZ; ulimit -f " + std::to_string(limitBlocks) + "; " + command;
    VktRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[512];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    const int rc = pclose(pipe);
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return run;
}

std::string folders(const PackageCopy& p, const std::string& dataDir = "") {
    return "--simulate --package " + p.packageDir() + " --data-dir " +
           (dataDir.empty() ? p.dataDir() : dataDir);
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string garbage(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char& c : out)
        c = static_cast<char>(rng());
    return out;
}

StartupResult startDesktopWay(const std::string& packageDir, const std::string& dataDir,
                              EventLoop& loop) {
    Application app;
    StartupOptions options;
    options.packageDir = packageDir;
    options.dataDir = dataDir;
    options.driver = std::make_shared<sim::VirtualCableDriver>();
    options.pollPeriod = std::chrono::hours(1);
    options.queue = &loop;
    StartupResult result = app.start(options);
    app.shutdown();
    removeErrors(0);
    return result;
}

// Each broken package: the re-install message, exit code 1 and the reason
// in the log, from vkt and from the desktop's start-up alike.
TEST(BadInput, BrokenPackagesAskForAReinstallAndLogTheReason) {
    struct Case {
        const char* name;
        std::function<void(PackageCopy&)> spoil;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"config.xml of garbage",
         [](PackageCopy& p) { writeBytes(p.root / "data" / "config.xml", garbage(3000, 1)); },
         "The initial file ["},
        {"every FTF file garbage",
         [](PackageCopy& p) {
             for (const auto& e : fs::directory_iterator(p.root / "data"))
                 if (e.path().extension() == ".ftf")
                     writeBytes(e.path(), garbage(fs::file_size(e.path()), 2));
         },
         "The FW file is lost."},
        {"config.xml cut off",
         [](PackageCopy& p) {
             const fs::path path = p.root / "data" / "config.xml";
             fs::resize_file(path, fs::file_size(path) / 2);
         },
         "The initial file ["},
        {"empty package folder",
         [](PackageCopy& p) {
             fs::remove_all(p.root / "data");
             fs::create_directories(p.root / "data");
         },
         "Error:failed to open the specified file ["},
        {"setup.dat of another region",
         [](PackageCopy& p) { p.setSetup(replaced(p.setupXml, "id=\"EMEA\"", "id=\"APAC\"")); },
         ""},
        {"setup.dat cut off",
         [](PackageCopy& p) {
             const fs::path path = p.root / "appdata" / "data" / "setup.dat";
             fs::resize_file(path, 20);
         },
         "The setup file ["},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PackageCopy package;
        c.spoil(package);
        const VktRun run = runVkt(folders(package) + " info");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find(kReinstallText), std::string::npos) << run.output;
        const std::string log = package.logText();
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;

        EventLoop loop;
        ErrorLog::instance().reset();
        const StartupResult result = startDesktopWay(package.packageDir(), package.dataDir(), loop);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.messageId, 112);
        EXPECT_EQ(result.style, MessageStyle::Error);
        EXPECT_NE(result.logLine.find(c.logged), std::string::npos) << result.logLine;
    }
}

// A data folder that is missing, or that is a file (nothing can be created
// in it): the start fails with a message, and nothing is created.
TEST(BadInput, AnUnusableDataFolderFailsTheStartAndCreatesNothing) {
    PackageCopy package;
    const fs::path missing = package.root / "no" / "such";
    VktRun run = runVkt(folders(package, missing.string()) + " info");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find(kReinstallText), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(package.root / "no"));

    const fs::path file = package.root / "plain-file";
    writeBytes(file, "not a folder");
    run = runVkt(folders(package, file.string()) + " info");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find(kReinstallText), std::string::npos) << run.output;
    EXPECT_TRUE(fs::is_regular_file(file));

    EventLoop loop;
    const StartupResult result = startDesktopWay(package.packageDir(), missing.string(), loop);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.messageId, 112);
    EXPECT_FALSE(fs::exists(package.root / "no"));
}

// The disk fills up while the log line of a failed start is written: the
// message still reaches the user and the log keeps only whole lines.
TEST(BadInput, AFullDiskForTheLogKeepsItsLinesWhole) {
    PackageCopy package;
    writeBytes(package.root / "data" / "config.xml", garbage(100, 3));
    fs::create_directories(package.root / "appdata" / "log");
    const fs::path log = package.root / "appdata" / "log" / "err.log";
    const std::string earlier = std::string(480, '-') + "\n";
    writeBytes(log, earlier);
    // One block of 512 bytes: the reason's line does not fit behind the
    // 481 bytes already there.
    const VktRun run = runVkt(folders(package) + " info", 1);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find(kReinstallText), std::string::npos) << run.output;
    EXPECT_EQ(package.logText(), earlier);
}

// The disk is full when setup.dat is rewritten (a language or password
// stored): the save fails and the old file stays whole, with no temporary
// file left beside it.
TEST(BadInput, AFullDiskForTheSetupFileKeepsTheOldOne) {
    PackageCopy package;
    const fs::path setup = package.root / "appdata" / "data" / "setup.dat";
    const std::string before = readText(setup);
    ConfigDocument store;
    ASSERT_TRUE(store.createConfigDocument());
    PackageConfig config(store);
    ASSERT_TRUE(
        config.loadPackageConfig((package.root / "data" / "config.xml").string(), setup.string()))
        << allErrorTexts();
    {
        FileSizeLimit full(before.size() / 2);
        ASSERT_TRUE(full.active());
        EXPECT_FALSE(config.setDealerPassword("12345678"));
        EXPECT_FALSE(config.setDefaultLanguage("de_de"));
    }
    removeErrors(0);
    EXPECT_EQ(readText(setup), before);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(setup.parent_path()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"setup.dat"});
    // With room again the same change is saved.
    EXPECT_TRUE(config.setDealerPassword("12345678"));
    EXPECT_NE(readText(setup), before);
}

// The disk is full when the update begins to write its records (the update
// journal's row comes first, then the personality backup): the update stops
// before anything is erased, says so, and exits with 1; the radio is as it
// was.
TEST(BadInput, AFullDiskForThePersonalityBackupStopsTheUpdateBeforeAnyErase) {
    PackageCopy package;
    // A first run creates the simulated radio's state file.
    VktRun run = runVkt(folders(package) + " info");
    ASSERT_EQ(run.status, 0) << run.output;
    const fs::path state = package.root / "appdata" / "sim" / "radio.state";
    ASSERT_TRUE(fs::exists(state));
    const std::string radioBefore = readText(state);

    run = runVkt(folders(package) + " update --yes", 2);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("nothing on the radio was changed"), std::string::npos) << run.output;
    EXPECT_EQ(readText(state), radioBefore);
    const fs::path backups = package.root / "appdata" / "backup";
    if (fs::exists(backups)) {
        for (const auto& e : fs::directory_iterator(backups))
            ADD_FAILURE() << "left behind: " << e.path();
    }
    run = runVkt(folders(package) + " info");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("R01.02.03"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace vkt::testing
