// Fault injection, cable plug state, driver listing, pacing and concurrent
// use of the virtual cable.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <thread>

#include "sim/radio_options.h"
#include "sim_test_support.h"

namespace vkt::sim {
namespace {

using testing::Bench;
using testing::Bytes;

Fault fault(FaultKind kind, std::uint64_t at, std::uint32_t value = 0, std::uint32_t offset = 0,
            FaultTrigger trigger = FaultTrigger::Request) {
    Fault f;
    f.kind = kind;
    f.at = at;
    f.value = value;
    f.offset = offset;
    f.trigger = trigger;
    return f;
}

TEST(SimFaults, EachReplyFaultBreaksOnlyItsRequest) {
    RadioConfig c;
    c.echo = false;
    c.statusWord = 0x1234;
    c.faults = {fault(FaultKind::DropByte, 1, 0, 3),        // drops 0x12
                fault(FaultKind::CorruptByte, 2, 0x01, 4),  // 0x34 -> 0x35
                fault(FaultKind::CorruptChecksum, 3),      fault(FaultKind::OmitAck, 4),
                fault(FaultKind::WrongOpcode, 5, 0x95),    fault(FaultKind::Delay, 6, 60)};
    Bench bench(c, 30);
    const Bytes good{0x50, 0xF3, 0x90, 0x12, 0x34, 0x36};
    ASSERT_EQ(sbep::checksum(Bytes{0xF3, 0x90, 0x12, 0x34}), 0x36);
    auto send = [&] {
        bench.write(Bench::frame(0x10, {0x01}, true));
        return bench.readUpTo(16);
    };
    EXPECT_EQ(send(), (Bytes{0x50, 0xF3, 0x90, 0x34, 0x36}));
    EXPECT_EQ(send(), (Bytes{0x50, 0xF3, 0x90, 0x12, 0x35, 0x36}));
    EXPECT_EQ(send(), (Bytes{0x50, 0xF3, 0x90, 0x12, 0x34, 0xC9}));
    EXPECT_EQ(send(), (Bytes{0xF3, 0x90, 0x12, 0x34, 0x36}));
    auto r = bench.status(1);
    EXPECT_TRUE(r.complete) << "a wrong opcode comes in a well-formed frame";
    EXPECT_EQ(r.opcode, 0x95);
    EXPECT_TRUE(send().empty()) << "a 60 ms delay misses a 30 ms read";
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(bench.readUpTo(16), good) << "the late reply still arrives";
    EXPECT_EQ(send(), good);
    EXPECT_EQ(bench.radio->requestLog()[4].replyOpcode, 0x95);
}

TEST(SimFaults, WireByteTriggersAndRepeatCounts) {
    RadioConfig c;
    c.echo = false;
    // Request 1 has 6 request bytes (wire 1..6), then its reply: wire byte 9
    // is the reply's third byte, the opcode 0x90.
    c.faults = {fault(FaultKind::DropByte, 9, 0, 0, FaultTrigger::WireByte)};
    Fault twice = fault(FaultKind::OmitAck, 2);
    twice.count = 2;
    c.faults.push_back(twice);
    Bench bench(c);
    auto send = [&] {
        bench.write(Bench::frame(0x10, {0x01}, true));
        return bench.readUpTo(16);
    };
    EXPECT_EQ(send(), (Bytes{0x50, 0xF3, 0x00, 0x00, 0x7C}));
    EXPECT_EQ(send().front(), 0xF3);
    EXPECT_EQ(send().front(), 0xF3);
    EXPECT_EQ(send().front(), 0x50);
    EXPECT_EQ(bench.radio->bytesIn(), 24u);
    EXPECT_EQ(bench.radio->bytesOut(), 5u + 5 + 5 + 6);
}

TEST(SimFaults, PulledCableVanishesUntilReplugged) {
    RadioConfig c;
    c.faults = {fault(FaultKind::PullCable, 20, 0, 0, FaultTrigger::WireByte)};
    Bench bench(c);
    std::uint32_t count = 0;
    bench.driver->countDevices(count);
    EXPECT_EQ(count, 1u);
    // The radio counts its own line: request 1 is wire bytes 1..6, its reply
    // 7..12; request 2 is 13..18 and the cable goes at its reply's second byte.
    EXPECT_TRUE(bench.status(1).complete);
    bench.write(Bench::frame(0x10, {0x01}, true));
    std::size_t got = 0;
    std::vector<std::uint8_t> buf(32);
    EXPECT_EQ(bench.port->read(buf.data(), 1, got), kCableIoError);
    std::size_t written = 0;
    EXPECT_EQ(bench.port->write(buf.data(), 1, written), kCableIoError);
    EXPECT_EQ(bench.port->setBaudRate(16406), kCableIoError);
    bench.driver->countDevices(count);
    EXPECT_EQ(count, 0u);
    std::unique_ptr<CablePort> other;
    EXPECT_EQ(bench.driver->open(0, other), kCableDeviceNotFound);

    bench.radio->replug();
    bench.driver->countDevices(count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(bench.port->purge(kPurgeRx), kCableIoError) << "the old handle stays dead";
    bench.port.reset();
    ASSERT_EQ(bench.driver->open(0, bench.port), kCableOk);
    bench.port->setTimeouts(40, 100);
    EXPECT_TRUE(bench.status(1).complete);
}

TEST(SimFaults, PullAtARequestDropsItsReply) {
    RadioConfig c;
    c.faults = {fault(FaultKind::PullCable, 2)};
    Bench bench(c);
    EXPECT_TRUE(bench.status(1).complete);
    bench.write(Bench::frame(0x10, {0x01}, true));
    std::size_t got = 0;
    std::vector<std::uint8_t> buf(1);
    EXPECT_EQ(bench.port->read(buf.data(), 1, got), kCableIoError);
    EXPECT_TRUE(bench.radio->cablePulled());
    EXPECT_EQ(bench.radio->requestLog().back().replyOpcode, -1);
}

TEST(SimCableDriver, ListsDevicesAndGuardsOpenOnes) {
    auto radio = std::make_shared<SimRadio>();
    VirtualCableDriver driver(std::vector<VirtualDevice>{
        {"Other Serial", nullptr}, {kCableDescription, radio}, {"qx cps cable", nullptr}});
    std::uint32_t count = 0;
    driver.countDevices(count);
    ASSERT_EQ(count, 3u);
    std::string description;
    CableSystemError err{};
    EXPECT_EQ(driver.deviceDescription(1, description, err), kCableOk);
    EXPECT_EQ(description, kCableDescription);
    EXPECT_EQ(driver.deviceDescription(3, description, err), kCableDeviceNotFound);

    std::unique_ptr<CablePort> port;
    ASSERT_EQ(driver.open(1, port), kCableOk);
    EXPECT_EQ(driver.deviceDescription(1, description, err), kCableDeviceNotOpened);
    EXPECT_EQ(err, CableSystemError::Other);
    std::unique_ptr<CablePort> second;
    EXPECT_EQ(driver.open(1, second), kCableDeviceNotOpened);
    EXPECT_EQ(port->setBaudRate(0), kCableInvalidBaudRate);
    EXPECT_EQ(port->setDataCharacteristics(8, 0, 0), kCableOk);
    EXPECT_EQ(port->setFlowControl(0, 0, 0), kCableOk);
    EXPECT_EQ(port->setLatencyTimer(2), kCableOk);

    // Unplugging the first device shifts the indexes and breaks nothing else.
    driver.unplug(0);
    driver.countDevices(count);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(driver.deviceDescription(1, description, err), kCableOk);
    EXPECT_EQ(description, "qx cps cable");
    port.reset();
    EXPECT_EQ(driver.deviceDescription(0, description, err), kCableOk);
    EXPECT_EQ(description, kCableDescription);

    // A cable with no radio still echoes.
    std::unique_ptr<CablePort> lonely;
    ASSERT_EQ(driver.open(1, lonely), kCableOk);
    lonely->setTimeouts(20, 20);
    const Bytes probe{0xF1, 0x40, 0xCE};
    std::size_t n = 0;
    lonely->write(probe.data(), probe.size(), n);
    Bytes back(8);
    lonely->read(back.data(), back.size(), n);
    back.resize(n);
    EXPECT_EQ(back, probe);
}

TEST(SimCableDriver, ReadWaitsForItsTimeOutAndPurgeDropsArrivedBytes) {
    Bench bench(RadioConfig{}, 60);
    const auto t0 = Clock::now();
    EXPECT_TRUE(bench.readUpTo(1).empty());
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(55));
    bench.write(Bench::frame(0x10, {0x01}, true));
    ASSERT_EQ(bench.port->purge(kPurgeRx | kPurgeTx), kCableOk);
    EXPECT_TRUE(bench.readUpTo(1).empty());
}

TEST(SimPacing, BytesTakeTheirLineTimeDividedByThePaceFactor) {
    RadioConfig c;
    c.echo = false;
    c.timing.paceFactor = 10;
    c.timing.turnaround = std::chrono::microseconds(0);
    Bench bench(c, 2000);
    const std::uint16_t n = 1200;
    const Bytes request = Bench::frame(0x72, {0x03, 0x00, 0x00, 0x00, n >> 8, n & 0xFF}, true);
    const std::size_t replyBytes = 1 + 4 + 2 + n + 1;
    const auto t0 = Clock::now();
    bench.write(request);
    const Bytes reply = bench.readUpTo(replyBytes);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_EQ(reply.size(), replyBytes);
    const double expected = (request.size() + replyBytes) * byteSeconds(16406) / 10;
    EXPECT_GT(elapsed, expected * 0.5);
    EXPECT_LT(elapsed, expected * 3.0);
    EXPECT_EQ(bench.radio->bytesIn(), request.size());
    EXPECT_EQ(bench.radio->bytesOut(), replyBytes);
}

TEST(SimPacing, RadioWorkTimesAreCharged) {
    RadioConfig c;
    c.echo = false;
    c.radioType = 0;
    c.timing.paceFactor = 10;
    c.timing.erase64k = std::chrono::milliseconds(400);  // 40 ms paced
    Bench bench(c, 2000);
    bench.protection(0x800);
    const auto t0 = Clock::now();
    auto r = bench.erase(6, 0x10000);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_EQ(r.opcode, 0x95);
    EXPECT_GT(elapsed, 0.040 * 0.5);
    EXPECT_LT(elapsed, 0.040 * 3.0);
}

TEST(SimPacing, ReadAvailableWaitsForOneByteAndTakesWhatHasArrived) {
    RadioConfig c;
    c.echo = false;
    c.timing.paceFactor = 10;
    c.timing.turnaround = std::chrono::microseconds(0);
    Bench bench(c, 2000);
    const std::uint16_t n = 400;
    bench.write(Bench::frame(0x72, {0x03, 0x00, 0x00, 0x00, n >> 8, n & 0xFF}, true));
    const std::size_t replyBytes = 1 + 4 + 2 + n + 1;
    // The whole reply is on the line after its wire time; one call takes it.
    std::this_thread::sleep_for(
        std::chrono::duration<double>((11 + replyBytes) * byteSeconds(16406) / 10 + 0.02));
    Bytes all(8192);
    std::size_t got = 0;
    ASSERT_EQ(bench.port->readAvailable(all.data(), all.size(), got), kCableOk);
    EXPECT_EQ(got, replyBytes);
    EXPECT_EQ(all[0], 0x50);

    // Paced bytes still on the line: the call returns with the first ones,
    // long before the whole reply could have arrived.
    bench.write(Bench::frame(0x72, {0x03, 0x00, 0x00, 0x00, n >> 8, n & 0xFF}, true));
    const auto t0 = Clock::now();
    ASSERT_EQ(bench.port->readAvailable(all.data(), all.size(), got), kCableOk);
    EXPECT_GE(got, 1u);
    EXPECT_LT(got, replyBytes);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(150));
}

TEST(SimPacing, WireAndRadioSecondsCountWhatTheTrafficCosts) {
    RadioConfig c;
    c.radioType = 0;
    c.echo = false;
    c.timing.erase64k = std::chrono::milliseconds(400);
    Bench bench(c);
    bench.protection(0x800);
    bench.erase(6, 0x10000);
    const auto in = bench.radio->bytesIn();
    const auto out = bench.radio->bytesOut();
    EXPECT_NEAR(bench.radio->wireSeconds(), (in + out) * byteSeconds(16406), 1e-9);
    // Two answered requests: two turnarounds and the erase.
    EXPECT_NEAR(bench.radio->radioSeconds(), 0.001 + 0.001 + 0.4, 1e-9);

    // The counts go to the --stats file when the radio goes away.
    const std::string path = ::testing::TempDir() + "vkt_sim_stats.json";
    std::remove(path.c_str());
    std::string error;
    ASSERT_TRUE(applyRadioOptionText("--stats " + path, *bench.radio, error)) << error;
    bench.port.reset();
    bench.driver.reset();
    bench.radio.reset();
    std::ifstream file(path);
    const auto stats = nlohmann::json::parse(file, nullptr, false);
    ASSERT_TRUE(stats.is_object());
    EXPECT_EQ(stats.value("bytesIn", 0u), in);
    EXPECT_NEAR(stats.value("radioSeconds", 0.0), 0.402, 1e-9);
    std::remove(path.c_str());
}

TEST(SimThreads, AWorkerTalksWhileATestThreadInspects) {
    RadioConfig c;
    c.radioType = 1;
    c.oldContent = false;  // written without an erase
    Bench bench(c);
    bench.protection(0x1000);
    std::thread worker([&] {
        for (std::uint32_t i = 0; i < 64; ++i) {
            bench.flashWrite(0x20000 + i * 16, Bytes(16, std::uint8_t(i)));
        }
    });
    std::size_t seen = 0;
    for (int i = 0; i < 200; ++i) {
        seen = std::max(seen, bench.radio->requestLog().size());
        bench.radio->flash(0x20000, 1024);
        std::uint32_t count = 0;
        bench.driver->countDevices(count);
    }
    worker.join();
    EXPECT_EQ(bench.radio->requestLog().size(), 65u);
    EXPECT_EQ(bench.radio->flash(0x20000 + 63 * 16, 1), Bytes{63});
}

}  // namespace
}  // namespace vkt::sim
