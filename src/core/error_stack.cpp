#include "core/error_stack.h"

#include <algorithm>
#include <mutex>

namespace vkt {
namespace {

std::mutex& stackMutex() {
    static std::mutex m;
    return m;
}

std::vector<ErrorEntry>& stack() {
    static std::vector<ErrorEntry> s;
    return s;
}

// Length of the UTF-8 sequence that starts with byte b, or 1 for a byte that
// cannot start one (it then counts as one character of its own).
std::size_t sequenceLength(unsigned char b) {
    if (b < 0x80)
        return 1;
    if ((b & 0xE0) == 0xC0)
        return 2;
    if ((b & 0xF0) == 0xE0)
        return 3;
    if ((b & 0xF8) == 0xF0)
        return 4;
    return 1;
}

}  // namespace

const char* errorCategoryText(std::int32_t code) {
    static const char* const texts[] = {
        "OK",           "Error:FILE.", "Error:SBEP.", "Error:PROT.",     "Error:CPG.",
        "Error:FLASH.", "Error:INI.",  "Error:FTF.",  "Error:RESOURCE.", "Error:UPDATE",
        "Error:OTHER",
    };
    if (code < 0 || code >= static_cast<std::int32_t>(std::size(texts)))
        return "";
    return texts[code];
}

const char* errorCategoryName(std::int32_t code) {
    static const char* const names[] = {
        "OK", "FILE", "SBEP", "PROT", "CPG", "FLASH", "INI", "FTF", "RESOURCE", "UPDATE", "OTHER",
    };
    if (code < 0 || code >= static_cast<std::int32_t>(std::size(names)))
        return "";
    return names[code];
}

std::string truncateUtf8(std::string_view text, std::size_t maxChars) {
    std::size_t pos = 0;
    std::size_t chars = 0;
    while (pos < text.size() && chars < maxChars) {
        std::size_t len = sequenceLength(static_cast<unsigned char>(text[pos]));
        if (pos + len > text.size())
            len = 1;
        // A broken sequence (continuation bytes missing) counts byte by byte.
        for (std::size_t i = 1; i < len; ++i) {
            if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80) {
                len = 1;
                break;
            }
        }
        pos += len;
        ++chars;
    }
    return std::string(text.substr(0, pos));
}

bool raiseErrorText(ErrorCategory category, std::string_view text) {
    ErrorEntry entry{static_cast<std::int32_t>(category), truncateUtf8(text, kMaxErrorChars)};
    std::lock_guard<std::mutex> lock(stackMutex());
    stack().push_back(std::move(entry));
    return true;
}

std::string firstErrorText() {
    std::lock_guard<std::mutex> lock(stackMutex());
    if (stack().empty())
        return "OK";
    return stack().front().message;
}

std::int32_t firstErrorCode() {
    std::lock_guard<std::mutex> lock(stackMutex());
    if (stack().empty())
        return 0;
    return stack().front().category;
}

void removeErrors(std::int32_t category) {
    std::lock_guard<std::mutex> lock(stackMutex());
    auto& s = stack();
    if (category == 0) {
        s.clear();
        return;
    }
    s.erase(std::remove_if(s.begin(), s.end(),
                           [category](const ErrorEntry& e) { return e.category == category; }),
            s.end());
}

std::string allErrorTexts() {
    std::lock_guard<std::mutex> lock(stackMutex());
    const auto& s = stack();
    if (s.empty())
        return "OK";
    std::string all;
    for (auto it = s.rbegin(); it != s.rend(); ++it) {
        all += it->message;
        all += '\n';
    }
    return all;
}

std::vector<ErrorEntry> errorEntries() {
    std::lock_guard<std::mutex> lock(stackMutex());
    return stack();
}

std::size_t errorCount() {
    std::lock_guard<std::mutex> lock(stackMutex());
    return stack().size();
}

}  // namespace vkt
