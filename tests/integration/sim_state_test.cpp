// The simulated radio's saved state, and the versions it reports after the
// tool has written new firmware or a new default block.
#include <gtest/gtest.h>

#include "sim_harness.h"

namespace vkt::test {
namespace {

TEST(SimState, SaveAndLoadKeepTheRadio) {
    sim::RadioConfig config;
    config.radioType = 2;
    config.serialNumber = "123ABC0001";
    config.statusWord = 0x0200;
    config.oldContent = false;  // blank flash: only the sectors written below are stored
    SimLink link(config);
    ASSERT_TRUE(link.open());
    std::uint8_t opcode = 0;
    ASSERT_TRUE(link.unlock());
    ASSERT_GE(link.engine().testModeRequest(1, 0, 0, opcode, link.reply), 0);
    ASSERT_GE(link.engine().factoryBlockBackup(opcode, link.reply), 0);
    // Left at the fast rate: a loaded radio is at rest at the slow one.
    ASSERT_GE(link.engine().setRadioBaudRate(kFastLineRate, 0, opcode, link.reply), 0);
    const Bytes flash = pattern(5000, 1);
    const Bytes memory = pattern(300, 2);
    link.radio->loadFlash(0x3FF000, Bytes(0x1000, 0x00));  // the last sector
    link.radio->loadFlash(0x117000, flash);
    link.radio->loadMemory(0x820000, memory);

    const Bytes saved = link.radio->saveState();
    sim::SimRadio copy;
    std::string error;
    ASSERT_TRUE(copy.loadState(saved, error)) << error;
    EXPECT_EQ(copy.radioType(), 2);
    EXPECT_EQ(copy.serialNumber(), "123ABC0001");
    EXPECT_EQ(copy.factorySerialNumber(), "123ABC0001");
    EXPECT_EQ(copy.modelRecord(), link.radio->modelRecord());
    EXPECT_EQ(copy.firmwareVersion(), link.radio->firmwareVersion());
    EXPECT_EQ(copy.protection(), std::optional<std::uint16_t>(0x3040));
    EXPECT_EQ(copy.testMode(), 1);
    EXPECT_EQ(copy.lineRate(), kSlowLineRate);
    EXPECT_EQ(copy.flash(0x117000, flash.size()), flash);
    EXPECT_EQ(copy.flash(0x3FF000, 4), Bytes(4, 0x00));
    EXPECT_EQ(copy.flash(0x200000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(copy.memory(0x820000, memory.size()), memory);
    EXPECT_EQ(copy.saveState(), link.radio->saveState()) << "nothing is lost on the way";
    // Only the touched sectors and pages are stored.
    EXPECT_LT(saved.size(), 8u * 4100u);
}

TEST(SimState, DamagedStatesAreRefusedAndChangeNothing) {
    sim::SimRadio original;
    original.setSerialNumber("123ABC0009");
    const Bytes saved = original.saveState();
    std::string error;

    sim::SimRadio target;
    const Bytes before = target.saveState();
    auto refused = [&](Bytes bytes) {
        error.clear();
        EXPECT_FALSE(target.loadState(bytes, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(target.saveState(), before);
    };
    Bytes flipped = saved;
    flipped[20] ^= 0x01;
    refused(flipped);
    refused(Bytes(saved.begin(), saved.end() - 1));
    Bytes longer = saved;
    longer.push_back(0);
    refused(longer);
    Bytes version = saved;
    version[6] = 2;
    refused(version);
    refused(Bytes{});
    EXPECT_TRUE(target.loadState(saved, error)) << error;
    EXPECT_EQ(target.serialNumber(), "123ABC0009");
}

TEST(SimVersions, FirmwareVersionFollowsTheImageOnceItsFirstBytesAreWritten) {
    SimLink link(radioOfType(2));
    ASSERT_TRUE(link.open());
    std::uint8_t opcode = 0;
    SBEP& e = link.engine();
    ASSERT_TRUE(link.unlock());
    ASSERT_GE(e.eraseFlash(6, 0, opcode, link.reply), 0);
    // The image without its first two bytes: the version does not change yet.
    const Bytes image{0x09, 0xAA, 'R', 1, 2, 4, 0x00, 0x07};
    ASSERT_GE(e.writeFlash(Bytes(image.begin() + 2, image.end()), 2, opcode, link.reply), 0);
    EXPECT_EQ(link.radio->firmwareVersion(), (Bytes{'R', 1, 2, 3}));
    ASSERT_GE(e.writeFlash(Bytes(image.begin(), image.begin() + 2), 0, opcode, link.reply), 0);
    EXPECT_EQ(link.radio->firmwareVersion(), (Bytes{'R', 1, 2, 4}));

    // An image whose bytes 2..5 are no version leaves the version alone.
    ASSERT_GE(e.eraseFlash(6, 0, opcode, link.reply), 0);
    ASSERT_GE(e.writeFlash(Bytes{0x09, 0xAA, 0x01, 0x02, 0x00, 0x04}, 0, opcode, link.reply), 0);
    EXPECT_EQ(link.radio->firmwareVersion(), (Bytes{'R', 1, 2, 4}));
}

TEST(SimVersions, CodeplugVersionFollowsTheDefaultBlockAtCommit) {
    SimLink link(radioOfType(2));
    ASSERT_TRUE(link.open());
    std::uint8_t opcode = 0;
    SBEP& e = link.engine();
    const std::uint32_t def = sim::defFlashAddress(2);
    ASSERT_TRUE(link.unlock());
    ASSERT_GE(e.eraseFlash(4, def, opcode, link.reply), 0);
    ASSERT_GE(e.writeFlash(Bytes{'R', 1, 2, 4, 'D', 'E', 'F'}, def, opcode, link.reply), 0);
    EXPECT_EQ(link.radio->codeplugVersion(), (Bytes{'R', 1, 2, 3})) << "not before the commit";
    ASSERT_GE(e.softportWrite(0x2E, 0, 0, {}, opcode, link.reply), 0);
    EXPECT_EQ(link.radio->codeplugVersion(), (Bytes{'R', 1, 2, 4}));
    EXPECT_EQ(link.radio->serialNumber(), sim::kDefaultSerial);

    // An erased default block keeps the version.
    ASSERT_GE(e.eraseFlash(4, def, opcode, link.reply), 0);
    ASSERT_GE(e.softportWrite(0x2E, 0, 0, {}, opcode, link.reply), 0);
    EXPECT_EQ(link.radio->codeplugVersion(), (Bytes{'R', 1, 2, 4}));
}

}  // namespace
}  // namespace vkt::test
