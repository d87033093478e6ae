#include "gui/task_dialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "gui/qt_message_queue.h"
#include "gui/qt_text.h"

namespace vkt::gui {

CTaskDialog::CTaskDialog(QtMessageQueue& queue, QWidget* parent)
    : QDialog(parent), queue_(queue), label_(new QLabel(loadQString(str::kPleaseWait), this)) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::FramelessWindowHint);
    setFrameStyle();
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 16, 24, 16);
    label_->setAlignment(Qt::AlignCenter);
    layout->addWidget(label_);
}

void CTaskDialog::setFrameStyle() {
    // A thin border drawn by the style in place of the window frame.
    setStyleSheet(QStringLiteral("vkt--gui--CTaskDialog { border: 1px solid palette(dark); }"));
    setAttribute(Qt::WA_StyledBackground);
}

void CTaskDialog::run(const std::function<bool()>& finished) {
    if (finished())
        return;
    const auto connection = connect(&queue_, &QtMessageQueue::dispatched, this, [this, &finished] {
        if (finished())
            done(1);
    });
    exec();
    disconnect(connection);
}

void CTaskDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void CTaskDialog::keyPressEvent(QKeyEvent* event) {
    event->ignore();  // neither Esc nor Enter ends the wait
}

void CTaskDialog::reject() {}

}  // namespace vkt::gui
