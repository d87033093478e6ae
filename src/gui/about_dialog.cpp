#include "gui/about_dialog.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "app/application.h"
#include "core/version.h"
#include "gui/qt_text.h"
#include "gui/radio_pictures.h"

namespace vkt::gui {

namespace {

// "%s" of a caption from the string table filled with `value`.
QString withValue(int id, const QString& value) {
    QString format = loadQString(id);
    const int at = format.indexOf(QLatin1String("%s"));
    if (at >= 0)
        format.replace(at, 2, value);
    return format;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    const QString product = toQString(Application::composeTitle());
    setWindowTitle(withValue(str::kAboutCaption, product));
    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap::fromImage(replaceKeyColour(drawRadioPicture(RadioPicture::Standard),
                                                        palette().color(QPalette::Window)))
                        .scaledToHeight(64, Qt::SmoothTransformation));
    header->addWidget(icon, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    title_ = new QLabel(product, this);
    version_ =
        new QLabel(withValue(str::kVersionLine, QString::fromStdString(releaseName())), this);
    notice1_ = new QLabel(loadQString(str::kLegal1), this);
    notice2_ = new QLabel(loadQString(str::kLegal2), this);
    notice2_->setWordWrap(true);
    for (QLabel* label : {title_, version_, notice1_, notice2_})
        texts->addWidget(label);
    header->addLayout(texts, 1);
    layout->addLayout(header);
    notice3_ = new QPlainTextEdit(loadQString(str::kLegal3), this);
    notice3_->setReadOnly(true);
    notice3_->setMinimumSize(380, 90);
    layout->addWidget(notice3_);
    ok_ = new QPushButton(loadQString(str::kOk), this);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok_, 0, Qt::AlignRight);
}

QImage CSplashScreen::drawSplash(const QString& title) {
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
               withValue(str::kVersionLine, QString::fromStdString(releaseName())));
    return image;
}

CSplashScreen::CSplashScreen(int displayMs, QWidget* parent)
    : QDialog(parent),
      image_(drawSplash(toQString(Application::composeTitle()))),
      displayMs_(displayMs) {
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint);
    setFixedSize(image_.size());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void CSplashScreen::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!timerStarted_) {
        timerStarted_ = true;
        QTimer::singleShot(displayMs_, this, [this] { done(1); });
    }
}

void CSplashScreen::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(QPoint(0, 0), image_);
}

void CSplashScreen::closeEvent(QCloseEvent* event) {
    event->ignore();
}

}  // namespace vkt::gui
