// vkt-radio-sim end to end: start the built program, talk to it through
// its pseudo-terminal, stop it with SIGTERM and check what it left behind.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "link/sbep_frame.h"
#include "radio_sim_process.h"
#include "sim/pty_rate.h"
#include "sim/state_dump.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The simulator stopped by SIGTERM reports how it ended.
using SimProcess = vkt::test::RadioSimProcess;

Bytes readFor(int fd, std::size_t count, int timeoutMs) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        std::uint8_t buf[64];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

int openRaw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return fd;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

TEST(RadioSimProgram, ServesARadioOnAPtyAndLeavesItsStateOnSigterm) {
    const fs::path dir = fs::temp_directory_path() / ("vkt-radio-sim-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path link = dir / "radio";
    std::ofstream(dir / "preload.bin", std::ios::binary) << "\x11\x22\x33";
    const std::string preload = (dir / "preload.bin").string();
    SimProcess sim({"--link",        link.string(),
                    "--serial",      "555QQQ1234",
                    "--status",      "0x0080",
                    "--type",        "1",
                    "--dump",        (dir / "state.json").string(),
                    "--dump-memory", (dir / "memory.bin").string(),
                    "--dump-flash",  (dir / "flash.bin").string(),
                    "--load-flash",  preload + "@0x1000",
                    "--load-memory", preload + "@0x820100",
                    "--log",         (dir / "requests.log").string()});
    ASSERT_FALSE(sim.slave().empty());
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), sim.slave());

    const int fd = openRaw(link.string());
    ASSERT_GE(fd, 0);

    // Echo of the request, then acknowledge and the status word.
    const Bytes status = vkt::sbep::encodeFrame(0x10, Bytes{0x01}, false);
    ASSERT_EQ(write(fd, status.data(), status.size()), ssize_t(status.size()));
    Bytes expected = status;
    const Bytes reply{0x50, 0xF3, 0x90, 0x00, 0x80, 0xFC};
    expected.insert(expected.end(), reply.begin(), reply.end());
    EXPECT_EQ(readFor(fd, expected.size(), 3000), expected);

    // Test mode, then a memory write that must show in the memory dump.
    const Bytes testMode = vkt::sbep::encodeFrame(0x22, Bytes{0x08, 0x00, 0x00});
    write(fd, testMode.data(), testMode.size());
    Bytes got = readFor(fd, testMode.size() + 6, 3000);
    ASSERT_EQ(got.size(), testMode.size() + 6);
    EXPECT_EQ(got[testMode.size() + 4], 1) << "radio type in the test-mode reply";
    const Bytes memWrite =
        vkt::sbep::encodeFrame(0x17, Bytes{0x00, 0x82, 0x10, 0x00, 0xDE, 0xAD}, false);
    write(fd, memWrite.data(), memWrite.size());
    got = readFor(fd, memWrite.size() + 8, 3000);
    ASSERT_EQ(got.size(), memWrite.size() + 8);
    EXPECT_EQ(got[memWrite.size() + 2], 0x84);
    close(fd);

    const int rc = sim.stop();
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link is removed at exit";

    const std::string json = slurp(dir / "state.json");
    EXPECT_NE(json.find("\"serialNumber\": \"555QQQ1234\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"radioType\": 1"), std::string::npos);
    EXPECT_NE(json.find("\"lineRate\": 16406"), std::string::npos);
    EXPECT_NE(json.find("\"requests\": 3"), std::string::npos);
    const std::string memory = slurp(dir / "memory.bin");
    ASSERT_EQ(memory.size(), 0x10000u);
    EXPECT_EQ(std::uint8_t(memory[0x1000]), 0xDE);
    EXPECT_EQ(std::uint8_t(memory[0x1001]), 0xAD);
    const Bytes memoryBytes(memory.begin(), memory.end());
    EXPECT_NE(json.find(vkt::sim::sha256Hex(memoryBytes)), std::string::npos);
    EXPECT_EQ(memory.substr(0x100, 3), "\x11\x22\x33");
    const std::string flash = slurp(dir / "flash.bin");
    ASSERT_EQ(flash.size(), 4u * 1024 * 1024);
    // The preloaded bytes lie on the old content a new radio starts with.
    const Bytes old =
        vkt::sim::oldFlashContent(1, 0x2000, Bytes{'R', 1, 2, 3}, Bytes{'R', 1, 2, 3});
    EXPECT_EQ(Bytes(flash.begin() + 0xFFF, flash.begin() + 0x1004),
              (Bytes{old[0xFFF], 0x11, 0x22, 0x33, old[0x1003]}));
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0xFFF),
              Bytes(old.begin(), old.begin() + 0xFFF));
    const std::string log = slurp(dir / "requests.log");
    EXPECT_NE(log.find("op=17 addr=821000 len=2 reply=84"), std::string::npos) << log;
    fs::remove_all(dir);
}

TEST(RadioSimProgram, FollowsTheHostsLineRateOnThePty) {
    const fs::path dump = fs::temp_directory_path() / ("vkt-rate-" + std::to_string(getpid()));
    SimProcess sim({"--no-echo", "--dump", dump.string()});
    ASSERT_FALSE(sim.slave().empty());
    const int fd = openRaw(sim.slave());
    ASSERT_GE(fd, 0);
    const Bytes status = vkt::sbep::encodeFrame(0x10, Bytes{0x01}, false);
    auto ask = [&] {
        write(fd, status.data(), status.size());
        return readFor(fd, 6, 300);
    };
    EXPECT_EQ(ask().size(), 6u) << "the pty starts at the radio's rate";
    ASSERT_TRUE(vkt::sim::setTerminalRate(fd, 240000));
    EXPECT_TRUE(ask().empty()) << "a host at another rate is not understood";

    ASSERT_TRUE(vkt::sim::setTerminalRate(fd, 16406));
    const Bytes fast =
        vkt::sbep::encodeFrame(0x38, Bytes{0x2A, 0x00, 0x00, 0x00, 0x00, 0x03, 0xA9, 0x80}, false);
    write(fd, fast.data(), fast.size());
    const Bytes reply = readFor(fd, 5, 1000);
    ASSERT_EQ(reply.size(), 5u);
    EXPECT_EQ(reply[2], 0x8C);
    ASSERT_TRUE(vkt::sim::setTerminalRate(fd, 240000));
    EXPECT_EQ(ask().size(), 6u) << "host and radio both at 240000";
    close(fd);

    const int rc = sim.stop();
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 0);
    EXPECT_NE(slurp(dump).find("\"lineRate\": 240000"), std::string::npos);
    fs::remove(dump);
}

TEST(RadioSimProgram, ALongPacedWriteIsEchoedInOrderAndAnsweredOnTime) {
    SimProcess sim({"--type", "0", "--pace", "10", "--program-us", "0", "--turnaround-us", "0"});
    ASSERT_FALSE(sim.slave().empty());
    const int fd = openRaw(sim.slave());
    ASSERT_GE(fd, 0);
    const Bytes unlock = vkt::sbep::encodeFrame(0x72, Bytes{0x08, 0x00, 0x08, 0x00});
    write(fd, unlock.data(), unlock.size());
    ASSERT_EQ(readFor(fd, unlock.size() + 6, 1000).size(), unlock.size() + 6);
    // A 4 KB flash write reaches the simulator in pieces; the echo must come
    // back whole and in order, then the acknowledge and the reply.
    Bytes data{0x01, 0x01, 0x00, 0x00};
    for (int i = 0; i < 4096; ++i)
        data.push_back(static_cast<std::uint8_t>(i * 13 + i / 256));
    const Bytes frame = vkt::sbep::encodeFrame(0x72, data, false);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    const Bytes back = readFor(fd, frame.size() + 6, 5000);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(back.size(), frame.size() + 6);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), back.begin()));
    EXPECT_EQ(back[frame.size()], 0x50);
    EXPECT_EQ(back[frame.size() + 2], 0x95);
    // The bytes need their wire time (a tenth of it), and not much more.
    const double wire = static_cast<double>(frame.size() + 6) * 10.0 / 16406 / 10;
    EXPECT_GT(elapsed, wire * 0.9);
    EXPECT_LT(elapsed, wire * 3 + 0.2);
    close(fd);
}

TEST(RadioSimProgram, AHostThatStopsReadingDoesNotHangTheSimulator) {
    SimProcess sim({});
    ASSERT_FALSE(sim.slave().empty());
    const int fd = openRaw(sim.slave());
    ASSERT_GE(fd, 0);
    // 40 flash reads of 4 KB: far more than a pty buffers.
    const Bytes read4k =
        vkt::sbep::encodeFrame(0x72, Bytes{0x03, 0x00, 0x00, 0x00, 0x10, 0x00}, false);
    for (int i = 0; i < 40; ++i)
        write(fd, read4k.data(), read4k.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = sim.stop();
    // A hang would last forever; the bound only has to allow for a slow,
    // loaded or sanitizer-instrumented run.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 0);
    close(fd);
}

TEST(RadioSimProgram, RejectsBadOptions) {
    SimProcess sim({"--serial", "short"});
    EXPECT_TRUE(sim.slave().empty());
    const int rc = sim.stop();
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 2);
}

}  // namespace
