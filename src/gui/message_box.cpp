#include "gui/message_box.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "app/front_end.h"
#include "gui/qt_text.h"

namespace vkt::gui {

namespace {

MessageBox::Script& script() {
    static MessageBox::Script s;
    return s;
}

constexpr int kGap = 10;
constexpr int kTextFlags = Qt::TextWordWrap | Qt::TextExpandTabs;

// The icon the style's icon bits ask for (none when they ask for none).
QIcon styleIcon(MessageStyle messageStyle, const QStyle* s) {
    const int style = static_cast<int>(messageStyle);
    if ((style & 0x30) == 0x30)
        return s->standardIcon(QStyle::SP_MessageBoxWarning);
    if (style & 0x10)
        return s->standardIcon(QStyle::SP_MessageBoxCritical);
    if (style & 0x40)
        return s->standardIcon(QStyle::SP_MessageBoxInformation);
    if (style & 0x20)
        return s->standardIcon(QStyle::SP_MessageBoxQuestion);
    return {};
}

}  // namespace

void MessageBox::setScript(Script s) {
    script() = std::move(s);
}

MessageBox::MessageBox(const QString& text, MessageStyle messageStyle, const QString& caption,
                       QWidget* parent)
    : QDialog(parent), text_(text), style_(messageStyle) {
    text_.remove(QLatin1Char('\r'));
    setWindowTitle(caption);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont f = font();
    f.setPointSize(10);
    setFont(f);
    icon_ = styleIcon(style_, style());
    iconSize_ = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);

    const int bits = static_cast<int>(style_);
    const bool yesNo = isYesNoStyle(style_);
    firstId_ = yesNo ? ButtonId::Yes : ButtonId::Ok;
    secondId_ = yesNo ? ButtonId::No : ButtonId::Cancel;
    secondShown_ = (bits & 1) != 0 || (bits & 4) != 0;
    first_ = new QPushButton(loadQString(yesNo ? str::kYes : str::kOk), this);
    second_ = new QPushButton(loadQString(yesNo ? str::kNo : str::kCancel), this);
    second_->setVisible(secondShown_);
    first_->setDefault(true);
    first_->setAutoDefault(true);
    second_->setAutoDefault(true);
    connect(first_, &QPushButton::clicked, this, [this] { press(firstId_); });
    connect(second_, &QPushButton::clicked, this, [this] { press(secondId_); });
    layOut();
    first_->setFocus();
}

void MessageBox::layOut() {
    const bool hasIcon = !icon_.isNull();
    const int iconWidth = hasIcon ? iconSize_ : 0;
    const int iconHeight = hasIcon ? iconSize_ : 0;
    const QFontMetrics fm(font());
    const QRect measured =
        fm.boundingRect(QRect(0, 0, kTextWidth, 100000), kTextFlags | Qt::AlignLeft, text_);
    singleLine_ = !text_.isEmpty() && !text_.contains(QLatin1Char('\n')) &&
                  measured.height() <= fm.lineSpacing() + 1;
    const int textHeight = std::max(measured.height(), iconHeight);
    int width = kTextWidth;

    const QSize button = first_->sizeHint().expandedTo(second_->sizeHint()).expandedTo({88, 26});
    const int buttonsWidth = secondShown_ ? 2 * button.width() + kGap : button.width();
    width = std::max(width, buttonsWidth);
    textRect_ = QRect(kMargin + iconWidth + kGap, kMargin, width, textHeight);

    const int clientWidth = textRect_.right() + 1 + kMargin;
    const int clientHeight = kMargin + textHeight + kMargin + kBandHeight;
    setFixedSize(clientWidth, clientHeight);

    const int bandTop = clientHeight - kBandHeight;
    const int y = bandTop + (kBandHeight - button.height()) / 2;
    const int buttonSet = static_cast<int>(style_) & 0x0F;
    if (buttonSet == 0) {
        first_->setGeometry(clientWidth - kMargin - button.width(), y, button.width(),
                            button.height());
    } else {
        const int secondX = clientWidth - kMargin - button.width();
        second_->setGeometry(secondX, y, button.width(), button.height());
        first_->setGeometry(secondX - kGap - button.width(), y, button.width(), button.height());
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void MessageBox::press(ButtonId id) {
    done(static_cast<int>(id));
}

ButtonId MessageBox::run() {
    if (script()) {
        show();
        QApplication::processEvents();
        const ButtonId answer = script()(*this);
        done(static_cast<int>(answer));
        hide();
        return answer;
    }
    return static_cast<ButtonId>(exec());
}

void MessageBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    p.fillRect(QRect(0, height() - kBandHeight, width(), kBandHeight), bandColour());
    if (!icon_.isNull())
        icon_.paint(&p, QRect(kMargin, kMargin, iconSize_, iconSize_));
    p.setPen(palette().color(QPalette::Text));
    if (singleLine_)
        p.drawText(textRect_, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextExpandTabs, text_);
    else
        p.drawText(textRect_, Qt::AlignLeft | Qt::AlignTop | kTextFlags, text_);
}

void MessageBox::keyPressEvent(QKeyEvent* event) {
    // Enter and Space press the focused button; Esc is handled by reject().
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        press(focused == second_ && secondShown_ ? secondId_ : firstId_);
        return;
    }
    QDialog::keyPressEvent(event);
}

void MessageBox::reject() {
    // Esc or the close button: OK for a lone OK button, otherwise the second
    // button (Cancel, or No to a question), so that backing out of a box
    // never agrees to anything.
    press(secondShown_ ? secondId_ : firstId_);
}

}  // namespace vkt::gui
