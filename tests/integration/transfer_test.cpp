// Block transfers against the simulated radio (chunking, progress, erase
// runs) and the reply-length rules of memory and flash reads against a
// scripted cable.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_cable.h"
#include "sim_harness.h"
#include "update/transfer.h"

namespace vkt::test {
namespace {

struct Progress {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
    UnitProgress callback() {
        return [this](std::uint32_t k, std::uint32_t n) { calls.emplace_back(k, n); };
    }
};

TEST(SimTransfer, FlashWriteAndReadGoInChunksWithProgress) {
    SimLink link(radioOfType(2));
    ASSERT_TRUE(link.open());
    ASSERT_TRUE(link.unlock());
    link.radio->clearRequestLog();

    BlockTransfer transfer(link.engine(), link.reply);
    const std::uint32_t address = 0x200000;
    const Bytes data = pattern(10000, 0x31);
    Progress written;
    ASSERT_TRUE(transfer.writeFlash(address, data, written.callback()));
    EXPECT_EQ(written.calls,
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 3}, {2, 3}, {3, 3}}));
    const auto log = link.radio->requestLog();
    ASSERT_EQ(log.size(), 3u);
    const std::uint32_t lengths[] = {4096, 4096, 1808};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].subFunction, 1);
        EXPECT_EQ(log[i].address, address + 4096 * i);
        EXPECT_EQ(log[i].length, lengths[i]);
    }
    EXPECT_EQ(link.radio->flash(address, data.size()), data);

    Bytes back(data.size());
    Progress read;
    ASSERT_TRUE(transfer.readFlash(address, back, read.callback()));
    EXPECT_EQ(back, data);
    EXPECT_EQ(read.calls.size(), 3u);
    EXPECT_EQ(errorCount(), 0u);
}

TEST(SimTransfer, MemoryTransfersGoIn200ByteChunks) {
    SimLink link;
    ASSERT_TRUE(link.open());
    std::uint8_t opcode = 0;
    ASSERT_GE(link.engine().testModeRequest(1, 0, 0, opcode, link.reply), 0);
    link.radio->clearRequestLog();
    BlockTransfer transfer(link.engine(), link.reply);
    const Bytes data = pattern(0x800, 5);
    ASSERT_TRUE(transfer.writeMemory(0x821000, data));
    EXPECT_EQ(link.radio->memory(0x821000, data.size()), data);
    EXPECT_EQ(link.radio->requestLog().size(), 11u);  // 10 x 200 + 48
    Bytes back(data.size());
    ASSERT_TRUE(transfer.readMemory(0x821000, back));
    EXPECT_EQ(back, data);
}

TEST(SimTransfer, EraseRunsClearTheirAreasAndStopAtARefusal) {
    SimLink link(radioOfType(2));
    ASSERT_TRUE(link.open());
    link.radio->loadFlash(0x000000, Bytes(16, 0x00));
    link.radio->loadFlash(0x05F000, Bytes(16, 0x00));
    link.radio->loadFlash(0x060000, Bytes(16, 0x00));
    link.radio->loadFlash(0x117000, Bytes(16, 0x00));
    link.radio->loadFlash(0x118FF0, Bytes(16, 0x00));
    BlockTransfer transfer(link.engine(), link.reply);

    // Locked: the first erase is refused and the run stops there.
    int failed = -1;
    EXPECT_FALSE(transfer.eraseUserVoiceArea(0x117000, 2, failed));
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(link.radio->flash(0x117000, 1), Bytes{0x00});
    removeErrors(0);

    ASSERT_TRUE(link.unlock());
    link.radio->clearRequestLog();
    Progress progress;
    ASSERT_TRUE(transfer.eraseFirmwareArea(progress.callback()));
    EXPECT_EQ(progress.calls.size(), 6u);
    EXPECT_EQ(progress.calls.back(), (std::pair<std::uint32_t, std::uint32_t>{6, 6}));
    EXPECT_EQ(link.radio->flash(0x000000, 1), Bytes{0xFF});
    EXPECT_EQ(link.radio->flash(0x05F000, 1), Bytes{0xFF});
    EXPECT_EQ(link.radio->flash(0x060000, 1), Bytes{0x00}) << "the firmware area ends at 0x60000";
    const auto log = link.radio->requestLog();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[5].subFunction, 6);
    EXPECT_EQ(log[5].address, 0x50000u);

    ASSERT_TRUE(transfer.eraseUserVoiceArea(0x117000, 2, failed));
    EXPECT_EQ(link.radio->flash(0x117000, 1), Bytes{0xFF});
    EXPECT_EQ(link.radio->flash(0x118FF0, 1), Bytes{0xFF});

    Progress voice;
    link.radio->loadFlash(0x230000, Bytes(16, 0x00));
    ASSERT_TRUE(transfer.eraseVoiceArea(0x220000, 2, voice.callback()));
    EXPECT_EQ(link.radio->flash(0x230000, 1), Bytes{0xFF});
    EXPECT_EQ(voice.calls.size(), 2u);
    EXPECT_EQ(errorCount(), 0u);
}

// An engine on the link tests' fake cable, answered by a scripted radio.
struct ScriptedLink {
    ScriptedLink() {
        driver->devices.push_back({"QX CPS Cable", {}, false, 0});
        opened = cable.open(0);
        radio.attach(*driver->line);
    }
    std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();
    USBSerial cable{driver};
    SBEP engine{cable};
    ScriptedRadio radio;
    bool opened = false;
};

// A flash read reply carries two leading bytes and at most the bytes asked for.
TEST(ScriptedTransfer, FlashReadReplyLengthRules) {
    struct Case {
        std::size_t replyBytes;
        bool ok;
    };
    for (const Case c : {Case{4098, true}, Case{4099, false}, Case{2, false}}) {
        SCOPED_TRACE(c.replyBytes);
        removeErrors(0);
        ScriptedLink link;
        ASSERT_TRUE(link.opened);
        Bytes data(c.replyBytes, 0x5A);
        data[0] = 0x03;
        data[1] = 0x00;
        // Enough replies for every attempt the engine may make.
        for (int i = 0; i < 4; ++i)
            link.radio.replies.push_back(radioReply(0x95, data));
        Bytes reply(4200);
        BlockTransfer transfer(link.engine, reply);
        Bytes out(4096, 0);
        EXPECT_EQ(transfer.readFlash(0x1000, out), c.ok);
        if (c.ok) {
            EXPECT_EQ(out, Bytes(4096, 0x5A));
        }
    }
    removeErrors(0);
}

// The radio decides how long its reply is. A memory or flash read answered
// with more data than asked for fails, and the caller's buffer is never
// written past its end (the bytes behind it here stand for whatever the
// caller keeps there).
TEST(ScriptedTransfer, RepliesLongerThanAskedForFailWithoutOverrun) {
    struct Case {
        bool flash;
        std::size_t asked;
        std::size_t replyData;  // flash: without the two leading bytes
    };
    for (const Case c :
         {Case{false, 50, 51}, Case{false, 50, 200}, Case{true, 100, 101}, Case{true, 100, 4096}}) {
        SCOPED_TRACE(::testing::Message() << (c.flash ? "flash " : "memory ") << c.replyData);
        removeErrors(0);
        ScriptedLink link;
        ASSERT_TRUE(link.opened);
        // One reply: a transfer that took it would go on to a silent radio.
        if (c.flash) {
            Bytes data{0x03, 0x00};
            data.resize(2 + c.replyData, 0x5A);
            link.radio.replies.push_back(radioReply(0x95, data));
        } else {
            Bytes data{0x00, 0x82, 0x00, 0x00};
            data.resize(4 + c.replyData, 0x5A);
            link.radio.replies.push_back(radioReply(0x80, data));
        }
        Bytes reply(sbep::kReceiveBufferSize);
        BlockTransfer transfer(link.engine, reply);
        Bytes buffer(c.asked + 8192, 0xEE);
        const std::span<std::uint8_t> out = std::span(buffer).first(c.asked);
        EXPECT_FALSE(c.flash ? transfer.readFlash(0x1000, out)
                             : transfer.readMemory(0x820000, out));
        EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(c.asked), buffer.end(),
                                [](std::uint8_t b) { return b == 0xEE; }));
        EXPECT_EQ(link.driver->line->writes.size(), 1u) << "nothing is asked again";
    }
    removeErrors(0);
}

}  // namespace
}  // namespace vkt::test
