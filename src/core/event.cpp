#include "core/event.h"

#include <algorithm>

namespace vkt {

// ---- Event ----

Event::~Event() {
    destroyWindow(window_);
    window_ = 0;
    listeners_.clear();
}

WindowHandle Event::createWindow(MessageQueue* queue) {
    // A window that went away with its queue is created again.
    if (!isWindow(window_))
        window_ = vkt::createWindow(this, queue);
    return window_;
}

bool Event::addListener(WindowHandle window) {
    if (window == 0)
        return false;
    if (std::find(listeners_.begin(), listeners_.end(), window) == listeners_.end()) {
        listeners_.push_back(window);
    }
    return true;
}

void Event::removeListener(WindowHandle window) {
    std::erase(listeners_, window);
}

void Event::notifyListeners() {
    for (WindowHandle listener : listeners_) {
        // A dead handle makes sendNotifyMessage fail without effect.
        sendNotifyMessage(listener, WM_RADIO_CHANGED, 0, 0);
    }
}

void Event::postToListeners(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) {
    for (WindowHandle listener : listeners_)
        postMessage(listener, id, wParam, lParam);
}

// ---- Task ----

std::atomic<bool> Task::waiting_{false};

Task& Task::instance() {
    static Task task;
    return task;
}

Task::~Task() {
    if (worker_ && worker_->joinable())
        worker_->join();
}

WindowHandle Task::createWindow(MessageQueue* queue) {
    WindowHandle handle = Event::createWindow(queue);
    if (handle != 0)
        notify_ = handle;
    return notify_;
}

bool Task::add(Runnable* item) {
    if (item == nullptr)
        return false;
    queue_.push_back(item);
    return true;
}

std::size_t Task::clear() {
    std::size_t count = queue_.size();
    queue_.clear();
    return count;
}

bool Task::isBusy() const {
    if (!worker_)
        return false;
    if (!workerEnded_->load())
        return true;
    // The worker has ended; its completion is still on its way to onTaskDone
    // unless there was no live window to receive it.
    return isWindow(notify_);
}

bool Task::start() {
    if (isBusy() || queue_.empty())
        return true;
    if (worker_) {
        // Ended without a window to report to: reap it now.
        worker_->join();
        worker_.reset();
    }
    Batch batch{notify_, queue_};
    workerEnded_ = std::make_unique<std::atomic<bool>>(false);
    worker_ = std::make_unique<std::thread>(&Task::work, std::move(batch), workerEnded_.get());
    return true;
}

void Task::work(Batch batch, std::atomic<bool>* ended) {
    auto result = static_cast<std::intptr_t>(batch.items.size());
    for (std::size_t i = 0; i < batch.items.size(); ++i) {
        bool ok = false;
        try {
            ok = batch.items[i]->run();
        } catch (...) {
            // An exception ends the batch like a failure, so that the failed
            // item is what the result names.
            batch.items[i]->abandon();
        }
        if (!ok) {
            result = static_cast<std::intptr_t>(i);
            break;
        }
    }
    if (batch.notify != 0)
        sendNotifyMessage(batch.notify, WM_TASK_DONE, 0, result);
    ended->store(true);
}

std::intptr_t Task::onMessage(std::uint32_t id, std::uintptr_t, std::intptr_t lParam) {
    if (id == WM_TASK_DONE)
        onTaskDone(lParam);
    return 0;
}

void Task::onTaskDone(std::intptr_t result) {
    lastResult_ = result;
    if (worker_ && worker_->joinable() && !waiting_.exchange(true)) {
        // The listeners must learn of the end only when no item runs any more.
        worker_->join();
        waiting_.store(false);
    }
    postToListeners(WM_TASK_DONE, 0, 0);
    if (worker_ && !worker_->joinable()) {
        worker_.reset();
        workerEnded_.reset();
    }
}

// ---- TaskWaiter ----

TaskWaiter::TaskWaiter(Task& task, std::function<void()> onDone, MessageQueue* queue)
    : task_(task),
      onDone_(std::move(onDone)),
      queue_(queue != nullptr ? queue : MessageQueue::current()),
      window_(createWindow(this, queue_)) {}

TaskWaiter::~TaskWaiter() {
    task_.removeListener(window_);
    task_.clear();
    destroyWindow(window_);
}

bool TaskWaiter::begin() {
    // The Task reports the end of the batch through its window, so it needs
    // one (on this thread's queue when it has none yet).
    if (task_.isBusy() || window_ == 0 || task_.createWindow(queue_) == 0)
        return false;
    task_.clear();
    for (Runnable* item : items_)
        task_.add(item);  // add() skips null entries
    task_.addListener(window_);
    if (task_.queued().empty()) {
        // Nothing to run, so no WM_TASK_DONE will come: end at once instead of
        // waiting for ever.
        finished_ = true;
        if (onDone_)
            onDone_();
        return true;
    }
    task_.start();
    return true;
}

std::intptr_t TaskWaiter::onMessage(std::uint32_t id, std::uintptr_t, std::intptr_t) {
    if (id == WM_TASK_DONE && !finished_) {
        finished_ = true;
        if (onDone_)
            onDone_();
    }
    return 0;
}

bool runBatch(const std::vector<Runnable*>& items, EventLoop& loop, Task& task,
              std::chrono::milliseconds timeout) {
    bool closed = false;
    EventLoop::TimerId timer = 0;
    TaskWaiter waiter(
        task, [&] { timer = loop.postDelayed({}, [&] { closed = true; }); }, &loop);
    for (Runnable* item : items)
        waiter.add(item);
    if (!waiter.begin())
        return false;
    bool ok = loop.runUntil([&] { return closed; }, timeout);
    if (!closed && timer != 0)
        loop.cancelTimer(timer);
    return ok;
}

}  // namespace vkt
