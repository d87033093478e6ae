// The three radio pictures of the main window, drawn in code on the key
// colour RGB(239, 239, 239), and their preparation for display: every pixel
// of the key colour becomes the button-face colour.
#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QSize>

class QPainter;

namespace vkt::gui {

inline constexpr QRgb kPictureKeyColour = 0xFFEFEFEF;  // RGB(239, 239, 239)

// The picture chosen by a model's `image`: 1 and 2 pick their own picture,
// any other value the third.
enum class RadioPicture { Compact = 1, Keypad = 2, Standard = 3 };
RadioPicture pictureForImage(int image);

QImage drawRadioPicture(RadioPicture picture);
// The same picture painted on any device (the application icon is made from
// it), on a transparent background, in a radioPictureSize() frame at the
// painter's origin.
void paintRadioPicture(QPainter& painter, RadioPicture picture);
QSize radioPictureSize();
// A copy of source with the key colour replaced by `face`.
QImage replaceKeyColour(const QImage& source, const QColor& face);

}  // namespace vkt::gui
