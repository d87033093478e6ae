// The user-interface thread's MessageQueue on the Qt event loop: messages
// posted to the windows of this queue from any thread are handed out by the
// Qt event loop (and every nested modal loop), so the Task, the cable monitor
// and the commands reach Qt-side targets on the user-interface thread.
#pragma once

#include <QObject>
#include <atomic>

#include "core/messaging.h"

namespace vkt::gui {

class QtMessageQueue : public QObject, public BufferedMessageQueue {
    Q_OBJECT
  public:
    // Construct on the thread that runs the Qt event loop; it becomes that
    // thread's current queue (the previous one is restored on destruction).
    explicit QtMessageQueue(QObject* parent = nullptr);
    ~QtMessageQueue() override;
    QtMessageQueue(const QtMessageQueue&) = delete;
    QtMessageQueue& operator=(const QtMessageQueue&) = delete;

  signals:
    // Emitted after each round of dispatched messages (wait indicators check
    // their end condition on it).
    void dispatched();

  protected:
    // Schedules one queued call of dispatch() unless one is pending already.
    void wakeUp() override;

  private:
    void dispatch();

    std::atomic<bool> scheduled_{false};
    MessageQueue* previous_ = nullptr;
};

}  // namespace vkt::gui
