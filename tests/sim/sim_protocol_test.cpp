// Every request the tool sends, answered through the virtual cable with
// exact reply bytes; flash, memory, protection and serial-number rules.
#include <gtest/gtest.h>

#include "sim_test_support.h"

namespace vkt::sim {
namespace {

using testing::Bench;
using testing::Bytes;

TEST(SimProtocol, IdentityItemsAndStatusRepliesAreExactFrames) {
    RadioConfig c;
    c.serialNumber = "123ABC4567";
    c.statusWord = 0x0280;
    c.statusFlags = 0x02;
    ASSERT_TRUE(parseVersionText("R01.10.20", true, c.firmwareVersion));
    ASSERT_TRUE(parseVersionText("R02.03.04", false, c.codeplugVersion));
    Bench bench(c);

    // F2 23 01 CS -> 50, then 0xA3 [01 00 "123ABC4567"] in the short form
    // (12 data bytes and the checksum fit in 14).
    auto r = bench.request(0x23, {0x01});
    ASSERT_TRUE(r.complete);
    Bytes expected{0x50, 0xFD, 0xA3, 0x01, 0x00};
    for (char ch : std::string("123ABC4567"))
        expected.push_back(std::uint8_t(ch));
    expected.push_back(sbep::checksum(std::span(expected).subspan(1)));
    EXPECT_EQ(r.raw, expected);

    r = bench.request(0x23, {0x00});
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.data.size(), 13u);
    EXPECT_EQ(r.data[2 + 6], 'A');  // regional code in byte 6 of the model record

    r = bench.request(0x23, {0x03});
    EXPECT_EQ(r.data, (Bytes{0x03, 0x00, 'R', 1, 0x10, 0x20}));
    r = bench.request(0x23, {0x04});
    EXPECT_EQ(r.data, (Bytes{0x04, 0x00, 'R', 2, 3, 4}));
    EXPECT_FALSE(bench.radio->setCodeplugVersionText("R2.3.4.5"));
    ASSERT_TRUE(bench.radio->setCodeplugVersionText("S03.12.07"));
    EXPECT_EQ(bench.request(0x23, {0x04}).data, (Bytes{0x04, 0x00, 'S', 3, 12, 7}));
    // Unknown item: an empty 0xA3 reply, F1 A3 6B.
    r = bench.request(0x23, {0x07});
    EXPECT_EQ(r.raw, (Bytes{0x50, 0xF1, 0xA3, 0x6B}));

    r = bench.status(1);
    EXPECT_EQ(r.raw, (Bytes{0x50, 0xF3, 0x90, 0x02, 0x80, 0xFA}));
    r = bench.status(0);
    EXPECT_EQ(r.opcode, 0x90);
    EXPECT_EQ(r.data, (Bytes{0x00, 0x02}));
}

TEST(SimProtocol, EchoComesFirstAndCanBeSwitchedOff) {
    Bench echoing;
    const Bytes probe{0xF1, 0x40, 0xCE};
    echoing.write(probe);
    EXPECT_EQ(echoing.readUpTo(16), probe) << "the echo probe is echoed and never answered";

    RadioConfig quiet;
    quiet.echo = false;
    Bench digital(quiet);
    digital.write(probe);
    EXPECT_TRUE(digital.readUpTo(3).empty());
    auto r = digital.status(1);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.raw.front(), 0x50) << "without echo the acknowledge is the first byte";
    EXPECT_EQ(digital.radio->requestLog().size(), 2u);
}

TEST(SimProtocol, GarbageAndSplitFramesAreHandled) {
    Bench bench;
    const Bytes frame = Bench::frame(0x10, {0x01}, true);
    Bytes first{0x00, 0x13, 0x7F};  // noise before the header is skipped
    first.insert(first.end(), frame.begin(), frame.begin() + 3);
    bench.write(first);
    EXPECT_EQ(bench.readUpTo(first.size()), first);
    EXPECT_TRUE(bench.readUpTo(1).empty()) << "no reply before the frame is complete";
    bench.write(Bytes(frame.begin() + 3, frame.end()));
    EXPECT_EQ(bench.readUpTo(frame.size() - 3).size(), frame.size() - 3);
    auto r = bench.readReply();
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.opcode, 0x90);

    // A frame with a bad checksum is dropped without a reply.
    Bytes bad = frame;
    bad.back() ^= 1;
    bench.write(bad);
    bench.readUpTo(bad.size());
    EXPECT_TRUE(bench.readUpTo(1).empty());
    EXPECT_TRUE(bench.status(1).complete) << "the next good frame is answered";
}

TEST(SimProtocol, MemoryWriteNeedsTestModeAndReadsBack) {
    Bench bench;
    bench.radio->loadMemory(0x823000, Bytes{1, 2, 3});
    auto r = bench.memRead(0x823000, 4);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.opcode, 0x80);
    EXPECT_EQ(r.data, (Bytes{0x00, 0x82, 0x30, 0x00, 1, 2, 3, 0}));

    r = bench.memWrite(0x821010, {0xAA, 0xBB});
    EXPECT_EQ(r.opcode, 0x8F);
    EXPECT_EQ(r.data, Bytes{kRefuseNotTestMode});
    EXPECT_EQ(bench.radio->memory(0x821010, 2), (Bytes{0, 0}));

    r = bench.testMode(8);
    EXPECT_EQ(r.opcode, 0x8C);
    EXPECT_EQ(r.data, (Bytes{8, 0}));
    r = bench.memWrite(0x821010, {0xAA, 0xBB});
    EXPECT_EQ(r.opcode, 0x84);
    EXPECT_EQ(r.data, (Bytes{0x00, 0x82, 0x10, 0x10}));
    EXPECT_EQ(bench.radio->memory(0x821010, 2), (Bytes{0xAA, 0xBB}));

    r = bench.memWrite(0xFFFFFF, {1, 2});
    EXPECT_EQ(r.data, Bytes{kRefuseRange}) << "a write past the 24-bit space is refused";

    const auto log = bench.radio->requestLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[3].opcode, 0x17);
    EXPECT_EQ(log[3].address, 0x821010u);
    EXPECT_EQ(log[3].length, 2u);
    EXPECT_EQ(log[3].replyOpcode, 0x84);
    EXPECT_EQ(log[1].refuseReason, kRefuseNotTestMode);
}

TEST(SimProtocol, NorFlashProgramsOnlyClearBitsAndErasesWholeSectors) {
    RadioConfig c;
    c.radioType = 1;
    c.oldContent = false;
    Bench bench(c);
    ASSERT_EQ(bench.protection(0x1000).opcode, 0x95);

    EXPECT_EQ(bench.flashWrite(0x2000, {0x0F, 0x3C}).opcode, 0x95);
    bench.flashWrite(0x2000, {0xF0, 0xFF});  // no erase between: bits AND
    auto r = bench.flashRead(0x2000, 3);
    EXPECT_EQ(r.opcode, 0x95);
    EXPECT_EQ(r.data, (Bytes{0x03, 0x00, 0x00, 0x3C, 0xFF}));

    // 4 KB erase clears the sector that holds the address, nothing around it.
    Bytes zeros(0x3000, 0x00);
    bench.radio->loadFlash(0x10000, zeros);
    bench.erase(4, 0x11234);
    EXPECT_EQ(bench.radio->flash(0x10FFF, 1), Bytes{0x00});
    EXPECT_EQ(bench.radio->flash(0x11000, 0x1000), Bytes(0x1000, 0xFF));
    EXPECT_EQ(bench.radio->flash(0x12000, 1), Bytes{0x00});

    // 64 KB erase: sixteen sectors from the one holding the address.
    bench.radio->loadFlash(0x12000, Bytes(0x20000, 0x00));
    bench.erase(6, 0x13010);
    EXPECT_EQ(bench.radio->flash(0x12FFF, 1), Bytes{0x00});
    EXPECT_EQ(bench.radio->flash(0x13000, 0x10000), Bytes(0x10000, 0xFF));
    EXPECT_EQ(bench.radio->flash(0x23000, 1), Bytes{0x00});

    // A 4096-byte read comes back whole in a long frame.
    r = bench.flashRead(0x13000, 4096);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.data.size(), 4098u);
    EXPECT_EQ(bench.flashRead(0x3FFFFF, 2).data, Bytes{kRefuseRange});
}

TEST(SimProtocol, ProtectionUnlocksOnlyWithTheTypesValues) {
    struct Case {
        int type;
        std::vector<std::uint16_t> unlock, lock;
    };
    const std::vector<Case> cases{
        {0, {0x800, 0x840, 0x3400}, {0x440, 0x1000, 0x3000, 0x3040}},
        {1, {0x1000, 0x3000, 0x3400}, {0x840, 0x800, 0x3040}},
        {2, {0x3040, 0x3000, 0x3400}, {0x1040, 0x1000, 0x840}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.type);
        RadioConfig c;
        c.radioType = k.type;
        Bench bench(c);
        // Locked at power-on; reads still work.
        EXPECT_EQ(bench.erase(4, 0x1000).data, Bytes{kRefuseLocked});
        EXPECT_EQ(bench.flashRead(0x1000, 1).opcode, 0x95);
        for (auto v : k.unlock) {
            bench.protection(v);
            EXPECT_EQ(bench.erase(4, 0x1000).opcode, 0x95) << std::hex << v;
            EXPECT_EQ(bench.flashWrite(0x1000, {0x12}).opcode, 0x95) << std::hex << v;
        }
        for (auto v : k.lock) {
            bench.protection(v);
            EXPECT_EQ(bench.erase(6, 0x1000).data, Bytes{kRefuseLocked}) << std::hex << v;
            EXPECT_EQ(bench.flashWrite(0x1000, {0x00}).data, Bytes{kRefuseLocked});
        }
        EXPECT_EQ(bench.radio->flash(0x1000, 1), Bytes{0x12});
    }
}

TEST(SimProtocol, ErasingTheDynBlockWipesThePersonalityWindow) {
    for (int type : {0, 1, 2}) {
        SCOPED_TRACE(type);
        RadioConfig c;
        c.radioType = type;
        Bench bench(c);
        bench.radio->loadMemory(0x820000, Bytes(0x3000, 0x5A));
        bench.radio->loadMemory(0x830000, Bytes{0x77});
        bench.protection(0x3400);
        // A sector elsewhere leaves memory alone.
        bench.erase(4, dynFlashAddress(type) + 0x10000);
        EXPECT_EQ(bench.radio->memory(0x821FFF, 1), Bytes{0x5A});
        // Any sector of the DYN 64 KB block wipes 0x820000..0x82FFFF.
        bench.erase(4, dynFlashAddress(type) + 0xF000);
        EXPECT_EQ(bench.radio->memory(0x820000, 0x10000), Bytes(0x10000, 0xFF));
        EXPECT_EQ(bench.radio->memory(0x830000, 1), Bytes{0x77});
    }
}

TEST(SimProtocol, CodeplugCommitResetsTheSerialOnlyAfterADefaultBlockWrite) {
    RadioConfig c;
    c.radioType = 2;
    c.serialNumber = "777XYZ0042";
    Bench bench(c);
    bench.protection(0x3000);
    // A write elsewhere, then a commit: the serial stays.
    bench.flashWrite(0x90000, {0x00});
    EXPECT_EQ(bench.softport(0x2E).data, Bytes{0x2E});
    EXPECT_EQ(bench.radio->serialNumber(), "777XYZ0042");

    bench.erase(4, defFlashAddress(2));
    bench.flashWrite(defFlashAddress(2) + 0x10, {0x01, 0x02});
    EXPECT_EQ(bench.softport(0x2E).opcode, 0x8C);
    EXPECT_EQ(bench.radio->serialNumber(), kDefaultSerial);

    // The tool writes the old number back; the next commit keeps it.
    EXPECT_EQ(
        bench.request(0x18, {0x01, 0x01, '7', '7', '7', 'X', 'Y', 'Z', '0', '0', '4', '2'}).opcode,
        0x8C);
    bench.softport(0x2E);
    EXPECT_EQ(bench.radio->serialNumber(), "777XYZ0042");

    // Factory block backup copies the identity; 0x27 and 0x1F are accepted.
    auto r = bench.request(0x38, {0x26, 0x00, 0x00, 0x00});
    EXPECT_EQ(r.raw, (Bytes{0x50, 0xF2, 0x8C, 0x26, 0x5B}));
    EXPECT_EQ(bench.radio->factorySerialNumber(), "777XYZ0042");
    EXPECT_EQ(bench.softport(0x27).opcode, 0x8C);
    EXPECT_EQ(bench.softport(0x1F).opcode, 0x8C);
}

TEST(SimProtocol, SerialNumberUpdateIsRefusedWhenTheRadioSaysSo) {
    RadioConfig c;
    c.statusFlags = 0x02;
    Bench bench(c);
    const Bytes sn{0x01, 0x01, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'};
    const Bytes frame = Bench::frame(0x18, sn);
    EXPECT_EQ(frame.front(), 0xFD);
    auto r = bench.exchange(frame);
    EXPECT_EQ(r.opcode, 0x8F);
    EXPECT_EQ(r.data, Bytes{kRefuseSerial});
    EXPECT_EQ(bench.radio->serialNumber(), kDefaultSerial);
    bench.radio->setStatusFlags(0);
    EXPECT_EQ(bench.exchange(frame).opcode, 0x8C);
    EXPECT_EQ(bench.radio->serialNumber(), "ABCDEFGHIJ");
}

TEST(SimProtocol, RateSwitchAnswersAtTheOldRateThenGarblesAMismatchedCable) {
    Bench bench;
    const Bytes rate{0x00, 0x03, 0xA9, 0x80};  // 240000
    auto r = bench.softport(0x2A, rate);
    EXPECT_TRUE(r.complete) << "the reply leaves at the old rate";
    EXPECT_EQ(r.data, Bytes{0x2A});
    EXPECT_EQ(bench.radio->lineRate(), 240000u);

    // The cable still at 16406: the radio sees noise and says nothing.
    bench.write(Bench::frame(0x10, {0x01}, true));
    bench.readUpTo(6);
    EXPECT_TRUE(bench.readUpTo(1).empty());

    ASSERT_EQ(bench.port->setBaudRate(240000), kCableOk);
    r = bench.status(1);
    EXPECT_TRUE(r.complete);

    // Back to 16406: the reply still leaves at 240000, which the cable runs.
    r = bench.softport(0x2A, {0x00, 0x00, 0x40, 0x16}, 1);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(bench.radio->lineRate(), 16406u);
    bench.write(Bench::frame(0x10, {0x01}, true));  // cable still fast: ignored
    bench.readUpTo(6);
    EXPECT_TRUE(bench.readUpTo(1).empty());
    ASSERT_EQ(bench.port->setBaudRate(16406), kCableOk);
    EXPECT_TRUE(bench.status(1).complete);
}

TEST(SimProtocol, ReplyBytesArriveGarbledWhenTheCableSwitchedTooEarly) {
    Bench bench;
    Fault late;
    late.kind = FaultKind::Delay;
    late.value = 30;
    bench.radio->setFaults({late});
    bench.radio->setEcho(false);
    // The host switches its cable before the radio's 0x2A reply has arrived.
    bench.write(Bench::frame(0x38, {0x2A, 0x00, 0x00, 0x00, 0x00, 0x03, 0xA9, 0x80}, true));
    ASSERT_EQ(bench.port->setBaudRate(240000), kCableOk);
    const Bytes garbled = bench.readUpTo(5);
    ASSERT_EQ(garbled.size(), 5u);
    EXPECT_EQ(garbled[0], garbleByte(0x50));
    for (auto b : garbled)
        EXPECT_LT(b, 0xF0);
    EXPECT_EQ(bench.radio->lineRate(), 240000u);
}

// The requests of a default-block update that keeps the personality, in
// the order a tool sends them, on a type 2 radio.
TEST(SimProtocol, AnUpdateThatWritesThePersonalityBackKeepsIt) {
    RadioConfig c;
    c.radioType = 2;
    c.serialNumber = "900ABC0007";
    Bench bench(c);
    const Bytes personality(0x40, 0x3C);
    bench.radio->loadMemory(0x820000, personality);

    EXPECT_EQ(bench.testMode(8).data, (Bytes{8, 2}));
    EXPECT_TRUE(bench.softport(0x2A, {0x00, 0x03, 0xA9, 0x80}).complete);
    ASSERT_EQ(bench.port->setBaudRate(240000), kCableOk);
    const auto saved = bench.memRead(0x820000, 0x40);
    ASSERT_EQ(saved.data.size(), 4u + 0x40);

    EXPECT_EQ(bench.protection(0x3000).opcode, 0x95);
    EXPECT_EQ(bench.erase(4, defFlashAddress(2)).opcode, 0x95);
    EXPECT_EQ(bench.flashWrite(defFlashAddress(2), Bytes(0x100, 0x42)).opcode, 0x95);
    EXPECT_EQ(bench.erase(6, dynFlashAddress(2)).opcode, 0x95);
    EXPECT_EQ(bench.radio->memory(0x820000, 1), Bytes{0xFF}) << "the personality is gone";

    EXPECT_TRUE(bench.softport(0x2A, {0x00, 0x00, 0x40, 0x16}, 1).complete);
    ASSERT_EQ(bench.port->setBaudRate(16406), kCableOk);
    EXPECT_EQ(bench.status(1).data, (Bytes{0, 0}));
    EXPECT_EQ(bench.testMode(1).opcode, 0x8C);
    EXPECT_EQ(bench.softport(0x2E).opcode, 0x8C);
    EXPECT_EQ(bench.radio->serialNumber(), kDefaultSerial);
    EXPECT_EQ(bench.memWrite(0x820000, Bytes(saved.data.begin() + 4, saved.data.end())).opcode,
              0x84);
    EXPECT_EQ(bench.softport(0x1F).opcode, 0x8C);
    EXPECT_EQ(bench.protection(0x1040).opcode, 0x95);
    EXPECT_FALSE(bench.radio->flashUnlocked());

    EXPECT_EQ(bench.radio->memory(0x820000, 0x40), personality);
    EXPECT_EQ(bench.radio->flash(defFlashAddress(2), 0x101),
              Bench::joined(Bytes(0x100, 0x42), {0xFF}));
    EXPECT_EQ(bench.radio->lineRate(), 16406u);
}

TEST(SimProtocol, HelpersParseVersionsAndFaults) {
    std::vector<std::uint8_t> v;
    EXPECT_TRUE(parseVersionText("R01.10.20", true, v));
    EXPECT_EQ(v, (Bytes{'R', 1, 0x10, 0x20}));
    EXPECT_EQ(versionText(v, true), "R01.10.20");
    EXPECT_TRUE(parseVersionText("R01.10.20", false, v));
    EXPECT_EQ(v, (Bytes{'R', 1, 10, 20}));
    EXPECT_FALSE(parseVersionText("101.10.20", false, v));
    EXPECT_FALSE(parseVersionText("R01.10", false, v));
    EXPECT_FALSE(parseVersionText("R01.10.20x", false, v));

    Fault f;
    std::string error;
    ASSERT_TRUE(parseFault("opcode@r4:0x95x2", f, error)) << error;
    EXPECT_EQ(f.kind, FaultKind::WrongOpcode);
    EXPECT_EQ(f.trigger, FaultTrigger::Request);
    EXPECT_EQ(f.at, 4u);
    EXPECT_EQ(f.value, 0x95u);
    EXPECT_EQ(f.count, 2u);
    ASSERT_TRUE(parseFault("drop@b120+3", f, error));
    EXPECT_EQ(f.trigger, FaultTrigger::WireByte);
    EXPECT_EQ(f.at, 120u);
    EXPECT_EQ(f.offset, 3u);
    EXPECT_FALSE(parseFault("melt@r1", f, error));
    EXPECT_FALSE(parseFault("drop@r0", f, error));
    EXPECT_FALSE(parseFault("drop@q1", f, error));
    EXPECT_FALSE(parseFault("delay@r1:abc", f, error));
}

}  // namespace
}  // namespace vkt::sim
