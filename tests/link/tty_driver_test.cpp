// The tty back-end: port lists, and real I/O over pseudo-terminals.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/ioctl.h>

#include "core/error_stack.h"
#include "link/cable_backends.h"
#include "link/tty_line.h"
#include "link/usb_serial.h"
#include "pty_helper.h"

namespace vkt {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using test::Pty;

TEST(TtyPortList, ParsesEntriesInOrder) {
    const auto devices = parseTtyPortList("/dev/pts/7=QX CPS Cable;;/dev/b=a=b;/dev/c;=x;");
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].path, "/dev/pts/7");
    EXPECT_EQ(devices[0].description, "QX CPS Cable");
    EXPECT_EQ(devices[1].path, "/dev/b");
    EXPECT_EQ(devices[1].description, "a=b");
    EXPECT_EQ(devices[2].path, "/dev/c");
    EXPECT_EQ(devices[2].description, "");
    EXPECT_TRUE(parseTtyPortList("").empty());

    test::TtyPortsEnv env("/dev/x=one;/dev/y=two");
    const auto all = listTtyDevices();
    const auto usb = listUsbSerialTtys();
    ASSERT_EQ(all.size(), usb.size() + 2);
    EXPECT_EQ(all[usb.size()].path, "/dev/x");
    EXPECT_EQ(all[usb.size() + 1].description, "two");
}

TEST(TtyPortList, UsbPortsCarryTheProductOfTheirDeviceInNumericOrder) {
    const fs::path root = fs::temp_directory_path() / ("vkt-sysfs-" + std::to_string(getpid()));
    fs::remove_all(root);
    auto makeUsb = [&](const std::string& tty, const std::string& product) {
        const fs::path device = root / "devices" / (tty + "-dev");
        const fs::path port = device / "1-1:1.0" / tty;
        fs::create_directories(port);
        std::ofstream(device / "product") << product << "\n";
        fs::create_directories(root / "class" / tty);
        fs::create_directory_symlink(port, root / "class" / tty / "device");
    };
    makeUsb("ttyUSB10", "QX CPS Cable");
    makeUsb("ttyUSB2", "FT232R USB UART");
    fs::create_directories(root / "class" / "ttyS0");
    fs::create_directories(root / "class" / "ttyUSBx");
    fs::create_directories(root / "class" / "ttyUSB3");  // no device link: no product

    const auto devices = listUsbSerialTtys((root / "class").string());
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].path, "/dev/ttyUSB2");
    EXPECT_EQ(devices[0].description, "FT232R USB UART");
    EXPECT_EQ(devices[1].path, "/dev/ttyUSB3");
    EXPECT_EQ(devices[1].description, "");
    EXPECT_EQ(devices[2].path, "/dev/ttyUSB10");
    EXPECT_EQ(devices[2].description, "QX CPS Cable");
    fs::remove_all(root);
}

class TtyPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        removeErrors(0);
        ASSERT_TRUE(pty.ok());
        ASSERT_EQ(cable.countDevices(), test::firstListedIndex() + 1);
        int first = -1;
        ASSERT_EQ(cable.findCables(first), 1);
        ASSERT_TRUE(cable.open(first));
        ASSERT_TRUE(cable.setDataCharacteristics());
        ASSERT_TRUE(cable.setFlowControl());
    }
    void TearDown() override { removeErrors(0); }

    Pty pty;
    test::TtyPortsEnv env{pty.path + "=QX CPS Cable"};
    USBSerial cable{makeTtyCableDriver()};
};

TEST_F(TtyPortTest, BytesMakeTheRoundTrip) {
    // The far end answers every byte with the byte plus one.
    std::thread responder([this] {
        Bytes in = pty.readMaster(5);
        for (auto& b : in)
            ++b;
        pty.writeMaster(in);
    });
    ASSERT_TRUE(cable.setTimeouts(2000, 300));
    const std::uint8_t out[] = {0x00, 0x50, 0xF2, 0xFE, 0x7F};
    EXPECT_EQ(cable.write(out, 5), 5u);
    std::uint8_t in[5] = {};
    EXPECT_EQ(cable.read(in, 5), 5u);
    responder.join();
    EXPECT_EQ(Bytes(in, in + 5), (Bytes{0x01, 0x51, 0xF3, 0xFF, 0x80}));

    // The far end goes away: reads fail and latch the status.
    pty.closeMaster();
    EXPECT_EQ(cable.read(in, 1), 0u);
    EXPECT_NE(cable.lastStatus(), kCableOk);
}

TEST_F(TtyPortTest, ReadAndWriteTimeoutsAreMilliseconds) {
    ASSERT_TRUE(cable.setTimeouts(20, 50));
    std::uint8_t in[5] = {};
    const auto start = Clock::now();
    EXPECT_EQ(cable.read(in, 5), 0u);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(19));
    EXPECT_LT(elapsed, std::chrono::milliseconds(100));
    EXPECT_EQ(cable.lastStatus(), kCableOk);

    // Nobody reads the far end: the write stops at its time-out with part sent.
    const Bytes big(1 << 20, 0x55);
    const auto writeStart = Clock::now();
    const std::size_t written = cable.write(big.data(), big.size());
    EXPECT_LT(written, big.size());
    EXPECT_LT(Clock::now() - writeStart, std::chrono::milliseconds(1000));
}

TEST_F(TtyPortTest, RateChangeIsAcceptedAndVisibleAtTheFarEnd) {
    EXPECT_TRUE(cable.setBaudRate(240000));
    EXPECT_EQ(cable.baudRate(), 240000u);
    EXPECT_EQ(tty::lineRate(pty.master), 240000u);
    EXPECT_TRUE(cable.setBaudRate(16406));
    EXPECT_EQ(tty::lineRate(pty.master), 16406u);
    EXPECT_EQ(errorCount(), 0u);
}

TEST_F(TtyPortTest, PurgeDropsBufferedAndQueuedBytes) {
    // A second handle on the slave shows what the kernel still holds.
    const int probe = ::open(pty.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0) << "cannot open the pty twice";
    ASSERT_TRUE(cable.setTimeouts(2000, 300));
    ASSERT_TRUE(pty.writeMaster(Bytes(64, 0xAA)));
    std::uint8_t first = 0;
    ASSERT_EQ(cable.read(&first, 1), 1u);  // the rest now sits in the port's buffer

    ASSERT_TRUE(pty.writeMaster(Bytes(32, 0xBB)));
    int queued = 0;
    for (int i = 0; i < 200 && queued < 32; ++i) {
        pollfd p{probe, POLLIN, 0};
        poll(&p, 1, 10);
        ioctl(probe, FIONREAD, &queued);
    }
    ASSERT_EQ(queued, 32);
    EXPECT_TRUE(cable.purge(kPurgeRx | kPurgeTx));
    ioctl(probe, FIONREAD, &queued);
    EXPECT_EQ(queued, 0);
    ASSERT_TRUE(cable.setTimeouts(20, 300));
    std::uint8_t rest[8] = {};
    EXPECT_EQ(cable.read(rest, 8), 0u);
    ::close(probe);
}

TEST_F(TtyPortTest, SingleByteReadsOfABurstDoNotCostASystemCallEach) {
    const Bytes burst = [] {
        Bytes b(4096);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i * 7);
        return b;
    }();
    std::thread sender([&] { pty.writeMaster(burst); });
    ASSERT_TRUE(cable.setTimeouts(2000, 300));
    const std::uint64_t before = ttyReadSystemCalls();
    Bytes received;
    for (std::size_t i = 0; i < burst.size(); ++i) {
        std::uint8_t b = 0;
        if (cable.read(&b, 1) != 1)
            break;
        received.push_back(b);
    }
    sender.join();
    EXPECT_EQ(received, burst);
    EXPECT_LT(ttyReadSystemCalls() - before, 256u);
}

// The port is exclusive while open and free again once closed: a pseudo-
// terminal keeps the flag for as long as its master lives, so a port left
// exclusive refuses the next open by anyone without CAP_SYS_ADMIN.
TEST(TtyDriver, ClosingAPortEndsItsExclusiveUse) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    test::TtyPortsEnv env(pty.path + "=QX CPS Cable");
    const int probe = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    const auto exclusive = [probe] {
        int on = -1;
        return ioctl(probe, TIOCGEXCL, &on) == 0 ? on : -1;
    };
    USBSerial cable(makeTtyCableDriver());
    ASSERT_TRUE(cable.open(test::firstListedIndex()));
    EXPECT_EQ(exclusive(), 1);
    ASSERT_TRUE(cable.close());
    EXPECT_EQ(exclusive(), 0);
    ::close(probe);
}

TEST(TtyDriver, OpenPortIsNotCountedAgainAndBadIndexFails) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    test::TtyPortsEnv env(pty.path + "=QX CPS Cable;/nonexistent/tty=QX CPS Cable");
    USBSerial cable(makeTtyCableDriver());
    const int base = test::firstListedIndex();
    int first = -1;
    EXPECT_EQ(cable.findCables(first), 2);
    EXPECT_EQ(first, base);
    ASSERT_TRUE(cable.open(base));
    first = -1;
    EXPECT_EQ(cable.findCables(first), 1);  // the one held here is left out
    EXPECT_EQ(first, base + 1);
    removeErrors(0);
    EXPECT_FALSE(cable.open(base + 1));
    EXPECT_EQ(firstErrorText(), "Error:failed to open the port refered by the index [" +
                                    std::to_string(base + 1) + "]");
    removeErrors(0);
}

TEST(TtyDriver, ACableAnotherProgramHoldsIsNotCountedUntilItLetsGo) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    test::TtyPortsEnv env(pty.path + "=QX CPS Cable");
    auto driver = makeTtyCableDriver();
    USBSerial cable(driver);
    const int index = test::firstListedIndex();
    const auto access = [&] {
        CableDeviceInfo info;
        EXPECT_EQ(driver->deviceInfo(static_cast<std::uint32_t>(index), info, true), kCableOk);
        EXPECT_EQ(info.path, pty.path);
        return info.access;
    };
    int first = -1;
    EXPECT_EQ(cable.findCables(first), 1);
    EXPECT_EQ(access(), CableDeviceInfo::Access::Free);

    // Another program opens the port in exclusive mode, as this tool does.
    const int other = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    first = -1;
    EXPECT_EQ(cable.findCables(first), 0);
    EXPECT_EQ(access(), CableDeviceInfo::Access::HeldElsewhere);
    ioctl(other, TIOCNXCL);
    ::close(other);
    EXPECT_EQ(cable.findCables(first), 1);

    // This tool gives the port back without its exclusive mode, which would
    // otherwise outlive it while the far end keeps the pty open.
    ASSERT_TRUE(cable.open(first));
    EXPECT_EQ(access(), CableDeviceInfo::Access::HeldHere);
    cable.close();
    EXPECT_EQ(access(), CableDeviceInfo::Access::Free);
}

}  // namespace
}  // namespace vkt
