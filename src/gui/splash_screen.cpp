#include "gui/splash_screen.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include "app/application.h"
#include "core/version.h"
#include "gui/qt_text.h"
#include "gui/radio_pictures.h"

namespace vkt::gui {

QImage SplashScreen::drawSplash(const QString& title) {
    QImage image(420, 240, QImage::Format_RGB32);
    image.fill(QColor(32, 38, 48));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QImage radio =
        replaceKeyColour(drawRadioPicture(RadioPicture::Keypad), QColor(32, 38, 48));
    p.drawImage(QPoint(24, 20), radio);
    p.setPen(QColor(240, 240, 240));
    QFont f = p.font();
    f.setPointSize(18);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(160, 60, 240, 80), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, title);
    f.setPointSize(10);
    f.setBold(false);
    p.setFont(f);
    p.setPen(QColor(214, 64, 52));
    p.drawText(QRect(160, 150, 240, 24), Qt::AlignLeft | Qt::AlignVCenter,
               loadQStringWith(str::kVersionLine, QString::fromStdString(releaseName())));
    return image;
}

SplashScreen::SplashScreen(int displayMs, QWidget* parent)
    : QDialog(parent),
      image_(drawSplash(toQString(Application::composeTitle()))),
      displayMs_(displayMs) {
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint);
    setFixedSize(image_.size());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void SplashScreen::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!timerStarted_) {
        timerStarted_ = true;
        QTimer::singleShot(displayMs_, this, [this] { done(1); });
    }
}

void SplashScreen::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(QPoint(0, 0), image_);
}

void SplashScreen::closeEvent(QCloseEvent* event) {
    event->ignore();
}

}  // namespace vkt::gui
