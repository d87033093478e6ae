// USBSerial over a scripted driver: cable search, reads and writes, state.
#include <gtest/gtest.h>

#include "core/error_stack.h"
#include "fake_cable.h"
#include "link/radio_info.h"
#include "link/usb_serial.h"

namespace vkt {
namespace {

using test::FakeDevice;
using test::FakeDriver;

class UsbSerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        removeErrors(0);
        cable.setSleepFunction(
            [this](std::chrono::milliseconds ms) { slept.push_back(ms.count()); });
    }
    void TearDown() override { removeErrors(0); }

    void addDevice(std::string description) {
        driver->devices.push_back(FakeDevice{std::move(description), {}, false, 0});
    }

    std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();
    USBSerial cable{driver};
    std::vector<long> slept;
};

TEST_F(UsbSerialTest, FindCablesWithNoDeviceLeavesFirstIndexAlone) {
    int first = -1;
    EXPECT_EQ(cable.findCables(first), 0);
    EXPECT_EQ(first, -1);
    driver->countStatus = kCableIoError;
    EXPECT_EQ(cable.findCables(first), 0);
    EXPECT_EQ(cable.lastStatus(), kCableIoError);
    EXPECT_EQ(cable.countDevices(), 0);
    EXPECT_EQ(cable.lastStatus(), kCableOk);  // the device count clears it
}

TEST_F(UsbSerialTest, FindCablesMatchesTheWholeDescriptionWithoutCase) {
    addDevice("USB Serial");
    addDevice("qx cps CABLE");
    addDevice("QX CPS Cable2");
    addDevice("QX CPS Cable");
    addDevice(" QX CPS Cable");
    int first = -1;
    EXPECT_EQ(cable.findCables(first), 2);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(cable.countDevices(), 5);
    EXPECT_TRUE(slept.empty());
}

TEST_F(UsbSerialTest, DescriptionFailuresAreRetriedOnlyWhenTransient) {
    // Held elsewhere: 13 waits of 500 ms, then not counted.
    FakeDevice held{
        "QX CPS Cable", {{kCableDeviceNotOpened, CableSystemError::AccessDenied}}, true, 0};
    // Busy for two moments, then fine: counted.
    FakeDevice busy{"QX CPS Cable",
                    {{kCableDeviceNotOpened, CableSystemError::GeneralFailure},
                     {kCableDeviceNotOpened, CableSystemError::GeneralFailure}},
                    false,
                    0};
    // Other system errors and other statuses are not retried.
    FakeDevice other{"QX CPS Cable", {{kCableDeviceNotOpened, CableSystemError::Other}}, false, 0};
    FakeDevice broken{"QX CPS Cable", {{kCableIoError, CableSystemError::AccessDenied}}, false, 0};
    driver->devices = {held, busy, other, broken};
    int first = -1;
    EXPECT_EQ(cable.findCables(first), 1);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(driver->devices[0].queries, 14);
    EXPECT_EQ(driver->devices[2].queries, 1);
    EXPECT_EQ(driver->devices[3].queries, 1);
    std::vector<long> expected(13, 500);
    expected.push_back(10);
    expected.push_back(10);
    EXPECT_EQ(slept, expected);
    EXPECT_EQ(cable.lastStatus(), kCableIoError);  // the last query's status
}

// The cable monitor's count: the same number, but the status stays as the
// radio thread left it, whatever the queries answer.
TEST_F(UsbSerialTest, TheMonitorsCountLeavesTheStatusAlone) {
    driver->devices = {
        FakeDevice{"QX CPS Cable", {}, false, 0},
        FakeDevice{"QX CPS Cable", {{kCableDeviceNotOpened, CableSystemError::Other}}, true, 0}};
    ASSERT_TRUE(cable.open(0));
    EXPECT_EQ(cable.countCables(), 1);
    EXPECT_EQ(cable.lastStatus(), kCableOk);
    driver->line->purgeStatus = kCableIoError;
    EXPECT_FALSE(cable.purge(kPurgeRx));
    driver->countStatus = kCableOtherError;
    EXPECT_EQ(cable.countCables(), 0);
    EXPECT_EQ(cable.lastStatus(), kCableIoError);
    int first = -1;
    EXPECT_EQ(cable.findCables(first), 0);
    EXPECT_EQ(cable.lastStatus(), kCableOtherError);
}

TEST_F(UsbSerialTest, OpenSetsALowLatencyAndReportsFailures) {
    addDevice("QX CPS Cable");
    ASSERT_TRUE(cable.open(0));
    EXPECT_EQ(driver->line->latency, 2);
    EXPECT_TRUE(cable.isOpen());
    EXPECT_TRUE(cable.open(0));  // re-open closes first
    EXPECT_TRUE(cable.close());
    EXPECT_FALSE(cable.isOpen());

    driver->openStatus = kCableDeviceNotOpened;
    EXPECT_FALSE(cable.open(5));
    EXPECT_EQ(firstErrorText(), "Error:failed to open the port refered by the index [5]");
    EXPECT_EQ(firstErrorCode(), 3);
    EXPECT_EQ(cable.lastStatus(), kCableDeviceNotOpened);
}

// The radio record opens the cable at 16406 bit/s; a cable that refuses the
// rate reports it once.
TEST_F(UsbSerialTest, ALineRateTheCableRefusesIsReportedOnce) {
    addDevice("QX CPS Cable");
    RadioInfo radio(driver);
    driver->line->rateStatus = kCableInvalidBaudRate;
    EXPECT_FALSE(radio.openPort(0));
    EXPECT_FALSE(radio.portOpen());
    EXPECT_EQ(allErrorTexts(), "Error:failed to set baud rade [16406].\n");
}

TEST_F(UsbSerialTest, ClosedCableRefusesQuietly) {
    std::uint8_t buffer[4] = {};
    EXPECT_FALSE(cable.close());
    EXPECT_FALSE(cable.setBaudRate(240000));
    EXPECT_FALSE(cable.setTimeouts(1, 2));
    EXPECT_EQ(cable.read(buffer, 4), 0u);
    EXPECT_EQ(cable.write(buffer, 4), 0u);
    EXPECT_EQ(errorCount(), 0u);
    EXPECT_EQ(cable.baudRate(), 16406u);
}

TEST_F(UsbSerialTest, ReadGathersPiecesAndStopsAtTheTimeout) {
    addDevice("QX CPS Cable");
    ASSERT_TRUE(cable.open(0));
    driver->line->push({1, 2, 3, 4});
    driver->line->readLimit = 3;
    std::uint8_t buffer[10] = {};
    EXPECT_EQ(cable.read(buffer, 10), 4u);
    EXPECT_EQ(buffer[3], 4);
    // Pieces of 3, 1, then an empty read ends it.
    EXPECT_EQ(driver->line->readRequests, (std::vector<std::size_t>{10, 7, 6}));

    driver->line->push({9});
    driver->line->readStatus = kCableIoError;
    EXPECT_EQ(cable.read(buffer, 1), 0u);
    EXPECT_EQ(cable.lastStatus(), kCableIoError);
}

TEST_F(UsbSerialTest, ByteReadsFetchWhatArrivedBehindTheirByte) {
    addDevice("QX CPS Cable");
    ASSERT_TRUE(cable.open(0));
    driver->line->bulk = true;
    driver->line->push({1, 2, 3, 4, 5, 6});
    std::uint8_t b = 0;
    ASSERT_EQ(cable.read(&b, 1), 1u);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(driver->line->availableCalls, 1);
    EXPECT_TRUE(driver->line->incoming.empty());
    // The next reads take the fetched bytes in order, with no port call.
    ASSERT_EQ(cable.read(&b, 1), 1u);
    EXPECT_EQ(b, 2);
    std::uint8_t two[2] = {};
    ASSERT_EQ(cable.read(two, 2), 2u);
    EXPECT_EQ(two[0], 3);
    EXPECT_EQ(two[1], 4);
    EXPECT_EQ(driver->line->availableCalls, 1);
    EXPECT_TRUE(driver->line->readRequests.empty());

    // A longer read takes the rest of them first, then asks the port for the remainder.
    driver->line->push({7, 8});
    std::uint8_t four[4] = {};
    ASSERT_EQ(cable.read(four, 4), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(four, four + 4), (std::vector<std::uint8_t>{5, 6, 7, 8}));
    EXPECT_EQ(driver->line->readRequests, (std::vector<std::size_t>{2}));

    // An empty line: the byte read times out and reports nothing.
    EXPECT_EQ(cable.read(&b, 1), 0u);
    EXPECT_EQ(cable.lastStatus(), kCableOk);
    driver->line->readStatus = kCableIoError;
    EXPECT_EQ(cable.read(&b, 1), 0u);
    EXPECT_EQ(cable.lastStatus(), kCableIoError);
}

TEST_F(UsbSerialTest, FetchedBytesGoWithAReceivePurgeOrAClose) {
    addDevice("QX CPS Cable");
    ASSERT_TRUE(cable.open(0));
    driver->line->bulk = true;
    driver->line->push({1, 2, 3});
    std::uint8_t b = 0;
    ASSERT_EQ(cable.read(&b, 1), 1u);
    // A transmit-only purge keeps them.
    ASSERT_TRUE(cable.purge(kPurgeTx));
    ASSERT_EQ(cable.read(&b, 1), 1u);
    EXPECT_EQ(b, 2);
    ASSERT_TRUE(cable.purge(kPurgeRx));
    driver->line->push({9});
    ASSERT_EQ(cable.read(&b, 1), 1u);
    EXPECT_EQ(b, 9);

    driver->line->push({4, 5});
    ASSERT_EQ(cable.read(&b, 1), 1u);
    ASSERT_TRUE(cable.close());
    ASSERT_TRUE(cable.open(0));
    driver->line->bulk = true;
    EXPECT_EQ(cable.read(&b, 1), 0u);
}

TEST_F(UsbSerialTest, WritePurgesWithMaskFourBeforeWriting) {
    addDevice("QX CPS Cable");
    ASSERT_TRUE(cable.open(0));
    const std::uint8_t bytes[] = {0xF1, 0x40, 0xCE};
    EXPECT_EQ(cable.write(bytes, 3), 3u);
    EXPECT_EQ(driver->line->purges, std::vector<std::uint32_t>{4});

    driver->line->purgeStatus = kCableIoError;
    EXPECT_EQ(cable.write(bytes, 3), 3u);  // the write still goes out
    EXPECT_EQ(firstErrorText(), "Error:failed to purge port.");
    EXPECT_EQ(cable.lastStatus(), kCableOk);
}

TEST_F(UsbSerialTest, LineSettingsStoreWhatSucceeded) {
    addDevice("QX CPS Cable");
    ASSERT_TRUE(cable.open(0));
    EXPECT_TRUE(cable.setTimeouts(250, 300));
    EXPECT_EQ(cable.readTimeoutMs(), 250u);
    EXPECT_EQ(cable.writeTimeoutMs(), 300u);
    EXPECT_TRUE(cable.setDataCharacteristics());
    EXPECT_TRUE(cable.setFlowControl());
    driver->line->rateStatus = kCableInvalidBaudRate;
    EXPECT_FALSE(cable.setBaudRate(123));
    EXPECT_EQ(cable.baudRate(), 16406u);
    EXPECT_EQ(firstErrorText(), "Error:failed to set baud rade [123].");
}

}  // namespace
}  // namespace vkt
