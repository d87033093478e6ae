// The tty back-end against vkt-radio-sim on a pty (termios settings, rate
// switches), and the `vkt` commands that talk to a radio: through the tty
// back-end and with the persisted simulated radio of --simulate.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "core/error_stack.h"
#include "link/cable_backends.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/usb_serial.h"
#include "process_util.h"
#include "update/transfer.h"

namespace vkt::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct TempDir {
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "vkt-it-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

// The radio the tests serve: firmware bytes 'r', 1, 0x1A, 0x05 show the
// hexadecimal rule and the upper-casing of the letter.
std::vector<std::string> radioArguments(const fs::path& link) {
    return {"--type",     "2",         "--serial",   "123ABC4D56", "--model", "VK2150EMA01",
            "--firmware", "r01.1a.05", "--codeplug", "R01.26.05",  "--link",  link.string()};
}

class TtySim : public ::testing::Test {
  protected:
    void SetUp() override {
        removeErrors(0);
        link = dir.path / "radio";
        sim = std::make_unique<RadioSimProcess>(radioArguments(link));
        ASSERT_TRUE(sim->ready());
        ports = link.string() + "=QX CPS Cable";
        setenv("VKT_TTY_PORTS", ports.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VKT_TTY_PORTS");
        removeErrors(0);
    }

    TempDir dir;
    fs::path link;
    std::string ports;
    std::unique_ptr<RadioSimProcess> sim;
};

TEST_F(TtySim, IdentityAndFastFlashRoundTripThroughTermios) {
    RadioInfo info(makeTtyCableDriver());
    int index = -1;
    ASSERT_GE(info.cable().findCables(index), 1);
    ASSERT_TRUE(info.openPort(index)) << allErrorTexts();
    ASSERT_TRUE(info.readIdentity()) << allErrorTexts();
    std::string serial, model, firmware, codeplug;
    serialNumberText(info.serialNumber, serial);
    modelNumberText(info.modelRecord, model);
    firmwareVersionText(info.firmwareVersion, firmware);
    codeplugVersionText(info.codeplugVersion, codeplug);
    EXPECT_EQ(serial, "123ABC4D56");
    EXPECT_EQ(model, "VK2150EMA01");
    EXPECT_EQ(firmware, "R01.1a.05");
    EXPECT_EQ(codeplug, "R01.26.05");

    // At the fast rate, a full 4 KB chunk written and read back.
    SBEP& engine = info.engine();
    Bytes reply(4200);
    std::uint8_t opcode = 0;
    ASSERT_GE(engine.setRadioBaudRate(kFastLineRate, 0, opcode, reply), 0) << allErrorTexts();
    ASSERT_GE(engine.protectionMode(0x3040, opcode, reply), 0);
    BlockTransfer transfer(engine, reply);
    Bytes data(4096);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 13 + 1);
    ASSERT_TRUE(transfer.erase(sbep::kFlashErase4K, 0x300000)) << allErrorTexts();
    ASSERT_TRUE(transfer.writeFlash(0x300000, data)) << allErrorTexts();
    Bytes back(data.size());
    ASSERT_TRUE(transfer.readFlash(0x300000, back)) << allErrorTexts();
    EXPECT_EQ(back, data);
    ASSERT_GE(engine.setRadioBaudRate(kSlowLineRate, 0, opcode, reply), 0);
    EXPECT_TRUE(info.closePort());
    EXPECT_EQ(errorCount(), 0u) << allErrorTexts();
}

TEST_F(TtySim, VktIdentityPrintsTheTexts) {
    const std::string env = "VKT_TTY_PORTS='" + ports + "'";
    int status = -1;
    const std::string out = runVkt(env, "--backend tty identity --json", status);
    EXPECT_EQ(status, 0) << out;
    const auto json = nlohmann::json::parse(out);
    EXPECT_EQ(json["ok"], true) << out;
    EXPECT_EQ(json["serial_number"], "123ABC4D56");
    EXPECT_EQ(json["model"], "VK2150EMA01");
    EXPECT_EQ(json["regional_code"], "0E");
    EXPECT_EQ(json["firmware_version"], "R01.1a.05");
    EXPECT_EQ(json["raw"]["firmware_version"], nlohmann::json::parse("[114, 1, 26, 5]"));
    EXPECT_EQ(json["codeplug_version"], "R01.26.05");

    const std::string text = runVkt(env, "--backend tty identity", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(text.find("R01.26.05"), std::string::npos) << text;

    // The radio gone: exit 1 with the error text.
    sim->stop();
    runVkt(env, "--backend tty identity", status);
    EXPECT_EQ(status, 1);
}

TEST(VktSimulate, TheRadioPersistsBetweenCommands) {
    TempDir dir;
    const std::string data = "--data-dir " + dir.path.string();
    int status = -1;
    std::string out = runVkt("", "--simulate " + data + " identity --json", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("\"serial_number\":\"123ABC0001\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"model\":\"VK2150EMA01\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"firmware_version\":\"R01.02.03\""), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(dir.path / "sim" / "radio.state"));

    // An override changes the saved radio; the next command sees it.
    out = runVkt("VKT_SIM_OPTIONS='--serial 123ABC0777'", "--simulate " + data + " identity --json",
                 status);
    EXPECT_NE(out.find("123ABC0777"), std::string::npos) << out;
    out = runVkt("", "--simulate " + data + " identity --json", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("\"serial_number\":\"123ABC0777\""), std::string::npos) << out;

    // Bad overrides and a damaged state file fail without touching the radio.
    runVkt("VKT_SIM_OPTIONS='--type 9'", "--simulate " + data + " identity", status);
    EXPECT_EQ(status, 1);
    {
        std::fstream f(dir.path / "sim" / "radio.state",
                       std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(20);
        f.put('\x5A');
    }
    runVkt("", "--simulate " + data + " identity", status);
    EXPECT_EQ(status, 1);

    // The cable monitor sees the one simulated cable.
    fs::remove(dir.path / "sim" / "radio.state");
    out = runVkt("", "--simulate " + data + " monitor --seconds 1.6 --json", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("\"result\":\"USB Cable Connected\",\"error\":null,"), std::string::npos)
        << out;
    EXPECT_NE(out.find(",\"cables\":1,\"ms\":"), std::string::npos) << out;
}

}  // namespace
}  // namespace vkt::test
