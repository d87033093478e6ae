// Process-wide stack of errors. Every layer reports a failure by pushing one
// formatted line with a category and returning its own failure value; the
// layer that gives up reads, logs, shows and clears the stack.
//
// The texts pushed here ("Error:failed to set baud rade [%d].", ...) are kept
// byte for byte, misspellings included: they end up in err.log, and the
// people and scripts that read those logs search for them exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/printf.h>

namespace vkt {

enum class ErrorCategory : std::int32_t {
    Ok = 0,        // never raised; "all categories" for removeErrors
    File = 1,      // a package file cannot be opened/found, or is not well formed
    Sbep = 2,      // a radio request failed after all its trials
    Prot = 3,      // a cable/port operation failed
    Cpg = 4,       // the address-map stream cannot be parsed
    Flash = 5,     // a flash image is bad
    Ini = 6,       // configuration or setup file invalid or incomplete
    Ftf = 7,       // an FTF file's header cannot be read
    Resource = 8,  // a system component cannot be created
    Update = 9,    // a step of the radio update failed
    Other = 10,    // reserved
};

struct ErrorEntry {
    std::int32_t category = 0;
    std::string message;  // UTF-8, at most kMaxErrorChars characters
};

// Longest message kept, in Unicode characters.
inline constexpr std::size_t kMaxErrorChars = 255;

// Text of a category code ("OK", "Error:FILE.", ...); "" for an unknown code.
const char* errorCategoryText(std::int32_t code);
// Name of a category code as outputs show it ("OK", "FILE", "SBEP", ...);
// "" for an unknown code.
const char* errorCategoryName(std::int32_t code);

// Appends a ready-made text (never interpreted as a format), cut to
// kMaxErrorChars characters. Always returns true.
bool raiseErrorText(ErrorCategory category, std::string_view text);

// printf-style, type-safe formatting. A format that does not fit its
// arguments does not crash: the format text itself is stored instead.
// Texts that come from elsewhere must be passed as the argument of "%s".
template <typename... Args>
bool raiseError(ErrorCategory category, const char* format, const Args&... args) {
    std::string text;
    try {
        text = fmt::sprintf(format, args...);
    } catch (const std::exception&) {
        text = format;
    }
    return raiseErrorText(category, text);
}

// Message of the oldest entry, or "OK" when the stack is empty.
std::string firstErrorText();
// Category of the oldest entry, or 0 when the stack is empty.
std::int32_t firstErrorCode();
// Category 0 removes everything; otherwise every entry of that category.
void removeErrors(std::int32_t category);
inline void removeErrors(ErrorCategory category) {
    removeErrors(static_cast<std::int32_t>(category));
}
// Every message from the newest to the oldest, each followed by "\n"; "OK" when empty.
std::string allErrorTexts();

// Copy of the stack, oldest first (for tests, diagnostics and JSON output).
std::vector<ErrorEntry> errorEntries();
std::size_t errorCount();

// Cuts a UTF-8 text to at most maxChars Unicode characters without splitting
// a character. Invalid bytes count as one character each.
std::string truncateUtf8(std::string_view text, std::size_t maxChars);

}  // namespace vkt
