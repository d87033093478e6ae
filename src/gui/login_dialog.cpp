#include "gui/login_dialog.h"

#include <algorithm>

#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "gui/qt_text.h"

namespace vkt::gui {

namespace {
constexpr int kMargin = 12;
constexpr int kEntryWidth = 220;
constexpr int kHintGap = 8;  // between the entry's bottom and the hint line
}  // namespace

LoginDialog::LoginDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(loadQString(str::kLogin));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    entry_ = new QLineEdit(this);
    entry_->setEchoMode(QLineEdit::Password);
    entry_->setMaxLength(kMaxLength);
    entry_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(kMaxLength)), entry_));
    const int entryHeight = entry_->sizeHint().height();
    entry_->setGeometry(kMargin, kMargin, kEntryWidth, entryHeight);

    login_ = new QPushButton(loadQString(str::kLogin), this);
    login_->setDefault(true);
    const QSize button = login_->sizeHint();
    login_->setGeometry(kMargin * 2 + kEntryWidth, kMargin, button.width(), entryHeight);

    // The hint line is wide enough for the longer of its two texts.
    const QFontMetrics metrics(font());
    const int hintWidth = std::max(metrics.horizontalAdvance(loadQString(str::kPasswordHint)),
                                   metrics.horizontalAdvance(loadQString(str::kWrongPassword)));
    const int width = std::max(kMargin * 3 + kEntryWidth + button.width(), kMargin * 2 + hintWidth);
    const int height = kMargin + entryHeight + kHintGap + metrics.height() + kMargin;
    setFixedSize(width, height);

    connect(login_, &QPushButton::clicked, this, &QDialog::accept);
    connect(entry_, &QLineEdit::textChanged, this, [this] {
        wrongPassword_ = false;
        update();
    });
}

void LoginDialog::setWrongPassword(bool wrong) {
    wrongPassword_ = wrong;
    update();
}

void LoginDialog::setPassword(const QString& text) {
    const bool wrong = wrongPassword_;
    entry_->setText(text);
    wrongPassword_ = wrong;  // putting the previous entry back is no edit
    entry_->selectAll();
}

QString LoginDialog::password() const {
    return entry_->text();
}

QString LoginDialog::hintText() const {
    return loadQString(wrongPassword_ ? str::kWrongPassword : str::kPasswordHint);
}

QColor LoginDialog::hintColor() const {
    return wrongPassword_ ? QColor(255, 0, 0) : palette().color(QPalette::WindowText);
}

void LoginDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    entry_->selectAll();
    entry_->setFocus();
}

void LoginDialog::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(hintColor());
    painter.setBackgroundMode(Qt::TransparentMode);
    const QRect below = entry_->geometry();
    const QFontMetrics metrics(font());
    painter.drawText(below.left(), below.bottom() + 1 + kHintGap + metrics.ascent(), hintText());
}

}  // namespace vkt::gui
