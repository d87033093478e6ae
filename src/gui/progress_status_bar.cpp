#include "gui/progress_status_bar.h"

#include <QImage>
#include <QPainter>
#include <QStyleOption>

#include "gui/qt_text.h"

namespace vkt::gui {

namespace {

// The background of every progress pane of the process: white until the
// status bar's own colour is known.
QColor& rememberedColour() {
    static QColor colour(255, 255, 255);
    return colour;
}

constexpr int kPaneMargin = 4;

}  // namespace

ProgressStatusBar::ProgressStatusBar(QWidget* parent)
    : QWidget(parent),
      cableText_(loadQString(str::kCableDisconnected)),
      helpText_(loadQString(str::kHelpHint)) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize ProgressStatusBar::sizeHint() const {
    // Wide enough that the first two panes (30 % of the width each) show the
    // help line and either cable text whole; longer hints are cut short.
    int widest = 0;
    for (const QString& text : {loadQString(str::kHelpHint), loadQString(str::kCableConnected),
                                loadQString(str::kCableDisconnected)})
        widest = std::max(widest, fontMetrics().horizontalAdvance(text));
    const int paneWidth = widest + 4 * kPaneMargin;
    return {(paneWidth * 100 + 29) / 30, fontMetrics().height() + 8};
}

QSize ProgressStatusBar::minimumSizeHint() const {
    return sizeHint();
}

QRect ProgressStatusBar::paneRect(int pane) const {
    const int w = width();
    const int edges[] = {0, w * 30 / 100, w * 60 / 100, w};
    if (pane < 0 || pane > 2)
        return {};
    return QRect(edges[pane], 0, edges[pane + 1] - edges[pane], height());
}

void ProgressStatusBar::setCableState(bool missing) {
    if (missing == cableMissing_)
        return;
    cableMissing_ = missing;
    cableText_ = loadQString(missing ? str::kCableDisconnected : str::kCableConnected);
    ++cableTextChanges_;
    update(paneRect(1));
}

void ProgressStatusBar::setHelpText(const QString& text) {
    if (text == helpText_)
        return;
    helpText_ = text;
    update(paneRect(0));
}

void ProgressStatusBar::setPercent(int percent) {
    percent_ = std::clamp(percent, 0, range_);
    update(progressRect());
    emit percentChanged(percent_);
}

void ProgressStatusBar::setPhaseText(const QString& text) {
    if (text == phaseText_)
        return;
    phaseText_ = text;
    update(progressRect());
}

void ProgressStatusBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Window));
    p.setPen(palette().color(QPalette::Mid));
    for (int pane = 0; pane < 2; ++pane) {
        const QRect r = paneRect(pane);
        p.drawLine(r.right(), r.top() + 2, r.right(), r.bottom() - 2);
    }
    p.setPen(palette().color(QPalette::WindowText));
    const QRect help = paneRect(0).adjusted(kPaneMargin, 0, -kPaneMargin, 0);
    p.drawText(help, Qt::AlignLeft | Qt::AlignVCenter,
               fontMetrics().elidedText(helpText_, Qt::ElideRight, help.width()));
    const QRect cable = paneRect(1).adjusted(kPaneMargin, 0, -kPaneMargin, 0);
    p.drawText(cable, Qt::AlignLeft | Qt::AlignVCenter,
               fontMetrics().elidedText(cableText_, Qt::ElideRight, cable.width()));
    paintProgress(p, progressRect());
}

void ProgressStatusBar::paintProgress(QPainter& painter, const QRect& pane) {
    if (pane.isEmpty())
        return;
    // Drawn off screen, then copied in one piece.
    QImage image(pane.size(), QImage::Format_ARGB32_Premultiplied);
    const QColor own = palette().color(QPalette::Window);
    if (own.isValid() && own != QColor(Qt::black) && own != rememberedColour())
        rememberedColour() = own;
    image.fill(rememberedColour());
    {
        QPainter p(&image);
        p.setFont(font());
        const QRect whole(QPoint(0, 0), pane.size());
        QString text;
        if (percent_ != 0) {
            text = QString::asprintf("%d%%", percent_);
            if (!phaseText_.isEmpty())
                text = phaseText_ + QStringLiteral("  ") + text;
            text = fontMetrics().elidedText(text, Qt::ElideLeft, whole.width());
        }
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(whole, Qt::AlignCenter, text);
        const int filled = static_cast<int>(static_cast<double>(percent_) / range_ * pane.width());
        if (filled > 0) {
            const QRect bar(0, 0, filled, pane.height());
            p.fillRect(bar, palette().color(QPalette::Highlight));
            p.setClipRect(bar);
            p.setPen(palette().color(QPalette::HighlightedText));
            p.drawText(whole, Qt::AlignCenter, text);
        }
    }
    painter.drawImage(pane.topLeft(), image);
}

}  // namespace vkt::gui
