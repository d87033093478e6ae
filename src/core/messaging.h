// Windows and window messages without a windowing system.
//
// A "window" is a registered message target with a handle. Each window belongs
// to one MessageQueue, the event loop of the thread that owns it; messages to
// the window are queued there and handled on that thread. Handles are never
// reused within a process, so a stale handle simply names no window any more.
//
// Every function here may be called from any thread. Posting and notifying
// never block on the receiving thread's handlers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace vkt {

using WindowHandle = std::uint64_t;  // 0 = no window

struct Message {
    WindowHandle window = 0;
    std::uint32_t id = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

// Something that receives window messages. onMessage runs on the thread that
// owns the window's queue.
class MessageTarget {
  public:
    virtual ~MessageTarget() = default;
    virtual std::intptr_t onMessage(std::uint32_t id, std::uintptr_t wParam,
                                    std::intptr_t lParam) = 0;
};

// The binding between windows and a thread's event loop. An implementation
// stores the messages and later, on its own thread, hands each to
// dispatchMessage(). Urgent messages (notifications) go ahead of the posted
// ones that are still waiting. enqueue() is called from any thread, with the
// window registry locked: it must only store the message and wake the loop.
class MessageQueue {
  public:
    virtual ~MessageQueue() = default;
    virtual void enqueue(const Message& message, bool urgent) = 0;

    // The queue of the calling thread (null when it has none).
    static MessageQueue* current();
    static void setCurrent(MessageQueue* queue);
};

// Registers target as a window of queue (the calling thread's current queue
// when null). Returns 0 when target or the queue is missing.
WindowHandle createWindow(MessageTarget* target, MessageQueue* queue = nullptr);
// Unregisters the window; messages still queued for it are dropped. Safe from
// inside the window's own onMessage.
void destroyWindow(WindowHandle window);
bool isWindow(WindowHandle window);
// Queues a message behind the ones already posted. False for a dead handle.
bool postMessage(WindowHandle window, std::uint32_t id, std::uintptr_t wParam,
                 std::intptr_t lParam);
// Queues a message ahead of the posted ones; never waits for the handler.
// False for a dead handle.
bool sendNotifyMessage(WindowHandle window, std::uint32_t id, std::uintptr_t wParam,
                       std::intptr_t lParam);
// Called by a queue on its own thread: looks the window up now and calls its
// target. A message for a window destroyed in between is dropped (returns false).
bool dispatchMessage(const Message& message);
// Destroys every window bound to queue (a queue calls it before it goes away).
void destroyWindowsOf(MessageQueue* queue);

// A MessageQueue that keeps the messages in two lists (notifications ahead of
// posts) and hands them out on the owning thread. Event loops derive from it:
// wakeUp() tells the loop that there is something to dispatch (it is called
// from any thread, with the window registry locked, and must not block),
// and the loop then calls dispatchPending() on its own thread. The Qt front
// end binds it to its event loop the same way.
class BufferedMessageQueue : public MessageQueue {
  public:
    ~BufferedMessageQueue() override;  // destroys the windows bound to it

    void enqueue(const Message& message, bool urgent) final;
    // Dispatches the messages that were queued when the call began, and the
    // notifications that arrive meanwhile, each ahead of the remaining posts.
    // Messages queued by the handlers wait for the next call, so a handler
    // that keeps posting to itself cannot keep the caller in here for ever.
    // Returns the number of messages taken from the queue.
    std::size_t dispatchPending();
    bool hasPending() const;

  protected:
    virtual void wakeUp() = 0;

  private:
    mutable std::mutex mutex_;
    std::deque<Message> urgent_;
    std::deque<Message> posted_;
};

// The small event loop of the command line and the tests. Construct it on the
// thread that will run it; it becomes that thread's current queue when the
// thread has none yet.
class EventLoop : public BufferedMessageQueue {
  public:
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    EventLoop();
    ~EventLoop() override;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Dispatches the queued messages (notifications first) and the due
    // timers. Returns the number of messages and timers handled.
    std::size_t processPending();
    // Runs until done() is true (checked after each round of dispatching),
    // quit() is called or the timeout passes; sleeps while there is nothing to
    // do. Returns done() at the end. A timeout of milliseconds::max() waits
    // without limit.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Makes a running runUntil return. Any thread.
    void quit();

    // Single-shot timer: fn runs on the loop's thread once delay has passed
    // (0 ms = at the next round). Returns an id for cancelTimer. Any thread.
    TimerId postDelayed(std::chrono::milliseconds delay, std::function<void()> fn);
    void cancelTimer(TimerId id);

  protected:
    void wakeUp() override;

  private:
    struct Timer {
        TimerId id;
        Clock::time_point due;
        std::function<void()> fn;
    };
    std::size_t runDueTimers();
    bool readyLocked(Clock::time_point now) const;

    std::mutex mutex_;  // timers, flags
    std::condition_variable wake_;
    std::vector<Timer> timers_;
    std::vector<TimerId> cancelledNow_;  // cancelled during the current round
    TimerId nextTimer_ = 1;
    bool signalled_ = false;
    bool quit_ = false;
};

}  // namespace vkt
