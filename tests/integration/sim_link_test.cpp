// Every request of the protocol engine against the simulated radio through
// the sim back-end, with the radio's state and request log checked after
// each; faults on the wire; the identity read of RadioInfo.
#include <gtest/gtest.h>

#include "sim_harness.h"

namespace vkt::test {
namespace {

TEST(SimLink, IdentityAndStatusRequests) {
    sim::RadioConfig config;
    config.serialNumber = "123ABC4D56";
    config.statusWord = 0x0280;
    config.statusFlags = 0x02;
    SimLink link(config);
    ASSERT_TRUE(link.open());
    SBEP& e = link.engine();

    ASSERT_EQ(e.readRadioInfo(1, link.opcode, link.reply), 12);
    EXPECT_EQ(link.opcode, 0xA3);
    EXPECT_EQ(std::string(link.reply.begin() + 2, link.reply.begin() + 12), "123ABC4D56");
    ASSERT_EQ(e.statusRequest(1, link.opcode, link.reply), 2);
    EXPECT_EQ(link.opcode, 0x90);
    EXPECT_EQ(link.reply[0], 0x02);
    EXPECT_EQ(link.reply[1], 0x80);
    ASSERT_EQ(e.statusRequest(0, link.opcode, link.reply), 2);
    EXPECT_EQ(link.reply[1], 0x02);

    const auto log = link.radio->requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].opcode, 0x23);
    EXPECT_EQ(log[0].subFunction, 1);
    EXPECT_EQ(log[1].opcode, 0x10);
    EXPECT_EQ(log[2].subFunction, 0);
    EXPECT_EQ(errorCount(), 0u);
}

TEST(SimLink, MemoryNeedsTestModeAndRoundTrips) {
    SimLink link;
    ASSERT_TRUE(link.open());
    SBEP& e = link.engine();
    const Bytes data = pattern(200, 3);
    std::uint32_t address = 0x820100;

    // Outside test mode the radio refuses the write (reply 0x8F): a failure
    // by its opcode, with the request's message.
    e.memWrite(data, address, link.opcode, link.reply);
    EXPECT_EQ(link.opcode, 0x8F);
    EXPECT_EQ(errorCount(), 1u);
    EXPECT_EQ(link.radio->memory(0x820100, 4), (Bytes{0, 0, 0, 0}));
    removeErrors(0);

    ASSERT_GE(e.testModeRequest(1, 0, 0, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->testMode(), 1);
    address = 0x820100;
    ASSERT_GE(e.memWrite(data, address, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->memory(0x820100, 200), data);

    address = 0x820100;
    ASSERT_EQ(e.memRead(200, address, link.opcode, link.reply), 200);
    EXPECT_EQ(address, 0x820100u);
    EXPECT_EQ(Bytes(link.reply.begin(), link.reply.begin() + 200), data);
    EXPECT_EQ(errorCount(), 0u);
}

TEST(SimLink, FlashProtectionEraseWriteRead) {
    SimLink link(radioOfType(2));
    ASSERT_TRUE(link.open());
    SBEP& e = link.engine();
    const Bytes data = pattern(4096, 9);

    // Locked: erase refused, flash untouched.
    link.radio->loadFlash(0x100000, Bytes{0x12});
    e.eraseFlash(4, 0x100000, link.opcode, link.reply);
    EXPECT_EQ(link.opcode, 0x8F);
    EXPECT_EQ(errorCount(), 1u);
    EXPECT_EQ(link.radio->flash(0x100000, 1), Bytes{0x12});
    removeErrors(0);
    link.radio->clearRequestLog();

    ASSERT_TRUE(link.unlock());
    EXPECT_TRUE(link.radio->flashUnlocked());
    ASSERT_GE(e.eraseFlash(4, 0x100000, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->flash(0x100000, 1), Bytes{0xFF});
    ASSERT_GE(e.writeFlash(data, 0x100000, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->flash(0x100000, 4096), data);
    ASSERT_EQ(e.readFlash(4096, 0x100000, link.opcode, link.reply), 4098);
    EXPECT_EQ(Bytes(link.reply.begin() + 2, link.reply.begin() + 4098), data);

    // Without an erase, programming only clears bits: the old data shows.
    ASSERT_GE(e.writeFlash(Bytes(16, 0xF0), 0x100000, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->flash(0x100000, 1)[0], data[0] & 0xF0);

    ASSERT_GE(e.eraseFlash(6, 0x100000, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->flash(0x10F000, 2), (Bytes{0xFF, 0xFF}));
    const auto log = link.radio->requestLog();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].subFunction, 8);
    EXPECT_EQ(log[1].subFunction, 4);
    EXPECT_EQ(log[1].address, 0x100000u);
    EXPECT_EQ(log[2].subFunction, 1);
    EXPECT_EQ(log[2].length, 4096u);
    EXPECT_EQ(log[5].subFunction, 6);
    EXPECT_EQ(errorCount(), 0u);
}

TEST(SimLink, SoftportFactoryBackupSerialAndLineRate) {
    sim::RadioConfig config;
    config.radioType = 1;
    config.serialNumber = "123ABC0001";
    SimLink link(config);
    ASSERT_TRUE(link.open());
    SBEP& e = link.engine();

    ASSERT_GE(e.factoryBlockBackup(link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->factorySerialNumber(), "123ABC0001");

    const std::string serial = "123ABC0042";
    ASSERT_GE(e.updateSN({reinterpret_cast<const std::uint8_t*>(serial.data()), 10}, link.opcode,
                         link.reply),
              0);
    EXPECT_EQ(link.radio->serialNumber(), serial);

    ASSERT_GE(e.softportWrite(0x27, 0, 0, {}, link.opcode, link.reply), 0);
    EXPECT_EQ(link.opcode, 0x8C);

    // Radio and cable switch together and keep talking at the fast rate.
    ASSERT_GE(e.setRadioBaudRate(kFastLineRate, 0, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->lineRate(), kFastLineRate);
    EXPECT_EQ(link.info.cable().baudRate(), kFastLineRate);
    ASSERT_EQ(e.readRadioInfo(1, link.opcode, link.reply), 12);
    ASSERT_GE(e.setRadioBaudRate(kSlowLineRate, 0, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->lineRate(), kSlowLineRate);
    EXPECT_EQ(errorCount(), 0u);
}

TEST(SimLink, RefusedSerialUpdateIsReportedAsFailure) {
    sim::RadioConfig config;
    config.statusFlags = 0x02;
    SimLink link(config);
    ASSERT_TRUE(link.open());
    const std::string serial = "123ABC0042";
    link.engine().updateSN({reinterpret_cast<const std::uint8_t*>(serial.data()), 10}, link.opcode,
                           link.reply);
    EXPECT_NE(link.opcode, 0x8C);
    EXPECT_EQ(firstErrorText(), "Error:failed to request to update SN.");
    EXPECT_EQ(link.radio->serialNumber(), sim::kDefaultSerial);
}

// A fault on the first attempt of a request is retried: the second attempt
// succeeds and no port error is left behind.
struct RetriedFault {
    const char* fault;
};

class SimLinkFaults : public ::testing::TestWithParam<RetriedFault> {};

TEST_P(SimLinkFaults, FirstAttemptFailsSecondSucceeds) {
    SimLink link;
    ASSERT_TRUE(link.open());
    link.fault(GetParam().fault);
    ASSERT_EQ(link.engine().readRadioInfo(1, link.opcode, link.reply), 12);
    EXPECT_EQ(std::string(link.reply.begin() + 2, link.reply.begin() + 12), sim::kDefaultSerial);
    EXPECT_EQ(link.radio->requestLog().size(), 2u) << "one retry";
    EXPECT_EQ(errorCount(), 0u) << allErrorTexts();
}

INSTANTIATE_TEST_SUITE_P(Wire, SimLinkFaults,
                         ::testing::Values(RetriedFault{"drop@r1+5"}, RetriedFault{"checksum@r1"},
                                           RetriedFault{"noack@r1"}));

TEST(SimLink, FaultOnEveryAttemptIsReported) {
    SimLink link;
    ASSERT_TRUE(link.open());
    link.fault("checksum@r1x2");
    EXPECT_LT(link.engine().readRadioInfo(1, link.opcode, link.reply), 0);
    EXPECT_EQ(link.radio->requestLog().size(), 2u) << "two attempts, then the request gives up";
    // The identity read has no message of its own, and the port errors of
    // failed attempts never survive.
    EXPECT_EQ(errorCount(), 0u) << allErrorTexts();

    // A wrong reply opcode on every attempt of a flash write is a failure
    // with the request's own message, never a success.
    removeErrors(0);
    ASSERT_GE(link.engine().protectionMode(0x800, link.opcode, link.reply), 0);
    link.fault("opcode@r4:0x8Cx2");
    link.engine().writeFlash(Bytes(16, 0), 0x1000, link.opcode, link.reply);
    EXPECT_EQ(link.opcode, 0x8C);
    EXPECT_EQ(link.radio->requestLog().size(), 5u);
    EXPECT_EQ(errorCount(), 1u);
    EXPECT_NE(firstErrorText().find("failed to request to write flash"), std::string::npos)
        << allErrorTexts();
}

TEST(SimLinkIdentity, OpenPortAndReadIdentityGiveTheTexts) {
    sim::RadioConfig config;
    config.radioType = 2;
    config.serialNumber = "123ABC0001";
    ASSERT_TRUE(sim::modelRecordFromText("VK2150EMA01", config.modelRecord));
    config.firmwareVersion = {'r', 1, 0x1A, 0x05};
    config.codeplugVersion = {'R', 1, 26, 5};
    SimLink link(config);
    ASSERT_TRUE(link.info.openPort(0));
    EXPECT_TRUE(link.info.portOpen());
    EXPECT_EQ(link.info.portIndex(), 0);
    EXPECT_EQ(link.info.cable().baudRate(), kSlowLineRate);
    ASSERT_TRUE(link.info.readIdentity());

    std::string serial, model, region, firmware, codeplug;
    ASSERT_TRUE(serialNumberText(link.info.serialNumber, serial));
    ASSERT_TRUE(modelNumberText(link.info.modelRecord, model));
    ASSERT_TRUE(regionalCodeText(link.info.regionalCode, region));
    ASSERT_TRUE(firmwareVersionText(link.info.firmwareVersion, firmware));
    ASSERT_TRUE(codeplugVersionText(link.info.codeplugVersion, codeplug));
    EXPECT_EQ(serial, "123ABC0001");
    EXPECT_EQ(model, "VK2150EMA01");
    EXPECT_EQ(region, "0E");
    EXPECT_EQ(firmware, "R01.1a.05");
    EXPECT_EQ(codeplug, "R01.26.05");

    // The items are read in the order serial, model, firmware, codeplug.
    std::vector<int> items;
    for (const auto& entry : link.radio->requestLog()) {
        if (entry.opcode == 0x23)
            items.push_back(entry.subFunction);
    }
    EXPECT_EQ(items, (std::vector<int>{1, 0, 3, 4}));
}

TEST(SimLinkIdentity, ClosedCableSendsNothingAndAFailedItemStopsTheRead) {
    SimLink link;
    EXPECT_FALSE(link.info.readIdentity());
    EXPECT_EQ(link.radio->bytesIn(), 0u);

    ASSERT_TRUE(link.open());
    // The model item (second request) never gets an answer.
    link.fault("noack@r2x9");
    EXPECT_FALSE(link.info.readIdentity());
    EXPECT_FALSE(link.info.identityValid());
    std::string serial;
    serialNumberText(link.info.serialNumber, serial);
    EXPECT_EQ(serial, sim::kDefaultSerial) << "items read before the failure keep their values";
    for (const auto& entry : link.radio->requestLog())
        EXPECT_NE(entry.subFunction, 3) << "nothing is asked after the failed item";
}

}  // namespace
}  // namespace vkt::test
