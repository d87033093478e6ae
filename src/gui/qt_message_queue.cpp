#include "gui/qt_message_queue.h"

#include <QMetaObject>

namespace vkt::gui {

QtMessageQueue::QtMessageQueue(QObject* parent) : QObject(parent) {
    previous_ = MessageQueue::current();
    MessageQueue::setCurrent(this);
}

QtMessageQueue::~QtMessageQueue() {
    // The windows go before the queue; a queued dispatch() still in Qt's
    // queue is dropped with this object.
    destroyWindowsOf(this);
    if (MessageQueue::current() == this)
        MessageQueue::setCurrent(previous_);
}

void QtMessageQueue::wakeUp() {
    // Called from any thread with the window registry locked: only post.
    if (!scheduled_.exchange(true))
        QMetaObject::invokeMethod(this, &QtMessageQueue::dispatch, Qt::QueuedConnection);
}

void QtMessageQueue::dispatch() {
    // Cleared first: messages queued by the handlers schedule the next round.
    scheduled_.store(false);
    dispatchPending();
    if (hasPending())
        wakeUp();
    emit dispatched();
}

}  // namespace vkt::gui
