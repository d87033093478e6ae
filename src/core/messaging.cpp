#include "core/messaging.h"

#include <algorithm>
#include <thread>
#include <unordered_map>

namespace vkt {
namespace {

struct WindowEntry {
    MessageTarget* target = nullptr;
    MessageQueue* queue = nullptr;
    // Set while the owning thread runs the target's onMessage, so that a
    // destroyWindow from another thread can wait until the call has returned.
    int dispatching = 0;
    std::thread::id dispatcher;
};

// One registry for the whole process; its mutex guards every window entry.
struct Registry {
    std::mutex mutex;
    std::condition_variable idle;
    std::unordered_map<WindowHandle, WindowEntry> windows;
    WindowHandle next = 1;
};

// Never destroyed: objects with static lifetime (the Task, the cable
// monitor) destroy their windows at exit, possibly after this registry's
// own static destruction would have run.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

thread_local MessageQueue* currentQueue = nullptr;

bool deliver(WindowHandle window, std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam,
             bool urgent) {
    if (window == 0)
        return false;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(window);
    if (it == r.windows.end())
        return false;
    it->second.queue->enqueue(Message{window, id, wParam, lParam}, urgent);
    return true;
}

// Removes an entry; when another thread is inside the target's onMessage,
// waits for it to return so that the caller may free the target afterwards.
void eraseLocked(Registry& r, std::unique_lock<std::mutex>& lock, WindowHandle window) {
    auto it = r.windows.find(window);
    if (it == r.windows.end())
        return;
    if (it->second.dispatching > 0 && it->second.dispatcher != std::this_thread::get_id()) {
        r.idle.wait(lock, [&] {
            auto again = r.windows.find(window);
            return again == r.windows.end() || again->second.dispatching == 0;
        });
    }
    r.windows.erase(window);
}

}  // namespace

MessageQueue* MessageQueue::current() {
    return currentQueue;
}
void MessageQueue::setCurrent(MessageQueue* queue) {
    currentQueue = queue;
}

WindowHandle createWindow(MessageTarget* target, MessageQueue* queue) {
    if (queue == nullptr)
        queue = MessageQueue::current();
    if (target == nullptr || queue == nullptr)
        return 0;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    WindowHandle handle = r.next++;
    r.windows.emplace(handle, WindowEntry{target, queue, 0, {}});
    return handle;
}

void destroyWindow(WindowHandle window) {
    if (window == 0)
        return;
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    eraseLocked(r, lock, window);
}

bool isWindow(WindowHandle window) {
    if (window == 0)
        return false;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.windows.count(window) != 0;
}

bool postMessage(WindowHandle window, std::uint32_t id, std::uintptr_t wParam,
                 std::intptr_t lParam) {
    return deliver(window, id, wParam, lParam, false);
}

bool sendNotifyMessage(WindowHandle window, std::uint32_t id, std::uintptr_t wParam,
                       std::intptr_t lParam) {
    return deliver(window, id, wParam, lParam, true);
}

bool dispatchMessage(const Message& message) {
    Registry& r = registry();
    MessageTarget* target = nullptr;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(message.window);
        if (it == r.windows.end())
            return false;
        target = it->second.target;
        it->second.dispatching += 1;
        it->second.dispatcher = std::this_thread::get_id();
    }
    struct Release {
        Registry& r;
        WindowHandle window;
        ~Release() {
            std::lock_guard lock(r.mutex);
            auto it = r.windows.find(window);
            if (it != r.windows.end())
                it->second.dispatching -= 1;
            r.idle.notify_all();
        }
    } release{r, message.window};
    target->onMessage(message.id, message.wParam, message.lParam);
    return true;
}

void destroyWindowsOf(MessageQueue* queue) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    std::vector<WindowHandle> doomed;
    for (const auto& [handle, entry] : r.windows) {
        if (entry.queue == queue)
            doomed.push_back(handle);
    }
    for (WindowHandle handle : doomed)
        eraseLocked(r, lock, handle);
}

// ---- BufferedMessageQueue ----

BufferedMessageQueue::~BufferedMessageQueue() {
    destroyWindowsOf(this);
}

void BufferedMessageQueue::enqueue(const Message& message, bool urgent) {
    {
        std::lock_guard lock(mutex_);
        (urgent ? urgent_ : posted_).push_back(message);
    }
    wakeUp();
}

bool BufferedMessageQueue::hasPending() const {
    std::lock_guard lock(mutex_);
    return !urgent_.empty() || !posted_.empty();
}

std::size_t BufferedMessageQueue::dispatchPending() {
    std::size_t posts;
    {
        std::lock_guard lock(mutex_);
        posts = posted_.size();
    }
    std::size_t handled = 0;
    for (;;) {
        Message message;
        {
            std::lock_guard lock(mutex_);
            if (!urgent_.empty()) {
                message = urgent_.front();
                urgent_.pop_front();
            } else if (posts > 0 && !posted_.empty()) {
                message = posted_.front();
                posted_.pop_front();
                --posts;
            } else {
                break;
            }
        }
        dispatchMessage(message);
        ++handled;
    }
    return handled;
}

// ---- EventLoop ----

EventLoop::EventLoop() {
    if (MessageQueue::current() == nullptr)
        MessageQueue::setCurrent(this);
}

EventLoop::~EventLoop() {
    // Windows first, so that nothing is queued to a loop that is going away.
    destroyWindowsOf(this);
    if (MessageQueue::current() == this)
        MessageQueue::setCurrent(nullptr);
}

void EventLoop::wakeUp() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    wake_.notify_all();
}

std::size_t EventLoop::runDueTimers() {
    // Only the timers due now, earliest first; those they start wait for the
    // next round.
    std::vector<Timer> due;
    {
        std::lock_guard lock(mutex_);
        auto now = Clock::now();
        auto split = std::stable_partition(timers_.begin(), timers_.end(),
                                           [&](const Timer& t) { return t.due > now; });
        due.assign(std::make_move_iterator(split), std::make_move_iterator(timers_.end()));
        timers_.erase(split, timers_.end());
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const Timer& a, const Timer& b) { return a.due < b.due; });
    for (std::size_t i = 0; i < due.size(); ++i) {
        // A timer cancelled by an earlier one of this round does not run.
        bool cancelled;
        {
            std::lock_guard lock(mutex_);
            cancelled = std::find(cancelledNow_.begin(), cancelledNow_.end(), due[i].id) !=
                        cancelledNow_.end();
        }
        if (!cancelled)
            due[i].fn();
    }
    {
        std::lock_guard lock(mutex_);
        cancelledNow_.clear();
    }
    return due.size();
}

std::size_t EventLoop::processPending() {
    std::size_t handled = dispatchPending();
    return handled + runDueTimers();
}

bool EventLoop::readyLocked(Clock::time_point now) const {
    if (quit_ || signalled_)
        return true;
    return std::any_of(timers_.begin(), timers_.end(),
                       [&](const Timer& t) { return t.due <= now; });
}

bool EventLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const bool unlimited = timeout == std::chrono::milliseconds::max();
    const auto deadline = unlimited ? Clock::time_point::max() : Clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            signalled_ = false;  // what was signalled so far is dispatched now
        }
        processPending();
        if (done())
            return true;
        std::unique_lock lock(mutex_);
        if (quit_) {
            quit_ = false;
            lock.unlock();
            return done();
        }
        if (hasPending())
            continue;  // left over from a bounded round
        auto now = Clock::now();
        if (readyLocked(now))
            continue;
        if (now >= deadline) {
            lock.unlock();
            return done();
        }
        auto wakeAt = deadline;
        for (const Timer& t : timers_)
            wakeAt = std::min(wakeAt, t.due);
        if (wakeAt == Clock::time_point::max()) {
            wake_.wait(lock, [&] { return readyLocked(Clock::now()); });
        } else {
            wake_.wait_until(lock, wakeAt, [&] { return readyLocked(Clock::now()); });
        }
    }
}

void EventLoop::quit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
}

EventLoop::TimerId EventLoop::postDelayed(std::chrono::milliseconds delay,
                                          std::function<void()> fn) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = nextTimer_++;
        timers_.push_back(Timer{id, Clock::now() + delay, std::move(fn)});
    }
    wake_.notify_all();
    return id;
}

void EventLoop::cancelTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [id](const Timer& t) { return t.id == id; });
    cancelledNow_.push_back(id);
}

}  // namespace vkt
