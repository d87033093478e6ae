// The cable monitor against virtual cables: the counts its poll thread
// reports, pause and resume, stopping, connecting and its forwarded notices.
#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>

#include "core/error_stack.h"
#include "core/messaging.h"
#include "link/radio_manager.h"
#include "link/usb_serial.h"
#include "message_recorder.h"
#include "sim/virtual_cable.h"

namespace vkt {
namespace {

using namespace std::chrono_literals;
using vkt::testing::MessageRecorder;

std::shared_ptr<sim::VirtualCableDriver> cables(std::size_t count) {
    std::vector<sim::VirtualDevice> devices;
    for (std::size_t i = 0; i < count; ++i)
        devices.push_back({sim::kCableDescription, std::make_shared<sim::SimRadio>()});
    return std::make_shared<sim::VirtualCableDriver>(std::move(devices));
}

// A monitor whose notices reach a recording listener on the test's loop.
struct Monitor {
    explicit Monitor(std::shared_ptr<CableDriver> driver, std::chrono::milliseconds period = 10ms)
        : manager(std::move(driver), period) {
        listener = createWindow(&recorder, &loop);
        manager.addListener(listener);
    }
    ~Monitor() { removeErrors(0); }

    bool start() { return manager.createWindow(&loop) != 0; }
    // Runs the loop until `count` cable notices have arrived (or 10 s).
    std::vector<std::intptr_t> notices(std::size_t count) {
        loop.runUntil([&] { return recorder.count(WM_CABLE_COUNT) >= count; }, 10s);
        std::vector<std::intptr_t> values;
        for (const auto& m : recorder.got) {
            if (m.id == WM_CABLE_COUNT) {
                EXPECT_EQ(m.wParam, 0u);
                values.push_back(m.lParam);
            }
        }
        return values;
    }
    void runFor(std::chrono::milliseconds time) {
        loop.runUntil([] { return false; }, time);
    }

    EventLoop loop;
    MessageRecorder recorder;
    WindowHandle listener = 0;
    RadioManager manager;
};

TEST(RadioManager, ReportsTheNumberOfCablesEveryPeriod) {
    struct Case {
        std::size_t attached;
        bool openOne;
        std::intptr_t expected;
    };
    for (const Case c : {Case{0, false, 0}, Case{1, true, 1}, Case{2, false, 2}}) {
        SCOPED_TRACE(c.attached);
        Monitor m(cables(c.attached));
        if (c.openOne) {
            ASSERT_TRUE(m.manager.connect());
            EXPECT_EQ(m.manager.portIndex(), 0);
        }
        const auto begin = std::chrono::steady_clock::now();
        ASSERT_TRUE(m.start());
        const auto values = m.notices(3);
        ASSERT_GE(values.size(), 3u);
        for (auto v : values)
            EXPECT_EQ(v, c.expected);
        // The cable this process holds is not searched again and again: three
        // polls take nowhere near one description retry cycle (13 x 500 ms).
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
        EXPECT_EQ(m.manager.cableCount(), c.openOne ? 0 : c.attached);
    }
}

TEST(RadioManager, PausedPollingSendsNothingUntilResumed) {
    Monitor m(cables(1));
    ASSERT_TRUE(m.start());
    ASSERT_GE(m.notices(1).size(), 1u);
    m.manager.setPolling(false);
    EXPECT_FALSE(m.manager.polling());
    // A poll already under way may still report; after that, silence.
    m.runFor(200ms);
    m.recorder.got.clear();
    m.runFor(300ms);
    EXPECT_EQ(m.recorder.count(WM_CABLE_COUNT), 0u);

    m.manager.setPolling(true);
    EXPECT_EQ(m.notices(2).size(), 2u);
}

TEST(RadioManager, StopWakesTheThreadAtOnceAndIsIdempotent) {
    Monitor m(cables(1), std::chrono::milliseconds(60000));
    ASSERT_TRUE(m.start());
    const auto begin = std::chrono::steady_clock::now();
    m.manager.stop();
    m.manager.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    m.runFor(50ms);
    EXPECT_EQ(m.recorder.count(WM_CABLE_COUNT), 0u);
    // A window created after the stop starts no thread.
    EXPECT_NE(m.manager.createWindow(&m.loop), 0u);
}

// The poll runs beside the radio thread's exchanges, whose guard reads the
// cable's status. Counting must not make the held cable look failed even for
// a moment (its own description query always fails): an exchange landing
// then would fail and be sent again. The moment is short, so the poll runs
// back to back on one processor while this thread watches from another.
TEST(RadioManager, PollingNeverDisturbsTheHeldCablesStatus) {
    Monitor m(cables(1), 0ms);
    ASSERT_TRUE(m.manager.connect());
    const USBSerial& cable = m.manager.radio().cable();
    cpu_set_t saved;
    const bool pinned = ::sched_getaffinity(0, sizeof saved, &saved) == 0 && CPU_COUNT(&saved) > 1;
    auto pinTo = [&](int nth) {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &saved) && seen++ == nth)
                CPU_SET(cpu, &one);
        ::sched_setaffinity(0, sizeof one, &one);
    };
    if (pinned)
        pinTo(0);  // the poll thread inherits this
    ASSERT_TRUE(m.start());
    if (pinned)
        pinTo(1);
    std::uint32_t seen = kCableOk;
    const auto end = std::chrono::steady_clock::now() + 300ms;
    while (seen == kCableOk && std::chrono::steady_clock::now() < end)
        seen = cable.lastStatus();
    m.manager.stop();
    if (pinned)
        ::sched_setaffinity(0, sizeof saved, &saved);
    EXPECT_EQ(seen, kCableOk);
    if (seen == kCableOk) {
        EXPECT_GE(m.notices(50).size(), 50u) << "the poll ran";
    }
}

TEST(RadioManager, ConnectOpensTheFirstCableAndDisconnects) {
    auto driver = cables(1);
    RadioManager manager(driver);
    // Nothing open: a plain disconnect succeeds and talks to no radio.
    EXPECT_TRUE(manager.disconnect());
    EXPECT_EQ(driver->radio()->bytesIn(), 0u);
    EXPECT_EQ(manager.portIndex(), -1);

    ASSERT_TRUE(manager.connect());
    EXPECT_TRUE(manager.radio().portOpen());
    EXPECT_EQ(manager.radio().portIndex(), 0);
    ASSERT_TRUE(manager.radio().readIdentity());
    EXPECT_TRUE(manager.disconnect());
    EXPECT_FALSE(manager.radio().portOpen());
    EXPECT_FALSE(manager.radio().identityValid());
    EXPECT_EQ(manager.radio().portIndex(), -1);
    EXPECT_EQ(manager.portIndex(), 0) << "the index of the last connect stays";

    RadioManager none(cables(0));
    EXPECT_FALSE(none.connect());
    EXPECT_FALSE(none.radio().portOpen());
}

TEST(RadioManager, ForwardsNoticesAndTheIdentityFlag) {
    Monitor m(cables(1), std::chrono::milliseconds(60000));
    ASSERT_TRUE(m.start());
    const WindowHandle window = m.manager.window();
    ASSERT_TRUE(postMessage(window, WM_RADIO_SET_VALID, 1, 0));
    ASSERT_TRUE(postMessage(window, WM_RADIO_FORWARD, 7, -3));
    m.loop.runUntil([&] { return m.recorder.got.size() >= 2; }, 5s);
    EXPECT_TRUE(m.manager.radio().identityValid());
    ASSERT_EQ(m.recorder.got.size(), 2u);
    EXPECT_EQ(m.recorder.got[0].id, WM_RADIO_CHANGED);
    EXPECT_EQ(m.recorder.got[0].wParam, 0u);
    EXPECT_EQ(m.recorder.got[1].id, WM_RADIO_FORWARD);
    EXPECT_EQ(m.recorder.got[1].wParam, 7u);
    EXPECT_EQ(m.recorder.got[1].lParam, -3);

    ASSERT_TRUE(postMessage(window, WM_RADIO_SET_VALID, 0, 0));
    m.loop.runUntil([&] { return m.recorder.got.size() >= 3; }, 5s);
    EXPECT_FALSE(m.manager.radio().identityValid());
}

}  // namespace
}  // namespace vkt
