#include "gui/wait_dialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "gui/qt_message_queue.h"
#include "gui/qt_text.h"

namespace vkt::gui {

WaitDialog::WaitDialog(QtMessageQueue& queue, QWidget* parent)
    : QDialog(parent), queue_(queue), label_(new QLabel(loadQString(str::kPleaseWait), this)) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::FramelessWindowHint);
    setFrameStyle();
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 16, 24, 16);
    label_->setAlignment(Qt::AlignCenter);
    layout->addWidget(label_);
}

void WaitDialog::setFrameStyle() {
    // A thin border drawn by the style in place of the window frame.
    setStyleSheet(QStringLiteral("vkt--gui--WaitDialog { border: 1px solid palette(dark); }"));
    setAttribute(Qt::WA_StyledBackground);
}

void WaitDialog::run(const std::function<bool()>& finished) {
    if (finished())
        return;
    const auto connection = connect(&queue_, &QtMessageQueue::dispatched, this, [this, &finished] {
        if (finished())
            done(1);
    });
    exec();
    disconnect(connection);
}

void WaitDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void WaitDialog::keyPressEvent(QKeyEvent* event) {
    event->ignore();  // neither Esc nor Enter ends the wait
}

void WaitDialog::reject() {}

}  // namespace vkt::gui
