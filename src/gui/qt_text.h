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

}  // namespace vkt::gui
