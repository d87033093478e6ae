// Texts of the string table as Qt strings.
#pragma once

#include <QString>
#include <string>

#include "app/strings.h"

namespace vkt::gui {

inline QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

inline QString loadQString(int id) {
    return QString::fromStdString(loadString(id));
}

// The string table's text `id` with its first "%s" filled with `value`.
inline QString loadQStringWith(int id, const QString& value) {
    QString format = loadQString(id);
    const int at = format.indexOf(QLatin1String("%s"));
    if (at >= 0)
        format.replace(at, 2, value);
    return format;
}

}  // namespace vkt::gui
