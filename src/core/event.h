// Event: base of every message-driven object (a hidden window plus a list of
// listener windows). Task: runs batches of Runnables on one worker thread and
// tells its listeners when a batch has ended. TaskWaiter: the protocol of a
// window that shows a running batch.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "core/messages.h"
#include "core/messaging.h"

namespace vkt {

class Event : public MessageTarget {
  public:
    Event() = default;
    ~Event() override;  // destroys the hidden window, forgets the listeners
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Creates the hidden window on queue (the calling thread's current queue
    // when null) the first time it succeeds; later calls return the same
    // handle while it names a window (a window destroyed with its queue is
    // created again). Returns 0 (and tries again next time) without a queue.
    // Overrides keep the default argument.
    virtual WindowHandle createWindow(MessageQueue* queue = nullptr);
    WindowHandle window() const { return window_; }
    bool created() const { return window_ != 0; }

    // False for a null handle; a handle already present is not added twice.
    bool addListener(WindowHandle window);
    void removeListener(WindowHandle window);
    const std::vector<WindowHandle>& listeners() const { return listeners_; }

    // WM_RADIO_CHANGED (0, 0) by sendNotifyMessage to every live listener.
    void notifyListeners();
    // Posts the message to every live listener; dead ones are skipped, not removed.
    void postToListeners(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam);

    std::intptr_t onMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override { return 0; }

  private:
    WindowHandle window_ = 0;
    std::vector<WindowHandle> listeners_;
};

// One unit of work of a Task batch, run on the worker thread.
class Runnable : public Event {
  public:
    // True: the batch goes on with the next item; false ends it.
    virtual bool run() = 0;
    // Called on the worker thread when run() ended by an exception; the batch
    // ends there. Lets the item record its failure.
    virtual void abandon() noexcept {}
};

class Task : public Event {
  public:
    Task() = default;
    ~Task() override;  // joins a remaining worker

    // The one Task of the application. Tests may use their own instances.
    static Task& instance();

    // Creates the window (see Event) and makes it the worker's notify window.
    WindowHandle createWindow(MessageQueue* queue = nullptr) override;

    bool add(Runnable* item);  // false for null; the same item may be added twice
    std::size_t clear();       // returns the number of entries removed
    const std::vector<Runnable*>& queued() const { return queue_; }

    // True while a worker runs, and afterwards until its completion has been
    // handled by onTaskDone (so a new batch cannot start before the listeners
    // of the previous one have been told).
    bool isBusy() const;
    // Starts a worker on a copy of the queue; does nothing when busy or when
    // the queue is empty. Always true.
    bool start();

    // Result of the last batch as the worker reported it: the number of items
    // when all succeeded, otherwise the index of the one that failed.
    std::intptr_t lastResult() const { return lastResult_; }

    std::intptr_t onMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    struct Batch {
        WindowHandle notify = 0;
        std::vector<Runnable*> items;
    };
    static void work(Batch batch, std::atomic<bool>* ended);
    void onTaskDone(std::intptr_t result);

    std::vector<Runnable*> queue_;
    WindowHandle notify_ = 0;
    std::unique_ptr<std::thread> worker_;
    std::unique_ptr<std::atomic<bool>> workerEnded_;
    std::intptr_t lastResult_ = 0;
    static std::atomic<bool> waiting_;
};

// Follows the protocol a window showing a batch must keep with the Task:
// begin() refuses when the Task is busy, otherwise clear, add the items,
// register its own window as listener and start; WM_TASK_DONE calls onDone;
// destruction unregisters and clears the queue. Front ends wrap it in their
// wait dialog; runBatch below uses it with an EventLoop.
class TaskWaiter : public MessageTarget {
  public:
    TaskWaiter(Task& task, std::function<void()> onDone, MessageQueue* queue = nullptr);
    ~TaskWaiter() override;
    TaskWaiter(const TaskWaiter&) = delete;
    TaskWaiter& operator=(const TaskWaiter&) = delete;

    void add(Runnable* item) { items_.push_back(item); }
    // False when nothing was started: the Task is busy, or it or the waiter
    // has no window. Creates the Task's window on the waiter's queue when it
    // has none.
    bool begin();
    bool finished() const { return finished_; }
    WindowHandle window() const { return window_; }

    std::intptr_t onMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    Task& task_;
    std::function<void()> onDone_;
    MessageQueue* queue_;
    WindowHandle window_ = 0;
    std::vector<Runnable*> items_;
    bool finished_ = false;
};

// Runs items as one batch of task and dispatches loop until the Task's
// WM_TASK_DONE has arrived and the closing 0 ms timer has fired. False when
// the Task was busy (nothing ran) or the timeout passed first.
bool runBatch(const std::vector<Runnable*>& items, EventLoop& loop, Task& task = Task::instance(),
              std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

}  // namespace vkt
