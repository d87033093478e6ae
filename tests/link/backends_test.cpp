// Back-end registry, the wire trace, the ftdi helpers and `vkt cables`.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/error_stack.h"
#include "fake_cable.h"
#include "link/cable_backends.h"
#include "link/ftdi_driver.h"
#include "link/usb_serial.h"
#include "pty_helper.h"

namespace vkt {
namespace {

namespace fs = std::filesystem;

TEST(CableBackends, RegistryKnowsBuiltInsAndRegisteredOnes) {
    std::string error;
    EXPECT_EQ(createCableDriver("serial", error), nullptr);
    EXPECT_NE(error.find("unknown cable back-end \"serial\""), std::string::npos);
    auto tty = createCableDriver("tty", error);
    ASSERT_NE(tty, nullptr);
    EXPECT_STREQ(tty->name(), "tty");

    registerCableBackend("fake", [] { return std::make_shared<test::FakeDriver>(); });
    auto fake = createCableDriver("fake", error);
    ASSERT_NE(fake, nullptr);
    EXPECT_STREQ(fake->name(), "fake");

    unsetenv("VKT_CABLE_BACKEND");
    EXPECT_EQ(defaultCableBackendName(), "tty");
    setenv("VKT_CABLE_BACKEND", "sim", 1);
    EXPECT_EQ(defaultCableBackendName(), "sim");
    unsetenv("VKT_CABLE_BACKEND");
}

TEST(CableBackends, FtdiWithoutHardwareCountsNothingOrSaysWhy) {
    std::string error;
    auto ftdi = createCableDriver("ftdi", error);
    ASSERT_NE(ftdi, nullptr);
    USBSerial cable(ftdi);
    int first = -1;
    // No FTDI chip here (or a USB stack that cannot be reached): no cable.
    if (cable.findCables(first) == 0) {
        EXPECT_EQ(first, -1);
    }
    std::uint32_t count = 99;
    const std::uint32_t status = ftdi->countDevices(count);
    EXPECT_TRUE(status == kCableOk || count == 0);
    EXPECT_FALSE(cable.open(1000));
    EXPECT_EQ(firstErrorText(), "Error:failed to open the port refered by the index [1000]");
    removeErrors(0);
}

TEST(CableBackends, FtdiLineSettingsMapToChipValues) {
    FtdiLineProperty p;
    ASSERT_TRUE(ftdiLineProperty(8, 0, 0, p));
    EXPECT_EQ(p.bits, 8);
    EXPECT_EQ(p.stopBits, 0);
    EXPECT_EQ(p.parity, 0);
    ASSERT_TRUE(ftdiLineProperty(7, 2, 2, p));
    EXPECT_EQ(p.stopBits, 2);
    EXPECT_EQ(p.parity, 2);
    EXPECT_FALSE(ftdiLineProperty(9, 0, 0, p));
    EXPECT_FALSE(ftdiLineProperty(8, 1, 0, p));
    EXPECT_FALSE(ftdiLineProperty(8, 0, 5, p));
    int mode = -1;
    EXPECT_TRUE(ftdiFlowControl(0, mode));
    EXPECT_EQ(mode, 0);
    EXPECT_TRUE(ftdiFlowControl(0x0100, mode));
    EXPECT_EQ(mode, 0x0100);
    EXPECT_FALSE(ftdiFlowControl(0x0300, mode));
    EXPECT_TRUE(ftdiTransmitterEmpty(0x6000));
    EXPECT_FALSE(ftdiTransmitterEmpty(0x2000));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(WireTrace, LogsBytesRateChangesPurgesAndTimeouts) {
    const fs::path path = fs::temp_directory_path() / ("vkt-trace-" + std::to_string(getpid()));
    fs::remove(path);
    auto fake = std::make_shared<test::FakeDriver>();
    fake->devices.push_back({"QX CPS Cable", {}, false, 0});
    fake->line->onWrite = [](test::FakeLine& l, const std::vector<std::uint8_t>&) {
        l.push({0x50, 0xF2, 0x8C, 0x00, 0x81});
    };
    std::string error;
    {
        USBSerial cable(wrapWithTrace(fake, path.string(), error));
        ASSERT_TRUE(error.empty());
        int first = -1;
        ASSERT_EQ(cable.findCables(first), 1);
        ASSERT_TRUE(cable.open(first));
        ASSERT_TRUE(cable.setTimeouts(20, 300));
        ASSERT_TRUE(cable.setBaudRate(240000));
        const std::uint8_t probe[] = {0xF1, 0x40, 0xCE};
        ASSERT_EQ(cable.write(probe, 3), 3u);
        std::uint8_t reply[5] = {};
        for (std::uint8_t& b : reply)
            ASSERT_EQ(cable.read(&b, 1), 1u);
        ASSERT_EQ(cable.read(reply, 1), 0u);
    }
    const std::string text = readFile(path);
    for (const char* expected :
         {"DESCRIBE 0 \"QX CPS Cable\"", "OPEN 0", "LATENCY 2 ms",
          "TIMEOUTS read 20 ms write 300 ms", "RATE 16406 -> 240000 status 0", "PURGE 4",
          "TX 240000 +0000: F1 40 CE", "RX 240000 +0000: 50 F2 8C 00 81\n",
          "RX 240000 time-out after 0 of 1 bytes", "CLOSE 0"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
    fs::remove(path);

    // An unwritable trace leaves the driver as it was and says why.
    auto same = wrapWithTrace(fake, "/nonexistent/dir/trace.txt", error);
    EXPECT_EQ(same, fake);
    EXPECT_FALSE(error.empty());
}

// Runs the built `vkt` and returns its standard output; `status` gets the exit code.
std::string runVkt(const std::string& arguments, int& status) {
    const std::string command = std::string(VKT_BINARY) + " " + arguments + " 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    if (pipe == nullptr)
        return out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        out += buffer;
    const int rc = pclose(pipe);
    status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

TEST(CablesCommand, CountsDeclaredPtyCables) {
    if (!listUsbSerialTtys().empty())
        GTEST_SKIP() << "USB serial ports present on this machine";
    test::Pty a, b, c;
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    test::TtyPortsEnv env(a.path + "=qx cps cable;" + b.path + "=QX CPS Cable2;" + c.path +
                          "=qx cps cable");
    unsetenv("VKT_CABLE_BACKEND");
    int status = -1;
    const auto json = nlohmann::json::parse(runVkt("--backend tty cables --json", status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(json["result"], "2 programming cables found");
    ASSERT_EQ(json["cables"].size(), 2u);
    EXPECT_EQ(json["cables"][0]["index"], 0);
    EXPECT_EQ(json["cables"][0]["path"], a.path);
    EXPECT_EQ(json["cables"][0]["held_by_other_program"], false);
    EXPECT_EQ(json["cables"][1]["path"], c.path);
    EXPECT_TRUE(json["cables"][1]["serial_number"].is_null());
    EXPECT_NE(runVkt("cables", status).find("1  " + c.path + "  qx cps cable  serial unknown"),
              std::string::npos);

    runVkt("--backend nosuch cables", status);
    EXPECT_EQ(status, 2);
    // None: said so, and a failure.
    test::TtyPortsEnv none(b.path + "=QX CPS Cable2");
    runVkt("--backend tty cables", status);
    EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace vkt
