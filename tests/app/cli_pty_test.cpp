// `vkt info` and `vkt update` end to end: the built vkt talks through the
// tty back-end to vkt-radio-sim serving a radio on a pty.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "process_util.h"

namespace vkt::test {
namespace {

namespace fs = std::filesystem;

// Every JSON object of vkt carries the tool's version after its error.
#define VKT_VERSION_FIELD ",\"tool_version\":\"" VKT_TOOL_VERSION "\""

struct Versions {
    const char* firmware;
    const char* codeplug;
};

class VktOnPty : public ::testing::Test {
  protected:
    void serve(Versions v) {
        std::string pattern = (fs::temp_directory_path() / "vkt-app-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::copy(VKT_DEMO_DATA_DIR, dir, fs::copy_options::recursive);
        sim = std::make_unique<RadioSimProcess>(std::vector<std::string>{
            "--type", "2", "--model", "VK2150EMA01", "--serial", "123ABC0001", "--firmware",
            v.firmware, "--codeplug", v.codeplug, "--link", (dir / "radio").string(), "--log",
            (dir / "requests.log").string()});
        ASSERT_TRUE(sim->ready());
    }
    void TearDown() override {
        sim.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string vkt(const std::string& arguments, int& status) {
        return runVkt(environment(),
                      "--package '" VKT_DEMO_PACKAGE_DIR "' --data-dir '" + dir.string() + "' " +
                          arguments + " </dev/null",
                      status);
    }
    // The same with stderr in a file of its own.
    std::string vkt(const std::string& arguments, int& status, std::string& err) {
        const fs::path errFile = dir / "stderr.txt";
        const std::string out = runShell(
            privateRuntimeDir().environment() + " " + environment() +
                " " VKT_BINARY " --package '" VKT_DEMO_PACKAGE_DIR "' --data-dir '" + dir.string() +
                "' " + arguments + " </dev/null 2>'" + errFile.string() + "'",
            status);
        std::ifstream in(errFile);
        std::stringstream text;
        text << in.rdbuf();
        err = text.str();
        return out;
    }
    std::string environment() const {
        return "VKT_TTY_PORTS='" + (dir / "radio").string() +
               "=QX CPS Cable' VKT_CABLE_BACKEND=tty VKT_SIM_OPTIONS=";
    }
    // The requests the radio received, one line each.
    std::vector<std::string> requests() {
        sim->stop();
        std::ifstream log(dir / "requests.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);)
            lines.push_back(line);
        return lines;
    }

    // Flash erases and writes the radio received below the codeplug blocks.
    int firmwareRequests() {
        sim->stop();
        std::ifstream log(dir / "requests.log");
        std::regex flash(R"(op=72 sub=([0-9A-F]{2}) addr=([0-9A-F]{6}))");
        int count = 0;
        for (std::string line; std::getline(log, line);) {
            std::smatch m;
            if (std::regex_search(line, m, flash) && m[1] != "08" && m[1] != "03" &&
                std::stoul(m[2], nullptr, 16) < 0x60000)
                ++count;
        }
        return count;
    }

    fs::path dir;
    std::unique_ptr<RadioSimProcess> sim;
};

TEST_F(VktOnPty, InfoShowsTheSixFields) {
    serve({"R01.02.03", "R01.02.03"});
    int status = -1;
    const std::string out = vkt("info --json", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out,
              "{\"schema\":1,\"command\":\"info\",\"ok\":true,\"result\":\"Successfully get "
              "radio information.\",\"error\":null" VKT_VERSION_FIELD
              ",\"severity\":\"info\",\"cable\":\"" +
                  (dir / "radio").string() +
                  "\",\"radio_type\":\"VK2 Series\",\"regional_code\":\"0E\",\"model\":"
                  "\"VK-215\",\"serial_number\":\"123ABC0001\",\"firmware_version\":"
                  "\"R01.02.03\",\"codeplug_version\":\"R01.02.03\",\"interrupted_run\":null}\n");
}

TEST_F(VktOnPty, AFullUpdateWritesFirmwareAndKeepsTheSerialNumber) {
    serve({"R01.02.03", "R01.02.03"});
    int status = -1;
    auto json = nlohmann::json::parse(vkt("update --json", status));
    EXPECT_EQ(status, 3) << "without a terminal and without --yes the answer is No";
    EXPECT_EQ(json["error"]["category"], "DECLINED");
    json = nlohmann::json::parse(vkt("update --yes --json", status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(json["result"], "Update successful.");
    EXPECT_EQ(json["firmware_version"], "R01.02.04");
    std::string info = vkt("info", status);
    EXPECT_NE(info.find("Serial Number:    123ABC0001"), std::string::npos) << info;
    EXPECT_NE(info.find("Firmware Version: R01.02.04"), std::string::npos) << info;
    EXPECT_GT(firmwareRequests(), 0);
}

TEST_F(VktOnPty, ACodeplugOnlyUpdateSendsNoFirmware) {
    serve({"R01.02.04", "R01.02.03"});
    int status = -1;
    EXPECT_EQ(nlohmann::json::parse(vkt("update --yes --json", status))["ok"], true);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(firmwareRequests(), 0);
}

// An up-to-date radio is told so at once: no question (without a terminal
// it would be answered No and the update declined), exit 3.
TEST_F(VktOnPty, TheLatestVersionIsNothingToDoAndAsksNothing) {
    serve({"R01.02.04", "R01.02.04"});
    int status = -1;
    std::string err;
    const auto json = nlohmann::json::parse(vkt("update --json", status, err));
    EXPECT_EQ(status, 3);
    EXPECT_EQ(json["result"], "Radio version is the latest. No need to update.");
    EXPECT_EQ(json["error"]["category"], "UP_TO_DATE");
    EXPECT_EQ(json["severity"], "info");
    EXPECT_EQ(err, "Radio version is the latest. No need to update.\n");
}

// A dry run checks the radio and the package, shows the plan and sends the
// radio nothing but the reads of its identity, even with --yes.
TEST_F(VktOnPty, ADryRunShowsThePlanAndOnlyReadsTheIdentity) {
    serve({"R01.02.03", "R01.02.03"});
    int status = -1;
    std::string err;
    const auto json = nlohmann::json::parse(vkt("update --dry-run --yes --json", status, err));
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(json["dry_run"], true);
    const auto& plan = json["plan"];
    EXPECT_EQ(plan["radio"]["firmware_version"], "R01.02.03");
    EXPECT_EQ(plan["package"]["firmware_version"], "R01.02.04");
    EXPECT_EQ(plan["package"]["folder"],
              fs::path(VKT_DEMO_PACKAGE_DIR).lexically_normal().string());
    EXPECT_EQ(plan["writes"],
              (nlohmann::json{{"firmware", true}, {"codeplug", true}, {"voice_prompts", true}}));
    EXPECT_EQ(plan["personality"], "kept");
    EXPECT_NE(err.find("Writes:         firmware, codeplug, voice prompts\n"), std::string::npos)
        << err;
    EXPECT_EQ(err.find("[y/N]"), std::string::npos) << err;
    // Identity reads, and the cable's echo probe that no radio answers.
    const std::regex harmless(R"(^#\d+ op=(23 sub=0[0134] |40 reply=none ))");
    const auto lines = requests();
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_search(line, harmless)) << line;
}

TEST_F(VktOnPty, SerialNeedsTheDealerPassword) {
    serve({"R01.02.03", "R01.02.03"});
    int status = -1;
    auto json = nlohmann::json::parse(vkt("serial 123ABC0002 --password 0000 --json", status));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(json["result"], "The password is not correct. Please check it!");
    EXPECT_EQ(json["error"]["category"], "LOGIN");
    json = nlohmann::json::parse(vkt("serial 123ABC0002 --password 4815162342 --json", status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(json["result"], "Update serial number successful.");
    EXPECT_EQ(json["serial_number"], "123ABC0002");
    EXPECT_NE(vkt("info", status).find("123ABC0002"), std::string::npos);
}

// The tty back-end lists the machine's USB serial ports before the pty
// ports; where there are some, the cable positions are not the tests'.
bool machineHasUsbSerialPorts() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        if (entry.path().filename().string().rfind("ttyUSB", 0) == 0)
            return true;
    }
    return false;
}

// Two radios on two cables, each served by its own simulator.
class VktOnTwoPtys : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vkt-app-cli2-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::copy(VKT_DEMO_DATA_DIR, dir, fs::copy_options::recursive);
        for (int i = 0; i < 2; ++i) {
            sims.push_back(std::make_unique<RadioSimProcess>(
                std::vector<std::string>{"--type", "2", "--model", "VK2150EMA01", "--serial",
                                         "123ABC000" + std::to_string(i + 1), "--link", link(i)}));
            ASSERT_TRUE(sims.back()->ready());
        }
    }
    void TearDown() override {
        sims.clear();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string link(int i) const { return (dir / ("radio" + std::to_string(i + 1))).string(); }

    // `vkt` on both cables (or those given); stdout and stderr together.
    // `prefix` goes before the program (to run it as another user).
    std::string vkt(const std::string& arguments, int& status, const std::string& ports = {},
                    const std::string& prefix = {}) {
        const std::string list =
            ports.empty() ? link(0) + "=QX CPS Cable;" + link(1) + "=QX CPS Cable" : ports;
        return runShell("env VKT_TTY_PORTS='" + list + "' VKT_CABLE_BACKEND=tty VKT_SIM_OPTIONS= " +
                            privateRuntimeDir().environment() + " " + prefix + VKT_BINARY +
                            " --package '" VKT_DEMO_PACKAGE_DIR "' --data-dir '" + dir.string() +
                            "' " + arguments + " </dev/null 2>&1",
                        status);
    }

    fs::path dir;
    std::vector<std::unique_ptr<RadioSimProcess>> sims;
};

TEST_F(VktOnTwoPtys, PortChoosesTheSecondCableAndNoChoiceFailsAtOnce) {
    if (machineHasUsbSerialPorts())
        GTEST_SKIP() << "USB serial ports present on this machine";
    int status = -1;
    std::string out = vkt("--port " + link(1) + " identity", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Serial number     123ABC0002"), std::string::npos) << out;
    out = vkt("--cable 0 identity", status);
    EXPECT_NE(out.find("Serial number     123ABC0001"), std::string::npos) << out;

    // Without a choice the command does not wait for a cable to go.
    for (const char* command : {"info", "update --yes", "serial 123ABC0009 --password 1"}) {
        const auto start = std::chrono::steady_clock::now();
        out = vkt(command, status);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << command;
        EXPECT_EQ(status, 1) << command;
        EXPECT_EQ(out,
                  "vkt: error: There are 2 USB conections. Please remove the unused and keep one "
                  "connection only.\nhint: Or choose one with --port PATH or --cable N; `vkt "
                  "cables` lists the programming cables the tool sees.\n")
            << command;
    }
    // The failure is in the error log too.
    std::ifstream log(dir / "log" / "err.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("] vkt info: error: There are 2 USB conections."), std::string::npos)
        << text.str();
}

TEST_F(VktOnTwoPtys, APortThisUserMayNotOpenGetsTheHint) {
    if (machineHasUsbSerialPorts())
        GTEST_SKIP() << "USB serial ports present on this machine";
    // Root opens anything: run as nobody, for whom the pty (mode 0620) is
    // closed; another user may use chmod.
    std::string prefix;
    if (::geteuid() == 0) {
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        fs::create_directories(dir / "log");
        for (const fs::path& p : {dir, dir / "log", dir / "data"})
            fs::permissions(p, fs::perms::all);
    } else {
        fs::permissions(fs::canonical(link(1)), fs::perms::none);
    }
    int status = -1;
    const std::string out = vkt("info", status, link(1) + "=QX CPS Cable", prefix);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("vkt: error: cannot open " + link(1) +
                       ": Permission denied\nhint: Your "
                       "user may not use the port."),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("dialout"), std::string::npos) << out;
}

}  // namespace
}  // namespace vkt::test
