#include "gui/radio_pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace vkt::gui {

namespace {

constexpr int kWidth = 120;
constexpr int kHeight = 200;

const QColor kBody(44, 48, 54);
const QColor kBodyEdge(20, 22, 26);
const QColor kTrim(86, 92, 102);
const QColor kScreen(150, 196, 170);
const QColor kAccent(214, 64, 52);
const QColor kKey(120, 126, 136);

void drawAntenna(QPainter& p, int x, int top, int height, int width) {
    p.setPen(Qt::NoPen);
    p.setBrush(kBodyEdge);
    p.drawRoundedRect(QRectF(x, top, width, height), width / 2.0, width / 2.0);
}

void drawKnob(QPainter& p, int x, int top, int width, int height, const QColor& colour) {
    p.setPen(QPen(kBodyEdge, 1));
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(x, top, width, height), 2, 2);
    p.setPen(QPen(kBodyEdge.lighter(150), 1));
    for (int y = top + 3; y < top + height - 2; y += 3)
        p.drawLine(x + 1, y, x + width - 1, y);
}

void drawBody(QPainter& p, const QRectF& body) {
    p.setPen(QPen(kBodyEdge, 2));
    p.setBrush(kBody);
    p.drawRoundedRect(body, 12, 12);
    // A side trim strip gives the body some depth.
    p.setPen(Qt::NoPen);
    p.setBrush(kTrim);
    p.drawRoundedRect(QRectF(body.left() + 4, body.top() + 10, 5, body.height() - 20), 2, 2);
}

void drawGrille(QPainter& p, const QRectF& area) {
    p.setPen(QPen(kBodyEdge, 3, Qt::SolidLine, Qt::RoundCap));
    for (qreal y = area.top(); y <= area.bottom(); y += 7)
        p.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
}

void drawScreen(QPainter& p, const QRectF& area) {
    p.setPen(QPen(kBodyEdge, 2));
    p.setBrush(kScreen);
    p.drawRoundedRect(area, 3, 3);
    p.setPen(QPen(kScreen.darker(160), 1));
    p.drawLine(QPointF(area.left() + 5, area.center().y()),
               QPointF(area.right() - 12, area.center().y()));
}

void drawKeypad(QPainter& p, const QRectF& area) {
    const qreal keyW = (area.width() - 2 * 5) / 3;
    const qreal keyH = (area.height() - 3 * 4) / 4;
    p.setPen(QPen(kBodyEdge, 1));
    p.setBrush(kKey);
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawRoundedRect(
                QRectF(area.left() + col * (keyW + 5), area.top() + row * (keyH + 4), keyW, keyH),
                3, 3);
}

}  // namespace

RadioPicture pictureForImage(int image) {
    if (image == 1)
        return RadioPicture::Compact;
    if (image == 2)
        return RadioPicture::Keypad;
    return RadioPicture::Standard;
}

QImage drawRadioPicture(RadioPicture picture) {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(kPictureKeyColour);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    paintRadioPicture(p, picture);
    return image;
}

QSize radioPictureSize() {
    return {kWidth, kHeight};
}

void paintRadioPicture(QPainter& p, RadioPicture picture) {
    switch (picture) {
        case RadioPicture::Compact: {
            // A small radio with a stubby antenna and a large grille.
            drawAntenna(p, 30, 40, 34, 12);
            drawKnob(p, 66, 56, 16, 14, kAccent);
            const QRectF body(24, 68, 72, 118);
            drawBody(p, body);
            drawGrille(p, QRectF(40, 90, 44, 60));
            p.setBrush(kAccent);
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(60, 168), 5, 5);
            break;
        }
        case RadioPicture::Keypad: {
            // A tall radio with a display and a full keypad.
            drawAntenna(p, 28, 6, 60, 10);
            drawKnob(p, 62, 34, 18, 16, kAccent);
            drawKnob(p, 84, 38, 12, 12, kTrim);
            const QRectF body(20, 48, 80, 146);
            drawBody(p, body);
            drawGrille(p, QRectF(36, 60, 52, 22));
            drawScreen(p, QRectF(34, 92, 56, 22));
            drawKeypad(p, QRectF(34, 122, 56, 62));
            break;
        }
        case RadioPicture::Standard: {
            // The usual radio: long antenna, two knobs, grille and a display.
            drawAntenna(p, 28, 10, 56, 10);
            drawKnob(p, 62, 44, 18, 14, kAccent);
            drawKnob(p, 84, 46, 12, 12, kTrim);
            const QRectF body(22, 56, 76, 136);
            drawBody(p, body);
            drawScreen(p, QRectF(36, 70, 48, 20));
            drawGrille(p, QRectF(38, 102, 44, 70));
            break;
        }
    }
}

QImage replaceKeyColour(const QImage& source, const QColor& face) {
    QImage copy = source.convertToFormat(QImage::Format_RGB32);
    const QRgb replacement = face.rgb();
    for (int y = 0; y < copy.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(copy.scanLine(y));
        for (int x = 0; x < copy.width(); ++x)
            if ((line[x] | 0xFF000000u) == kPictureKeyColour)
                line[x] = replacement;
    }
    return copy;
}

}  // namespace vkt::gui
