// The tty and ftdi back-ends of the built `vkt` against emulated cables in
// an umockdev test bed: the kernel's sysfs layout of an FTDI cable with its
// ttyUSB, an FT232R behind usbfs, the simulated radio on the far end.
// Everything below the tool's back-ends is emulated; the back-ends, libftdi,
// libusb and the tty layer run unchanged.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/update_journal.h"
#include "app_test_support.h"
#include "bed_fixture.h"
#include "link/cable_backends.h"
#include "link/usb_serial.h"
#include "vkt_process.h"

namespace vkt::umock {
namespace {

namespace fs = std::filesystem;
using testing::PackageCopy;

constexpr const char* kOtherProduct = "USB <-> Serial Cable";

// What an update must keep: the DYN, CH and FRE windows and the
// user-defined voice that the demo package names.
std::vector<std::uint8_t> personalityOf(const sim::SimRadio& radio) {
    std::vector<std::uint8_t> all;
    for (std::uint32_t address : {0x820000u, 0x821000u, 0x822000u}) {
        const auto part = radio.memory(address, 0x800);
        all.insert(all.end(), part.begin(), part.end());
    }
    const auto voice = radio.flash(0x117000, 0x2000);
    all.insert(all.end(), voice.begin(), voice.end());
    return all;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class EmulatedCable : public BedFixture {
  protected:
    void SetUp() override {
        BedFixture::SetUp();
        if (bed)
            personality = personalityOf(*radio);
    }

    std::vector<std::string> vkt(const std::string& backend,
                                 std::initializer_list<std::string> command) const {
        std::vector<std::string> args = {"--package",       package.packageDir(), "--data-dir",
                                         package.dataDir(), "--backend",          backend};
        args.insert(args.end(), command);
        return args;
    }

    // A full update: exit 0, the package's versions, the personality kept.
    void expectFullUpdate(const std::string& backend) {
        std::string out;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(runVkt(vkt(backend, {"update", "--yes"}), out), 0) << out;
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
        std::printf("[ %s ] full update in %.1f s\n", backend.c_str(), seconds.count());
        EXPECT_TRUE(contains(out, "Update successful.")) << out;
        EXPECT_EQ(radio->firmwareVersion(), (std::vector<std::uint8_t>{'R', 1, 2, 4}));
        EXPECT_EQ(radio->codeplugVersion(), (std::vector<std::uint8_t>{'R', 1, 2, 4}));
        EXPECT_TRUE(personalityOf(*radio) == personality) << "the personality was not kept";
        EXPECT_EQ(radio->serialNumber(), "123ABC0001");
        EXPECT_EQ(radio->lineRate(), 16406u);
    }

    PackageCopy package;
    std::vector<std::uint8_t> personality;
};

TEST_F(EmulatedCable, TtyBackEndFindsReadsAndUpdatesTheRadio) {
    bed->plug({kOtherProduct, "FT9Z8Y7X", nullptr});
    std::string out;
    // Two ttyUSB ports; the one whose USB device reads "QX CPS Cable" counts.
    ASSERT_EQ(runVkt(vkt("tty", {"cables", "--json"}), out), 0) << out;
    EXPECT_TRUE(contains(out, "\"result\":\"1 programming cable found\"")) << out;
    EXPECT_TRUE(contains(out, "\"cables\":[{\"index\":0,\"path\":\"/dev/ttyUSB0\",\"description\":"
                              "\"QX CPS Cable\",\"serial_number\":\"QX7A01B2\","
                              "\"held_by_other_program\":false"))
        << out;

    ASSERT_EQ(runVkt(vkt("tty", {"info", "--json"}), out), 0) << out;
    EXPECT_TRUE(contains(out, "\"serial_number\":\"123ABC0001\"")) << out;
    EXPECT_TRUE(contains(out, "\"firmware_version\":\"R01.02.03\"")) << out;
    // The back-end asked the driver for low latency and lowered the port's
    // latency timer through sysfs.
    EXPECT_TRUE(bed->ttyLowLatency(0));
    EXPECT_EQ(bed->ttyLatencyTimer(0), "2");

    expectFullUpdate("tty");
    // The kernel driver was never touched.
    EXPECT_TRUE(bed->usb(0).interfaceEvents().empty());
}

TEST_F(EmulatedCable, FtdiBackEndFindsReadsAndUpdatesTheRadio) {
    bed->plug({kOtherProduct, "FT9Z8Y7X", nullptr});
    std::string out;
    ASSERT_EQ(runVkt(vkt("ftdi", {"cables", "--json"}), out), 0) << out;
    EXPECT_TRUE(contains(out, "\"result\":\"1 programming cable found\"")) << out;
    EXPECT_TRUE(contains(out, "\"serial_number\":\"QX7A01B2\",\"held_by_other_program\":false"))
        << out;

    ASSERT_EQ(runVkt(vkt("ftdi", {"info", "--json"}), out), 0) << out;
    EXPECT_TRUE(contains(out, "\"serial_number\":\"123ABC0001\"")) << out;
    EXPECT_TRUE(contains(out, "\"model\":\"VK-215\"")) << out;
    Ft232rChip& chip = bed->chip(0);
    EXPECT_EQ(chip.latencyMs(), 2);
    EXPECT_EQ(chip.dataCharacteristics(), 0x0008);  // 8 data bits, no parity, one stop bit
    EXPECT_EQ(chip.flowControl(), 0);
    // The serial driver left the interface while the port was open and came
    // back afterwards, with its tty.
    EXPECT_EQ(bed->usb(0).interfaceEvents(),
              (std::vector<std::string>{"detach", "claim", "release", "attach"}));
    EXPECT_TRUE(bed->usb(0).driverBound());
    EXPECT_TRUE(bed->ttyPresent(0));
    EXPECT_TRUE(fs::exists(fs::path(bed->root()) / "dev" / "ttyUSB0"));
    // The cable that is not a programming cable was asked for its strings,
    // never opened for use.
    EXPECT_TRUE(bed->usb(1).interfaceEvents().empty());

    expectFullUpdate("ftdi");
    // Every rate the tool asked for, as the chip's divisor gives it.
    bool fast = false, slow = false;
    for (const RateChange& change : chip.rateChanges()) {
        // libftdi opens at 9600; the tool then sets its two rates.
        if (std::abs(change.rate - 9600) < 1)
            continue;
        if (change.rate > 100000) {
            EXPECT_DOUBLE_EQ(change.rate, 240000.0);  // 3 MHz / 12.5
            fast = true;
        } else {
            // 3 MHz / 182.875: 16404.65 bit/s, 0.008 % slow, well within the
            // 3 % a UART tolerates.
            EXPECT_NEAR(change.rate, 16404.648, 0.001);
            EXPECT_LT(std::abs(change.rate / 16406 - 1), 0.0001);
            slow = true;
        }
        // The bytes written before (the request that switches the radio's
        // rate) had left the chip at the old rate.
        EXPECT_FALSE(change.transmitterBusy) << "rate " << change.rate;
    }
    EXPECT_TRUE(fast);
    EXPECT_TRUE(slow);
    EXPECT_DOUBLE_EQ(chip.lineRate(), ft232rRate(0xC0B6, 1));
    EXPECT_TRUE(bed->usb(0).driverBound());
}

// The ftdi back-end's rate switch waits until the chip's transmitter is
// empty: bytes still leaving the chip would go out at the new rate. In a
// real exchange the radio's reply comes after the request has left, so the
// wait is tested here on its own, in this process, with bytes that take
// 61 ms on the line.
TEST_F(EmulatedCable, FtdiRateSwitchWaitsForTheTransmitter) {
    setPace(1);
    std::string error;
    auto driver = createCableDriver("ftdi", error);
    ASSERT_TRUE(driver) << error;
    std::uint32_t count = 0;
    ASSERT_EQ(driver->countDevices(count), kCableOk);
    ASSERT_EQ(count, 1u);
    std::unique_ptr<CablePort> port;
    ASSERT_EQ(driver->open(0, port), kCableOk);
    const std::vector<std::uint8_t> bytes(100, 0x00);
    std::size_t written = 0;
    ASSERT_EQ(port->write(bytes.data(), bytes.size(), written), kCableOk);
    ASSERT_EQ(written, bytes.size());
    const auto wrote = std::chrono::steady_clock::now();
    ASSERT_EQ(port->setBaudRate(kFastLineRate), kCableOk);
    const auto changes = bed->chip(0).rateChanges();
    ASSERT_FALSE(changes.empty());
    EXPECT_DOUBLE_EQ(changes.back().rate, 240000.0);
    EXPECT_FALSE(changes.back().transmitterBusy);
    EXPECT_GE(changes.back().at - wrote, std::chrono::milliseconds(50));
    port.reset();
    EXPECT_TRUE(bed->usb(0).driverBound());
}

// Waits until the radio has received a request that `match` accepts.
bool waitForRequest(const sim::SimRadio& radio,
                    const std::function<bool(const sim::RequestLogEntry&)>& match,
                    std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::size_t seen = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (const auto& entry : radio.requestLogSince(seen)) {
            ++seen;
            if (match(entry))
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// The first flash write: the radio has been erased and the backup taken.
bool isFlashWrite(const sim::RequestLogEntry& e) {
    return e.opcode == 0x72 && e.subFunction == 1;
}

class PulledCable : public EmulatedCable, public ::testing::WithParamInterface<const char*> {};

// The cable pulled in the middle of an update: the device and its tty leave
// sysfs and /dev, the tty hangs up or usbfs answers ENODEV, and the update
// ends with its failure message, keeping the personality backup.
TEST_P(PulledCable, UpdateFailsCleanlyAndKeepsTheBackup) {
    VktProcess update(vkt(GetParam(), {"update", "--yes"}));
    ASSERT_TRUE(update.started());
    ASSERT_TRUE(waitForRequest(*radio, isFlashWrite, std::chrono::seconds(60))) << update.output();
    const auto pulled = std::chrono::steady_clock::now();
    bed->pull(0);
    const int code = update.wait();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - pulled).count();
    std::printf("[ %s ] update ended %.2f s after the pull\n", GetParam(), seconds);
    EXPECT_EQ(code, 1) << update.output();
    EXPECT_TRUE(contains(update.output(), "Update failed.")) << update.output();
    EXPECT_LT(seconds, 15.0);
    const auto files = personalityBackups(package.dataDir());
    ASSERT_EQ(files.size(), 1u) << update.output();
    EXPECT_GT(fs::file_size(files[0]), 3u * 0x800);
    EXPECT_TRUE(contains(package.logText(), files[0].filename().string())) << package.logText();
    // Nothing was found afterwards: the cable is gone for both back-ends.
    std::string out;
    ASSERT_EQ(runVkt(vkt(GetParam(), {"cables", "--json"}), out), 1) << out;
    EXPECT_TRUE(contains(out, "\"result\":\"No programming cable found\"")) << out;
    EXPECT_TRUE(contains(out, "\"cables\":[]")) << out;
}

INSTANTIATE_TEST_SUITE_P(BothBackEnds, PulledCable, ::testing::Values("tty", "ftdi"));

// The user's path after a pulled cable: the radio is switched off and on,
// the cable plugged in again, and a plain `vkt update` writes the backup of
// the broken run back and marks that run recovered.
TEST_F(EmulatedCable, PlainUpdateAfterAPulledCableRestoresThePersonality) {
    {
        VktProcess update(vkt("tty", {"update", "--yes"}));
        ASSERT_TRUE(update.started());
        ASSERT_TRUE(waitForRequest(*radio, isFlashWrite, std::chrono::seconds(60)))
            << update.output();
        bed->pull(0);
        EXPECT_EQ(update.wait(), 1) << update.output();
        EXPECT_TRUE(contains(update.output(), "Switch the radio off and on")) << update.output();
    }
    radio->powerCycle();
    const std::size_t cable = bed->plug({"QX CPS Cable", "QX7A01B3", radio});
    ASSERT_TRUE(bed->ttyPresent(cable));

    std::string out;
    ASSERT_EQ(runVkt(vkt("tty", {"update", "--yes"}), out), 0) << out;
    EXPECT_TRUE(contains(out, "This radio's last update was interrupted on ")) << out;
    EXPECT_TRUE(contains(out, "Update successful.")) << out;
    EXPECT_EQ(radio->firmwareVersion(), (std::vector<std::uint8_t>{'R', 1, 2, 4}));
    EXPECT_TRUE(personalityOf(*radio) == personality) << "the personality was not restored";
    EXPECT_EQ(radio->serialNumber(), "123ABC0001");

    UpdateJournal journal(updateJournalPath(package.dataDir()));
    std::string error;
    ASSERT_TRUE(journal.open(error, true)) << error;
    const auto runs = journal.runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].state, RunState::Succeeded);
    EXPECT_EQ(runs[1].state, RunState::Recovered);
    EXPECT_EQ(runs[0].recovers, runs[1].id);
}

// The divisor encoding itself, on the values libftdi sends for the rates
// the tool uses and on the chip's special cases.
TEST(Ft232rDivisor, DecodesIntegerFractionAndSpecialDivisors) {
    EXPECT_DOUBLE_EQ(ft232rRate(0x400C, 0), 240000.0);       // 12 + 1/2
    EXPECT_DOUBLE_EQ(ft232rRate(0xC0B6, 1), 3e6 / 182.875);  // 182 + 7/8 (code 7)
    EXPECT_DOUBLE_EQ(ft232rRate(0x4138, 0), 9600.0);         // 312 + 1/2
    EXPECT_DOUBLE_EQ(ft232rRate(0x00B6, 1), 3e6 / 182.375);  // code 4: 3/8
    EXPECT_DOUBLE_EQ(ft232rRate(0, 0), 3000000.0);
    EXPECT_DOUBLE_EQ(ft232rRate(1, 0), 2000000.0);
    EXPECT_DOUBLE_EQ(ft232rRate(0x8001, 0),
                     3e6 / 1.25);  // divisor 1 with a fraction is not special
}

}  // namespace
}  // namespace vkt::umock
