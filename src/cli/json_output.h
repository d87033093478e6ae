// The one JSON writer of the command line. Every `--json` output is one
// object that opens with the same envelope,
//   {"schema": 1, "command": "...", "ok": true|false, "result": "text",
//    "error": null | {"category": "NAME", "messages": [...], "hint": ...},
//    "tool_version": "1.3.0", ...}
// followed by the command's own fields, written through nlohmann-json with
// the keys in insertion order. docs/json.md describes the shape and
// docs/vkt-output.schema.json checks it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/front_end.h"

namespace vkt::cli {

using Json = nlohmann::ordered_json;

// Version of the envelope and of the fields documented with it.
inline constexpr int kJsonSchemaVersion = 1;

// The error object of the envelope.
struct JsonError {
    // A name: one of the error stack's categories ("FILE", "SBEP", "PROT",
    // "CPG", "FLASH", "INI", "FTF", "RESOURCE", "UPDATE", "OTHER") or one of
    // the command line's own ("USAGE", "CABLE", "LOCKED", "RADIO", "INPUT",
    // "LOGIN", "DECLINED", "UP_TO_DATE", "INTERRUPTED", "NOTHING_TO_RECOVER").
    std::string category;
    // The tool's messages, the main one first, each as it was shown.
    std::vector<std::string> messages;
    // What the user can do about it; empty when there is nothing to add.
    std::string hint;
};

// A fresh envelope for `command` ("info", "package check", ...): ok, an
// empty result, no error and the tool's version. The command's own fields go after it.
Json jsonEnvelope(const std::string& command);
// Marks the envelope as a success with `result`.
void setJsonSuccess(Json& envelope, const std::string& result);
// Marks the envelope as failed: ok false, `result`, the error object.
void setJsonFailure(Json& envelope, const std::string& result, const JsonError& error);

// The object on one line. Text that is not valid UTF-8 (radio data, file
// names) is written with U+FFFD in place of the broken bytes.
std::string jsonText(const Json& value);
// jsonText and a line end.
void printJson(std::ostream& out, const Json& value);

// A text that may be unknown: null when empty.
Json textOrNull(const std::string& text);
Json textOrNull(const std::optional<std::string>& text);
// "info", "warning" or "error" for a message-box style; null for none (0)
// and for a question.
Json severityOfStyle(MessageStyle style);
// Bytes as an array of numbers (raw radio data).
Json byteArray(const std::uint8_t* bytes, std::size_t count);

}  // namespace vkt::cli
