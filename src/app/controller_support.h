// Small helpers shared by the source files of MainController.
#pragma once

#include <exception>
#include <string>

#include <fmt/printf.h>

#include "app/strings.h"
#include "link/radio_info.h"

namespace vkt::controller {

// The range the controller's progress bar and its commands count in.
inline constexpr int kProgressRange = 100;

// A printf-style text from the string table; a translation whose format does
// not fit the arguments is shown as it is rather than crashing.
template <typename... Args>
std::string formatString(int id, const Args&... args) {
    std::string format = loadString(id);
    try {
        return fmt::sprintf(format, args...);
    } catch (const std::exception&) {
        return format;
    }
}

// The radio's model number as text, the key of its model in the package.
inline std::string modelKey(const RadioInfo& radio) {
    std::string key;
    modelNumberText(radio.modelRecord, key);
    return key;
}

}  // namespace vkt::controller
