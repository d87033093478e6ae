#include "core/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/core/message_recorder.h"

namespace vkt {
namespace {

using namespace std::chrono_literals;

using Recorder = vkt::testing::MessageRecorder;

TEST(Event, CreateWindowIsIdempotentAndTheWindowDiesWithTheObject) {
    EventLoop loop;
    WindowHandle w = 0;
    {
        Event e;
        EXPECT_FALSE(e.created());
        w = e.createWindow();
        EXPECT_NE(w, 0u);
        EXPECT_EQ(e.createWindow(), w);
        EXPECT_TRUE(isWindow(w));
    }
    EXPECT_FALSE(isWindow(w));
}

TEST(Event, CreateWindowWithoutAQueueFailsAndCanBeRetried) {
    std::thread t([] {
        Event e;
        EXPECT_EQ(e.createWindow(), 0u);
        EventLoop loop;
        EXPECT_NE(e.createWindow(), 0u);
    });
    t.join();
}

TEST(Event, ListenerListKeepsOrderRefusesNullAndDuplicates) {
    Event e;
    EXPECT_FALSE(e.addListener(0));
    EXPECT_TRUE(e.addListener(7));
    EXPECT_TRUE(e.addListener(9));
    EXPECT_TRUE(e.addListener(7));
    EXPECT_EQ(e.listeners(), (std::vector<WindowHandle>{7, 9}));
    e.removeListener(42);
    EXPECT_EQ(e.listeners(), (std::vector<WindowHandle>{7, 9}));
    e.removeListener(7);
    EXPECT_EQ(e.listeners(), std::vector<WindowHandle>{9});
}

TEST(Event, MessagesToListenersSkipDeadWindowsWithoutRemovingThem) {
    EventLoop loop;
    Recorder a, b, dead;
    WindowHandle wa = createWindow(&a, &loop), wb = createWindow(&b, &loop);
    WindowHandle wd = createWindow(&dead, &loop);
    Event e;
    e.addListener(wa);
    e.addListener(wd);
    e.addListener(wb);
    destroyWindow(wd);
    e.postToListeners(0x52E, 3, 4);
    e.notifyListeners();
    loop.processPending();
    EXPECT_EQ(e.listeners().size(), 3u);
    EXPECT_TRUE(dead.got.empty());
    for (Recorder* r : {&a, &b}) {
        ASSERT_EQ(r->got.size(), 2u);
        // The notification overtakes the post that is still queued.
        EXPECT_EQ(r->got[0].id, WM_RADIO_CHANGED);
        EXPECT_EQ(r->got[0].wParam, 0u);
        EXPECT_EQ(r->got[1].id, 0x52Eu);
        EXPECT_EQ(r->got[1].wParam, 3u);
        EXPECT_EQ(r->got[1].lParam, 4);
    }
    destroyWindow(wa);
    destroyWindow(wb);
}

// A batch item that records where and whether it ran.
struct Step : Runnable {
    bool result = true;
    bool throws = false;
    std::atomic<int> runs{0};
    std::atomic<bool> abandoned{false};
    std::function<void()> during;
    bool run() override {
        runs.fetch_add(1);
        if (during)
            during();
        if (throws)
            throw std::runtime_error("broken");
        return result;
    }
    void abandon() noexcept override { abandoned = true; }
};

// A Task with its window on the test's loop, and a listener window.
struct TaskFixture : ::testing::Test {
    EventLoop loop;
    Task task;
    Recorder listener;
    WindowHandle listenerWindow = 0;
    void SetUp() override {
        ASSERT_NE(task.createWindow(), 0u);
        listenerWindow = createWindow(&listener, &loop);
        task.addListener(listenerWindow);
    }
    void TearDown() override { destroyWindow(listenerWindow); }
    bool waitDone() {
        return loop.runUntil([&] { return listener.count(WM_TASK_DONE) > 0; }, 10s);
    }
};

TEST(Event, AWindowLostWithItsLoopIsCreatedAgain) {
    Event e;
    WindowHandle first = 0;
    {
        EventLoop loop;
        first = e.createWindow();
    }
    EXPECT_FALSE(isWindow(first));
    EventLoop loop;
    WindowHandle second = e.createWindow();
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
    EXPECT_TRUE(isWindow(second));
}

// Without a window the Task still runs batches; a finished worker that had
// nobody to report to is reaped by the next start.
TEST(Task, WithoutAWindowBatchesStillRunOneAfterTheOther) {
    Task task;
    Step a;
    task.add(&a);
    for (int batch = 1; batch <= 2; ++batch) {
        task.start();
        auto limit = std::chrono::steady_clock::now() + 10s;
        while (task.isBusy() && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_FALSE(task.isBusy());
        EXPECT_EQ(a.runs, batch);
    }
}

TEST_F(TaskFixture, StartWithAnEmptyQueueStartsNothing) {
    EXPECT_TRUE(task.start());
    EXPECT_FALSE(task.isBusy());
    EXPECT_FALSE(loop.runUntil([&] { return !listener.got.empty(); }, 30ms));
}

TEST_F(TaskFixture, AFailingItemEndsTheBatchAndListenersGetOneDoneWithZeros) {
    Step first, second, third;
    second.result = false;
    for (Step* s : {&first, &second, &third})
        task.add(s);
    task.start();
    ASSERT_TRUE(waitDone());
    loop.runUntil([] { return false; }, 20ms);  // nothing else may follow
    EXPECT_EQ(first.runs, 1);
    EXPECT_EQ(second.runs, 1);
    EXPECT_EQ(third.runs, 0);
    EXPECT_EQ(task.lastResult(), 1);
    ASSERT_EQ(listener.got.size(), 1u);
    EXPECT_EQ(listener.got[0].id, WM_TASK_DONE);
    EXPECT_EQ(listener.got[0].wParam, 0u);
    EXPECT_EQ(listener.got[0].lParam, 0);
    EXPECT_FALSE(task.isBusy());
    EXPECT_EQ(task.queued().size(), 3u);  // the queue survives the batch
}

TEST_F(TaskFixture, ASuccessfulBatchReportsItsLengthAndTheSameItemMayRunTwice) {
    Step a, b;
    task.add(&a);
    task.add(&b);
    task.add(&a);
    EXPECT_FALSE(task.add(nullptr));
    task.start();
    ASSERT_TRUE(waitDone());
    EXPECT_EQ(task.lastResult(), 3);
    EXPECT_EQ(a.runs, 2);
    EXPECT_EQ(task.clear(), 3u);
    EXPECT_EQ(task.clear(), 0u);
}

TEST_F(TaskFixture, AnExceptionEndsTheBatchAsAFailureAndDoneStillArrives) {
    Step a, broken, c;
    broken.throws = true;
    for (Step* s : {&a, &broken, &c})
        task.add(s);
    task.start();
    ASSERT_TRUE(waitDone());
    EXPECT_EQ(task.lastResult(), 1);
    EXPECT_TRUE(broken.abandoned);
    EXPECT_EQ(c.runs, 0);
}

TEST_F(TaskFixture, StartWhileRunningChangesNothing) {
    std::atomic<bool> release{false};
    Step slow, other;
    slow.during = [&] {
        while (!release)
            std::this_thread::yield();
    };
    task.add(&slow);
    task.start();
    EXPECT_TRUE(task.isBusy());
    task.clear();
    task.add(&other);
    EXPECT_TRUE(task.start());
    release = true;
    ASSERT_TRUE(waitDone());
    EXPECT_EQ(slow.runs, 1);
    EXPECT_EQ(other.runs, 0);
    EXPECT_EQ(task.lastResult(), 1);
}

// The listener is told only after the worker thread has ended. A
// thread-local object of the worker is destroyed at thread exit, after the
// worker's message to the Task window; it dawdles so that a Task that does
// not join would tell the listener before the flag is set.
std::atomic<bool> workerExited{false};
struct ExitMarker {
    ~ExitMarker() {
        std::this_thread::sleep_for(50ms);
        workerExited = true;
    }
};

TEST_F(TaskFixture, ListenersAreToldOnlyAfterTheWorkerHasEnded) {
    workerExited = false;
    Step step;
    step.during = [] {
        thread_local ExitMarker marker;
        (void)marker;
    };
    task.add(&step);
    bool exitedWhenTold = false;
    listener.onGot = [&](const Message&) { exitedWhenTold = workerExited.load(); };
    task.start();
    ASSERT_TRUE(waitDone());
    EXPECT_TRUE(exitedWhenTold);
    EXPECT_FALSE(task.isBusy());
}

TEST(TaskWaiter, RunBatchReturnsAfterDoneAndCleansUp) {
    EventLoop current;
    EventLoop loop;  // not the thread's current queue
    ASSERT_EQ(MessageQueue::current(), &current);
    Task task;  // its window is created by the first batch, on the loop that runs it
    Step a, b;
    b.result = false;
    EXPECT_TRUE(runBatch({&a, nullptr, &b}, loop, task, 10s));
    EXPECT_EQ(a.runs, 1);
    EXPECT_EQ(b.runs, 1);
    EXPECT_EQ(task.lastResult(), 1);
    EXPECT_TRUE(task.listeners().empty());  // the waiter removed itself
    EXPECT_TRUE(task.queued().empty());     // and cleared the queue
    EXPECT_FALSE(task.isBusy());
    // A second batch right after the first.
    EXPECT_TRUE(runBatch({&a}, loop, task, 10s));
    EXPECT_EQ(a.runs, 2);
    // An empty batch ends at once instead of waiting for a message that never comes.
    EXPECT_TRUE(runBatch({}, loop, task, 10s));
}

TEST(TaskWaiter, ABusyTaskEndsTheWaiterAtOnceWithoutRunningAnything) {
    EventLoop loop;
    Task task;
    ASSERT_NE(task.createWindow(), 0u);
    std::atomic<bool> release{false};
    Step slow, other;
    slow.during = [&] {
        while (!release)
            std::this_thread::yield();
    };
    bool firstDone = false;
    TaskWaiter first(
        task, [&] { firstDone = true; }, &loop);
    first.add(&slow);
    ASSERT_TRUE(first.begin());
    EXPECT_FALSE(runBatch({&other}, loop, task, 10s));
    EXPECT_EQ(other.runs, 0);
    release = true;
    EXPECT_TRUE(loop.runUntil([&] { return firstDone; }, 10s));
    EXPECT_EQ(slow.runs, 1);
}

}  // namespace
}  // namespace vkt
