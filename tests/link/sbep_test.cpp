// The SBEP engine and its requests against a scripted cable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "core/error_stack.h"
#include "fake_cable.h"
#include "link/sbep.h"

namespace vkt {
namespace {

using test::FakeDriver;
using test::radioReply;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

// Every case runs twice: with a port that hands over one byte per wait, and
// with one that hands over everything that has arrived (the cable then keeps
// the bytes behind the one asked for).
class SbepTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        removeErrors(0);
        driver->devices.push_back({"QX CPS Cable", {}, false, 0});
        ASSERT_TRUE(cable.open(0));
        line().bulk = GetParam();
        radio.attach(line());
    }
    void TearDown() override { removeErrors(0); }

    test::FakeLine& line() { return *driver->line; }
    int transactReply(const Bytes& reply, std::span<std::uint8_t> data) {
        line().onWrite = [reply](test::FakeLine& l, const Bytes&) { l.push(reply); };
        const std::uint8_t frame[] = {0xF2, 0x23, 0x00, 0xEA};
        return sbep.transact(frame, sizeof frame, address, opcode, data);
    }
    static bool checksumOk(const Bytes& frame) {
        return !frame.empty() && SBEP::checksum(frame.data(), frame.size() - 1) == frame.back();
    }

    std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();
    USBSerial cable{driver};
    SBEP sbep{cable};
    test::ScriptedRadio radio;
    std::uint32_t address = 0;
    std::uint8_t opcode = 0;
    Bytes data = Bytes(4096, 0);
};

// --- Frames and checksums -------------------------------------------------

TEST_P(SbepTest, ParsesShortReplyAndRejectsItsBadChecksumTwin) {
    EXPECT_EQ(transactReply({0x50, 0xF2, 0x8C, 0x00, 0x81}, data), 1);
    EXPECT_EQ(opcode, 0x8C);
    EXPECT_EQ(data[0], 0x00);
    for (std::uint8_t last : {0x80, 0x82, 0x00}) {
        EXPECT_EQ(transactReply({0x50, 0xF2, 0x8C, 0x00, last}, data), -1) << int(last);
    }
    // A size of 0 in the short form: the checksum follows at once.
    EXPECT_EQ(transactReply({0x50, 0xF0, 0x95, 0x7A}, data), 0);
    EXPECT_EQ(opcode, 0x95);
}

TEST_P(SbepTest, AddressOfAddressedRepliesIsReturnedApart) {
    const Bytes reply = radioReply(0x84, {0x00, 0x12, 0x34, 0x56});
    EXPECT_EQ(reply[1], 0xF5);
    EXPECT_EQ(transactReply(reply, data), 0);
    EXPECT_EQ(opcode, 0x84);
    EXPECT_EQ(address, 0x123456u);

    // Long form, memRead-style: address then data.
    Bytes longReply{0x50};
    const auto frame = sbep::encodeFrame(0x80, Bytes{0, 1, 2, 3, 0xAA, 0xBB}, false);
    longReply.insert(longReply.end(), frame.begin(), frame.end());
    EXPECT_EQ(transactReply(longReply, data), 2);
    EXPECT_EQ(address, 0x00010203u);
    EXPECT_THAT(Bytes(data.begin(), data.begin() + 2), ElementsAre(0xAA, 0xBB));
}

TEST_P(SbepTest, RequestFramesCarryTheirFieldsAndAValidChecksum) {
    std::uint32_t addr = 0x012345;
    sbep.readRadioInfo(3, opcode, data);
    sbep.statusRequest(1, opcode, data);
    sbep.memRead(16, addr, opcode, data);
    addr = 0x0A0B0C;
    sbep.memWrite(Bytes{0xDE, 0xAD}, addr, opcode, data);
    sbep.testModeRequest(2, 7, 9, opcode, data);
    sbep.softportWrite(0x2E, 0x01, 0x01, Bytes{0x55}, opcode, data);
    sbep.factoryBlockBackup(opcode, data);
    const Bytes serial{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    sbep.updateSN(serial, opcode, data);
    sbep.protectionMode(0xBEEF, opcode, data);
    sbep.eraseFlash(6, 0x210000, opcode, data);
    sbep.readFlash(0x800, 0x123456, opcode, data);

    // The silent radio makes every request try twice: take every second frame.
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < line().writes.size(); i += 2)
        frames.push_back(line().writes[i]);
    ASSERT_EQ(frames.size(), 11u);
    for (const auto& f : frames)
        EXPECT_TRUE(checksumOk(f));
    auto body = [](const Bytes& f) { return Bytes(f.begin(), f.end() - 1); };
    EXPECT_EQ(body(frames[0]), (Bytes{0xF2, 0x23, 0x03}));
    EXPECT_EQ(body(frames[1]), (Bytes{0xFF, 0x10, 0x00, 0x02, 0x01}));
    EXPECT_EQ(body(frames[2]), (Bytes{0xFF, 0x11, 0x00, 0x05, 0x10, 0x01, 0x23, 0x45}));
    EXPECT_EQ(body(frames[3]), (Bytes{0xFF, 0x17, 0x00, 0x07, 0x00, 0x0A, 0x0B, 0x0C, 0xDE, 0xAD}));
    EXPECT_EQ(body(frames[4]), (Bytes{0xF4, 0x22, 0x02, 0x07, 0x09}));
    EXPECT_EQ(body(frames[5]), (Bytes{0xFF, 0x38, 0x00, 0x06, 0x2E, 0x01, 0x00, 0x01, 0x55}));
    EXPECT_EQ(body(frames[6]), (Bytes{0xF5, 0x38, 0x26, 0x00, 0x00, 0x00}));
    Bytes sn{0xFD, 0x18, 0x01, 0x01};
    sn.insert(sn.end(), serial.begin(), serial.end());
    EXPECT_EQ(body(frames[7]), sn);
    EXPECT_EQ(body(frames[8]), (Bytes{0xF5, 0x72, 0x08, 0x00, 0xBE, 0xEF}));
    EXPECT_EQ(body(frames[9]), (Bytes{0xFF, 0x72, 0x00, 0x05, 0x06, 0x21, 0x00, 0x00}));
    EXPECT_EQ(body(frames[10]),
              (Bytes{0xFF, 0x72, 0x00, 0x07, 0x03, 0x12, 0x34, 0x56, 0x08, 0x00}));
}

TEST_P(SbepTest, TimeoutsAndWaitsFollowTheRequestOpcode) {
    radio.replies = {radioReply(0x90, {0, 0})};
    EXPECT_EQ(sbep.statusRequest(0, opcode, data), 2);
    EXPECT_EQ(line().timeouts.back(), std::make_pair(300u, 200u));
    radio.replies = {radioReply(0x95, {})};
    sbep.eraseFlash(4, 0, opcode, data);
    EXPECT_EQ(line().timeouts.back(), std::make_pair(300u, 3000u));
    radio.replies = {radioReply(0xA3, {1, 0, 1})};
    sbep.readRadioInfo(1, opcode, data);
    EXPECT_EQ(line().timeouts.back(), std::make_pair(100u, 300u));
    const auto before = line().timeouts.size();
    radio.replies = {radioReply(0x8C, {})};
    sbep.softportWrite('*', 0, 0, {}, opcode, data);
    EXPECT_EQ(line().timeouts.size(), before);  // left as they were
    EXPECT_EQ(sbep.trials(), 2);
    EXPECT_EQ(sbep.ackTrials(), 2);
    // Every exchange starts with a purge of both queues.
    EXPECT_EQ(line().purges.front(), kPurgeRx | kPurgeTx);
}

// --- Reply stream oddities ------------------------------------------------

TEST_P(SbepTest, GarbageBeforeTheHeaderIsSkipped) {
    EXPECT_EQ(transactReply({0x50, 0x01, 0xEF, 0x42, 0xF2, 0x8C, 0x00, 0x81}, data), 1);
    EXPECT_EQ(opcode, 0x8C);
}

TEST_P(SbepTest, BytesLeftBehindAReplyAreNotReadAsTheNextOne) {
    Bytes twice = {0x50, 0xF2, 0x8C, 0x00, 0x81};
    twice.insert(twice.end(), {0x50, 0xF2, 0x8C, 0x01, 0x80});
    EXPECT_EQ(transactReply(twice, data), 1);
    EXPECT_EQ(data[0], 0x00);
    EXPECT_EQ(transactReply({}, data), -1);
    EXPECT_EQ(opcode, 0x00);
    EXPECT_EQ(transactReply({0x50, 0xF2, 0x8C, 0x01, 0x80}, data), 1);
    EXPECT_EQ(data[0], 0x01);
}

TEST_P(SbepTest, MissingAcknowledgeReportsOpcode60) {
    EXPECT_EQ(transactReply({0x60, 0xF2, 0x8C, 0x00, 0x81}, data), -1);
    EXPECT_EQ(opcode, 0x60);
}

TEST_P(SbepTest, FactoryBlockBackupReports60WhenRefusedBeforeSending) {
    cable.close();
    opcode = 0x11;
    EXPECT_EQ(sbep.factoryBlockBackup(opcode, data), -1);
    EXPECT_EQ(opcode, 0x60);
    EXPECT_EQ(errorCount(), 0u);
}

TEST_P(SbepTest, EchoIsReadBackBeforeTheAcknowledge) {
    line().echo = true;
    EXPECT_EQ(sbep.detectEcho(), EchoResult::Echoes);
    EXPECT_TRUE(sbep.echoFlag());
    EXPECT_EQ(line().timeouts.back(), std::make_pair(20u, 300u));

    std::uint32_t addr = 0x100;
    radio.replies = {radioReply(0x80, {0, 0, 1, 0, 0x11, 0x22})};
    EXPECT_EQ(sbep.memRead(2, addr, opcode, data), 2);
    EXPECT_EQ(line().writes.back().size(), 9u);
    EXPECT_EQ(addr, 0x100u);
    EXPECT_EQ(data[1], 0x22);
    EXPECT_EQ(errorCount(), 0u);
}

TEST_P(SbepTest, AnEchoingCableWithoutEchoFlagFailsTheExchange) {
    line().echo = true;
    radio.replies = {radioReply(0x90, {0, 0})};
    const std::uint8_t frame[] = {0xF2, 0x23, 0x00, 0xEA};
    EXPECT_EQ(sbep.transact(frame, sizeof frame, address, opcode, data), -1);
    EXPECT_EQ(opcode, 0x60);  // the echoed header is not an acknowledge
}

TEST_P(SbepTest, SilentCableIsDetectedAsNotEchoing) {
    EXPECT_EQ(sbep.detectEcho(), EchoResult::Silent);
    EXPECT_FALSE(sbep.echoFlag());
    line().echo = true;
    line().onWrite = [](test::FakeLine& l, const Bytes&) { l.incoming.back() ^= 1; };
    EXPECT_EQ(sbep.detectEcho(), EchoResult::Undecided);  // bytes come back, but altered
}

// --- Retries and error stack ------------------------------------------------

TEST_P(SbepTest, RetryAfterAPortErrorLeavesNoErrorBehind) {
    radio.replies = {{}, radioReply(0x80, {0, 0, 0, 0x10, 0x5A})};
    std::uint32_t addr = 0x10;
    EXPECT_EQ(sbep.memRead(1, addr, opcode, data), 1);
    EXPECT_EQ(line().writes.size(), 2u);
    EXPECT_EQ(errorCount(), 0u);
}

// The late answer to an earlier request can arrive in front of a request's
// own answer: it is read past, without sending the request again (a second
// send could reach a radio that already acted on the first).
TEST_P(SbepTest, ALateAnswerInFrontOfTheReplyIsReadPast) {
    auto joined = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    radio.replies = {joined(radioReply(0x80, {0, 0x82, 0, 0, 0x11}), radioReply(0x8C, {0}))};
    EXPECT_EQ(sbep.testModeRequest(1, 0, 0, opcode, data), 1);
    EXPECT_EQ(opcode, 0x8C);
    EXPECT_EQ(line().writes.size(), 1u);
    EXPECT_EQ(errorCount(), 0u);

    // A memory read answered first for another address takes its own data.
    radio.replies = {
        joined(radioReply(0x80, {0, 0, 0, 0x20, 0xEE}), radioReply(0x80, {0, 0, 0, 0x10, 0x5A}))};
    std::uint32_t addr = 0x10;
    EXPECT_EQ(sbep.memRead(1, addr, opcode, data), 1);
    EXPECT_EQ(data[0], 0x5A);
    EXPECT_EQ(line().writes.size(), 2u);

    // A memory write done for another address is not this write's answer.
    radio.replies = {radioReply(0x84, {0, 0, 0, 0x40}), radioReply(0x84, {0, 0, 0, 0x30})};
    addr = 0x30;
    EXPECT_EQ(sbep.memWrite(Bytes{1, 2}, addr, opcode, data), 0);
    EXPECT_EQ(addr, 0x30u);
    EXPECT_EQ(errorCount(), 0u);
}

TEST_P(SbepTest, ReadRadioInfoRetriesEmptyRepliesAndPushesNothing) {
    radio.replies = {radioReply(0xA3), radioReply(0xA3)};
    EXPECT_EQ(sbep.readRadioInfo(0, opcode, data), 0);
    EXPECT_EQ(line().writes.size(), 2u);
    EXPECT_EQ(errorCount(), 0u);

    radio.replies = {{}, {}};
    EXPECT_EQ(sbep.readRadioInfo(0, opcode, data), -1);
    EXPECT_EQ(errorCount(), 0u);
}

TEST_P(SbepTest, EraseFlashAnsweredWithTheWrongOpcodeTwiceFails) {
    radio.replies = {radioReply(0x8C, {0}), radioReply(0x8C, {0})};
    EXPECT_EQ(sbep.eraseFlash(4, 0x1000, opcode, data), 1);
    EXPECT_EQ(line().writes.size(), 2u);
    ASSERT_EQ(errorCount(), 1u);
    EXPECT_EQ(firstErrorText(), "Error:failed to request for erase falsh.");
    EXPECT_EQ(firstErrorCode(), 2);
}

TEST_P(SbepTest, MemWriteStopsAtOnceOnAnotherOpcode) {
    radio.replies = {radioReply(0x8C, {}), radioReply(0x84, {0, 0, 0, 0})};
    std::uint32_t addr = 0;
    EXPECT_EQ(sbep.memWrite(Bytes{1, 2}, addr, opcode, data), 0);
    EXPECT_EQ(line().writes.size(), 1u);
    EXPECT_EQ(firstErrorText(), "Error:failed to do memWrite.");
}

TEST_P(SbepTest, WriteFlashFailureNamesFrameSizeTrialsAndOpcode) {
    radio.replies = {{}, radioReply(0x8F)};
    EXPECT_EQ(sbep.writeFlash(Bytes(10, 0xAB), 0x2000, opcode, data), 0);
    ASSERT_EQ(errorCount(), 1u);
    EXPECT_EQ(firstErrorText(),
              "Error:failed to request to write flash with 19 bytes after 2 trials. The last "
              "OPC is 143.");
}

TEST_P(SbepTest, UpdateSnEndsOnAnyReplyAndJudgesTheOpcode) {
    const Bytes serial(10, '7');
    radio.replies = {radioReply(0x8F)};
    EXPECT_EQ(sbep.updateSN(serial, opcode, data), 0);
    EXPECT_EQ(line().writes.size(), 1u);
    EXPECT_EQ(firstErrorText(), "Error:failed to request to update SN.");
}

// --- Sizes and bounds -------------------------------------------------------

TEST_P(SbepTest, MemWriteOf201BytesSendsNothing) {
    std::uint32_t addr = 0;
    EXPECT_EQ(sbep.memWrite(Bytes(201, 0), addr, opcode, data), -1);
    EXPECT_EQ(sbep.memRead(201, addr, opcode, data), -1);
    EXPECT_TRUE(line().writes.empty());
    EXPECT_EQ(errorCount(), 0u);
}

TEST_P(SbepTest, WriteFlashCutsAt4096Bytes) {
    Bytes image(5000);
    std::iota(image.begin(), image.end(), 0);
    radio.replies = {radioReply(0x95)};
    EXPECT_EQ(sbep.writeFlash(image, 0x123456, opcode, data), 0);
    ASSERT_EQ(line().writes.size(), 1u);
    const Bytes& frame = line().writes[0];
    ASSERT_EQ(frame.size(), 4105u);
    EXPECT_THAT(Bytes(frame.begin(), frame.begin() + 8),
                ElementsAre(0xFF, 0x72, 0x10, 0x05, 0x01, 0x12, 0x34, 0x56));
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 4096, frame.begin() + 8));
    EXPECT_TRUE(checksumOk(frame));
    EXPECT_EQ(errorCount(), 0u);
}

TEST_P(SbepTest, OversizeRepliesFailWithoutOverrun) {
    // More data than the caller's buffer: the byte after it stays untouched.
    Bytes small(8, 0xEE);
    EXPECT_EQ(transactReply(radioReply(0x95, Bytes(10, 0x11)), std::span(small).first(4)), -1);
    EXPECT_EQ(small[4], 0xEE);

    // More than the 4109-byte receive buffer, even with room at the caller.
    Bytes huge(70000);
    Bytes reply{0x50};
    const auto frame = sbep::encodeFrame(0x95, Bytes(6000, 0x22), false);
    reply.insert(reply.end(), frame.begin(), frame.end());
    EXPECT_EQ(transactReply(reply, huge), -1);

    // Garbage cannot fill it past its end either.
    EXPECT_EQ(transactReply(Bytes(5000, 0x50), huge), -1);
}

TEST_P(SbepTest, SoftportPayloadLargerThanItsSizeByteIsRefused) {
    EXPECT_EQ(sbep.softportWrite(0x1F, 0, 0, Bytes(251, 0), opcode, data), -1);
    EXPECT_TRUE(line().writes.empty());
}

// --- Cable state --------------------------------------------------------------

TEST_P(SbepTest, LatchedCableErrorBlocksTrafficUntilReset) {
    line().purgeStatus = kCableIoError;
    EXPECT_FALSE(cable.purge(kPurgeRx));
    line().purgeStatus = kCableOk;
    removeErrors(0);
    EXPECT_EQ(sbep.readRadioInfo(0, opcode, data), -1);
    EXPECT_EQ(sbep.detectEcho(), EchoResult::Undecided);
    EXPECT_TRUE(line().writes.empty());
    EXPECT_EQ(errorCount(), 0u);

    cable.resetLastStatus();
    radio.replies = {radioReply(0xA3, {0, 0, 1})};
    EXPECT_EQ(sbep.readRadioInfo(0, opcode, data), 3);
}

TEST_P(SbepTest, SetRadioBaudRateSwitchesRadioThenCable) {
    EXPECT_EQ(sbep.setRadioBaudRate(16406, 1, opcode, data), 0);
    EXPECT_TRUE(line().writes.empty());

    radio.replies = {radioReply(0x8C)};
    EXPECT_EQ(sbep.setRadioBaudRate(240000, 0, opcode, data), 0);
    ASSERT_EQ(line().writes.size(), 1u);
    EXPECT_EQ(Bytes(line().writes[0].begin(), line().writes[0].end() - 1),
              (Bytes{0xFF, 0x38, 0x00, 0x09, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x03, 0xA9, 0x80}));
    EXPECT_EQ(cable.baudRate(), 240000u);
    EXPECT_THAT(line().rates, ElementsAre(240000u));

    // A silent radio: the cable keeps its rate.
    EXPECT_EQ(sbep.setRadioBaudRate(16406, 1, opcode, data), -1);
    EXPECT_EQ(cable.baudRate(), 240000u);
    EXPECT_EQ(line().writes.size(), 5u);  // two soft-port writes of two attempts each

    // The radio switched but the cable cannot follow.
    removeErrors(0);
    line().rateStatus = kCableInvalidBaudRate;
    radio.replies = {radioReply(0x8C)};
    EXPECT_EQ(sbep.setRadioBaudRate(16406, 1, opcode, data), -1);
    EXPECT_EQ(firstErrorText(), "Error:failed to set baud rade [16406].");
}

INSTANTIATE_TEST_SUITE_P(Reads, SbepTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Fetched") : std::string("ByteWise");
                         });

}  // namespace
}  // namespace vkt
