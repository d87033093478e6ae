// `vkt info` and `vkt update` end to end: the built vkt talks through the
// tty back-end to vkt-radio-sim serving a radio on a pty.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "process_util.h"

namespace vkt::test {
namespace {

namespace fs = std::filesystem;

// Every JSON object of vkt ends with the tool's version.
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
        std::string environment = "VKT_TTY_PORTS='" + (dir / "radio").string() +
                                  "=QX CPS Cable' VKT_CABLE_BACKEND=tty VKT_SIM_OPTIONS=";
        return runVkt(environment,
                      "--package '" VKT_DEMO_PACKAGE_DIR "' --data-dir '" + dir.string() + "' " +
                          arguments + " </dev/null",
                      status);
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
    std::string out = vkt("info --json", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(
        out,
        "{\"ok\":true,\"result\":\"Successfully get radio information.\",\"radio_type\":\"VK2 "
        "Series\",\"regional_code\":\"0E\",\"model\":\"VK-215\",\"serial_number\":"
        "\"123ABC0001\",\"firmware_version\":\"R01.02.03\",\"codeplug_version\":"
        "\"R01.02.03\"" VKT_VERSION_FIELD "}\n");
}

TEST_F(VktOnPty, AFullUpdateWritesFirmwareAndKeepsTheSerialNumber) {
    serve({"R01.02.03", "R01.02.03"});
    int status = -1;
    EXPECT_EQ(vkt("update --json", status),
              "{\"ok\":false,\"result\":\"\",\"style\":0,\"backup\":null" VKT_VERSION_FIELD "}\n")
        << "without a terminal and without --yes the answer is No";
    EXPECT_EQ(status, 3);
    EXPECT_EQ(vkt("update --yes --json", status),
              "{\"ok\":true,\"result\":\"Update "
              "successful.\",\"style\":64,\"backup\":null" VKT_VERSION_FIELD "}\n");
    EXPECT_EQ(status, 0);
    std::string info = vkt("info", status);
    EXPECT_NE(info.find("Serial Number:    123ABC0001"), std::string::npos) << info;
    EXPECT_NE(info.find("Firmware Version: R01.02.04"), std::string::npos) << info;
    EXPECT_GT(firmwareRequests(), 0);
}

TEST_F(VktOnPty, ACodeplugOnlyUpdateSendsNoFirmware) {
    serve({"R01.02.04", "R01.02.03"});
    int status = -1;
    EXPECT_EQ(vkt("update --yes --json", status),
              "{\"ok\":true,\"result\":\"Update "
              "successful.\",\"style\":64,\"backup\":null" VKT_VERSION_FIELD "}\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(firmwareRequests(), 0);
}

TEST_F(VktOnPty, TheLatestVersionIsNothingToDo) {
    serve({"R01.02.04", "R01.02.04"});
    int status = -1;
    EXPECT_EQ(vkt("update --yes --json", status),
              "{\"ok\":false,\"result\":\"Radio version is the latest. No need to "
              "update.\",\"style\":64,\"backup\":null" VKT_VERSION_FIELD "}\n");
    EXPECT_EQ(status, 3);
}

TEST_F(VktOnPty, SerialNeedsTheDealerPassword) {
    serve({"R01.02.03", "R01.02.03"});
    int status = -1;
    EXPECT_EQ(vkt("serial 123ABC0002 --password 0000 --json", status),
              "{\"ok\":false,\"result\":\"The password is not correct. Please check "
              "it!\",\"style\":16" VKT_VERSION_FIELD "}\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(vkt("serial 123ABC0002 --password 4815162342 --json", status),
              "{\"ok\":true,\"result\":\"Update serial number "
              "successful.\",\"style\":64" VKT_VERSION_FIELD "}\n");
    EXPECT_EQ(status, 0);
    EXPECT_NE(vkt("info", status).find("123ABC0002"), std::string::npos);
}

}  // namespace
}  // namespace vkt::test
