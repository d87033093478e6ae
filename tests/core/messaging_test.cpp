#include "core/messaging.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/core/message_recorder.h"

namespace vkt {
namespace {

using namespace std::chrono_literals;

// Records every message it receives, in order.
using Recorder = vkt::testing::MessageRecorder;

TEST(Messaging, PostedMessagesArriveInOrderWithTheirParameters) {
    EventLoop loop;
    Recorder r;
    WindowHandle w = createWindow(&r, &loop);
    ASSERT_NE(w, 0u);
    EXPECT_TRUE(postMessage(w, 1, 10, -1));
    EXPECT_TRUE(postMessage(w, 2, 20, -2));
    EXPECT_TRUE(postMessage(w, 3, 30, -3));
    EXPECT_TRUE(r.got.empty());  // nothing runs before the loop dispatches
    EXPECT_EQ(loop.processPending(), 3u);
    ASSERT_EQ(r.ids(), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(r.got[1].wParam, 20u);
    EXPECT_EQ(r.got[2].lParam, -3);
    destroyWindow(w);
}

TEST(Messaging, NotificationsGoAheadOfWaitingPosts) {
    EventLoop loop;
    Recorder r;
    WindowHandle w = createWindow(&r, &loop);
    postMessage(w, 1, 0, 0);
    postMessage(w, 2, 0, 0);
    sendNotifyMessage(w, 100, 0, 0);
    sendNotifyMessage(w, 101, 0, 0);
    loop.processPending();
    EXPECT_EQ(r.ids(), (std::vector<std::uint32_t>{100, 101, 1, 2}));
    destroyWindow(w);
}

TEST(Messaging, HandlesAreUniqueAndDeadHandlesAreRefused) {
    EventLoop loop;
    Recorder a, b;
    WindowHandle wa = createWindow(&a, &loop);
    destroyWindow(wa);
    WindowHandle wb = createWindow(&b, &loop);
    EXPECT_NE(wa, wb);  // never reused
    EXPECT_FALSE(isWindow(wa));
    EXPECT_TRUE(isWindow(wb));
    EXPECT_FALSE(postMessage(wa, 1, 0, 0));
    EXPECT_FALSE(sendNotifyMessage(wa, 1, 0, 0));
    EXPECT_FALSE(postMessage(0, 1, 0, 0));
    EXPECT_FALSE(isWindow(0));
    EXPECT_EQ(createWindow(nullptr, &loop), 0u);
    loop.processPending();
    EXPECT_TRUE(a.got.empty());
    destroyWindow(wb);
}

TEST(Messaging, MessagesQueuedForAWindowDestroyedBeforeDispatchAreDropped) {
    EventLoop loop;
    WindowHandle w = 0;
    {
        Recorder r;  // freed before the loop runs: a call would be a use-after-free
        w = createWindow(&r, &loop);
        postMessage(w, 1, 0, 0);
        sendNotifyMessage(w, 2, 0, 0);
        destroyWindow(w);
    }
    EXPECT_EQ(loop.processPending(), 2u);  // taken from the queue, not delivered
}

// A target that destroys its window and itself on its first message.
struct SelfDestroying : MessageTarget {
    WindowHandle self = 0;
    int* calls = nullptr;
    std::intptr_t onMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {
        ++*calls;
        destroyWindow(self);
        delete this;
        return 0;
    }
};

TEST(Messaging, AHandlerMayDestroyItsOwnWindowAndTheRestIsDropped) {
    EventLoop loop;
    int calls = 0;
    auto* target = new SelfDestroying;
    target->calls = &calls;
    target->self = createWindow(target, &loop);
    WindowHandle w = target->self;
    postMessage(w, 1, 0, 0);
    postMessage(w, 2, 0, 0);
    loop.processPending();
    EXPECT_EQ(calls, 1);  // the second message found no window
    EXPECT_FALSE(isWindow(w));
}

TEST(Messaging, ALoopTakesItsWindowsWithIt) {
    Recorder r;
    WindowHandle w = 0;
    {
        EventLoop loop;
        w = createWindow(&r, &loop);
        EXPECT_TRUE(isWindow(w));
    }
    EXPECT_FALSE(isWindow(w));
    EXPECT_FALSE(postMessage(w, 1, 0, 0));
}

TEST(Messaging, TheFirstLoopOfAThreadBecomesItsCurrentQueue) {
    std::thread t([] {
        EXPECT_EQ(MessageQueue::current(), nullptr);
        Recorder r;
        EXPECT_EQ(createWindow(&r), 0u);  // no queue on this thread yet
        {
            EventLoop loop;
            EXPECT_EQ(MessageQueue::current(), &loop);
            EventLoop second;
            EXPECT_EQ(MessageQueue::current(), &loop);
            WindowHandle w = createWindow(&r);
            postMessage(w, 7, 0, 0);
            loop.processPending();
            EXPECT_EQ(r.ids(), std::vector<std::uint32_t>{7});
        }
        EXPECT_EQ(MessageQueue::current(), nullptr);
    });
    t.join();
}

// Messages from other threads are handled on the owning thread, and the
// senders never wait for the handler: here the handler is blocked until every
// sender has returned.
TEST(Messaging, CrossThreadPostAndNotifyNeverBlockTheSender) {
    EventLoop loop;
    Recorder r;
    WindowHandle w = createWindow(&r, &loop);
    const auto owner = std::this_thread::get_id();
    std::atomic<int> sendersDone{0};
    bool wrongThread = false;
    r.onGot = [&](const Message&) {
        if (std::this_thread::get_id() != owner)
            wrongThread = true;
    };
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (i % 2) {
                    postMessage(w, 1000 + t, i, 0);
                } else {
                    sendNotifyMessage(w, 2000 + t, i, 0);
                }
            }
            sendersDone.fetch_add(1);
        });
    }
    for (auto& s : senders)
        s.join();  // returns although nobody dispatched
    EXPECT_EQ(sendersDone.load(), 4);
    EXPECT_TRUE(r.got.empty());
    loop.processPending();
    EXPECT_EQ(r.got.size(), 200u);
    EXPECT_FALSE(wrongThread);
    // Per sender and kind the order is kept; all notifications come first.
    std::size_t firstPost = 0;
    while (firstPost < r.got.size() && r.got[firstPost].id >= 2000)
        ++firstPost;
    EXPECT_EQ(firstPost, 100u);
    for (int t = 0; t < 4; ++t) {
        std::uintptr_t lastNotify = 0, lastPost = 0;
        bool anyN = false, anyP = false;
        for (const auto& m : r.got) {
            if (m.id == 2000u + t) {
                if (anyN) {
                    EXPECT_GT(m.wParam, lastNotify);
                }
                lastNotify = m.wParam;
                anyN = true;
            } else if (m.id == 1000u + t) {
                if (anyP) {
                    EXPECT_GT(m.wParam, lastPost);
                }
                lastPost = m.wParam;
                anyP = true;
            }
        }
    }
    destroyWindow(w);
}

TEST(EventLoop, RunUntilWakesForAMessageFromAnotherThread) {
    EventLoop loop;
    Recorder r;
    WindowHandle w = createWindow(&r, &loop);
    std::thread sender([w] { sendNotifyMessage(w, 5, 0, 0); });
    EXPECT_TRUE(loop.runUntil([&] { return !r.got.empty(); }, 10s));
    sender.join();
    destroyWindow(w);
}

TEST(EventLoop, RunUntilReturnsFalseAtTheTimeoutAndOnQuit) {
    EventLoop loop;
    auto start = EventLoop::Clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 20ms));
    EXPECT_GE(EventLoop::Clock::now() - start, 20ms);

    std::thread quitter([&] { loop.quit(); });
    EXPECT_FALSE(loop.runUntil([] { return false; }, std::chrono::milliseconds::max()));
    quitter.join();
}

TEST(EventLoop, TimersFireOnceInDueOrderAndCanBeCancelled) {
    EventLoop loop;
    std::vector<int> fired;
    loop.postDelayed(5ms, [&] { fired.push_back(2); });
    loop.postDelayed(0ms, [&] { fired.push_back(1); });
    auto cancelled = loop.postDelayed(0ms, [&] { fired.push_back(99); });
    loop.cancelTimer(cancelled);
    EXPECT_TRUE(loop.runUntil([&] { return fired.size() == 2; }, 10s));
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    loop.processPending();
    EXPECT_EQ(fired.size(), 2u);
}

TEST(EventLoop, AHandlerThatKeepsPostingToItselfDoesNotTrapTheLoop) {
    EventLoop loop;
    Recorder r;
    WindowHandle w = createWindow(&r, &loop);
    r.onGot = [&](const Message& m) { postMessage(w, m.id + 1, 0, 0); };
    postMessage(w, 1, 0, 0);
    EXPECT_EQ(loop.processPending(), 1u);  // the repost waits for the next round
    EXPECT_TRUE(loop.runUntil([&] { return r.got.size() >= 50; }, 10s));
    destroyWindow(w);
}

TEST(EventLoop, ATimerCancelledByAnEarlierOneOfTheSameRoundDoesNotRun) {
    EventLoop loop;
    std::vector<int> fired;
    EventLoop::TimerId second = 0;
    loop.postDelayed(0ms, [&] {
        fired.push_back(1);
        loop.cancelTimer(second);
    });
    second = loop.postDelayed(0ms, [&] { fired.push_back(2); });
    loop.processPending();
    EXPECT_EQ(fired, std::vector<int>{1});
}

// A destroyWindow from another thread waits until a running handler has
// returned, so the target may be freed right after it.
TEST(Messaging, DestroyFromAnotherThreadWaitsForTheRunningHandler) {
    EventLoop loop;
    auto* r = new Recorder;
    std::atomic<bool> inHandler{false}, release{false}, destroyed{false};
    r->onGot = [&](const Message&) {
        inHandler = true;
        while (!release)
            std::this_thread::yield();
        EXPECT_FALSE(destroyed.load());
    };
    WindowHandle w = createWindow(r, &loop);
    postMessage(w, 1, 0, 0);
    std::thread other([&] {
        while (!inHandler)
            std::this_thread::yield();
        release = true;
        destroyWindow(w);
        destroyed = true;
        delete r;
    });
    loop.processPending();
    other.join();
    EXPECT_FALSE(isWindow(w));
}

}  // namespace
}  // namespace vkt
