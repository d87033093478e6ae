// Makes the application icon from the radio picture the main window draws:
// a light rounded tile with the standard radio on it, as a scalable SVG and
// as PNG files of the sizes asked for, in the icon theme's folder layout.
//   vkt-make-icons OUTDIR NAME SIZE...
// writes OUTDIR/scalable/apps/NAME.svg and OUTDIR/<size>x<size>/apps/NAME.png.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QSvgGenerator>
#include <iostream>
#include <string>

#include "gui/radio_pictures.h"

namespace {

constexpr int kCanvas = 256;  // the drawing's own units

void paintIcon(QPainter& p, int size) {
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(static_cast<qreal>(size) / kCanvas, static_cast<qreal>(size) / kCanvas);
    QLinearGradient tile(0, 0, 0, kCanvas);
    tile.setColorAt(0, QColor(234, 240, 246));
    tile.setColorAt(1, QColor(190, 204, 218));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(12, 12, kCanvas - 24, kCanvas - 24), 40, 40);
    const QSize picture = vkt::gui::radioPictureSize();
    const qreal scale = 216.0 / picture.height();
    p.translate((kCanvas - picture.width() * scale) / 2, (kCanvas - picture.height() * scale) / 2);
    p.scale(scale, scale);
    vkt::gui::paintRadioPicture(p, vkt::gui::RadioPicture::Standard);
}

bool writeSvg(const QString& path) {
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(QSize(kCanvas, kCanvas));
    svg.setViewBox(QRect(0, 0, kCanvas, kCanvas));
    svg.setTitle(QStringLiteral("VKT Update Tool"));
    QPainter p;
    if (!p.begin(&svg))
        return false;
    paintIcon(p, kCanvas);
    return p.end();
}

bool writePng(const QString& path, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        paintIcon(p, size);
    }
    return image.save(path, "PNG");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: vkt-make-icons OUTDIR NAME SIZE...\n";
        return 2;
    }
    // Painting needs no display; the offscreen platform keeps it that way on
    // a build machine.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    const QString svgDir = out + QStringLiteral("/scalable/apps");
    bool ok = QDir().mkpath(svgDir) && writeSvg(svgDir + '/' + name + QStringLiteral(".svg"));
    for (int i = 3; ok && i < argc; ++i) {
        const int size = std::stoi(argv[i]);
        const QString dir = out + QStringLiteral("/%1x%1/apps").arg(size);
        ok = QDir().mkpath(dir) && writePng(dir + '/' + name + QStringLiteral(".png"), size);
    }
    if (!ok) {
        std::cerr << "vkt-make-icons: cannot write the icons to " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
