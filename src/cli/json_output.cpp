#include "cli/json_output.h"

#include <ostream>

#include "app/front_end.h"
#include "core/version.h"

namespace vkt::cli {

Json jsonEnvelope(const std::string& command) {
    Json envelope;
    envelope["schema"] = kJsonSchemaVersion;
    envelope["command"] = command;
    envelope["ok"] = true;
    envelope["result"] = "";
    envelope["error"] = nullptr;
    envelope["tool_version"] = toolVersion();
    return envelope;
}

void setJsonSuccess(Json& envelope, const std::string& result) {
    envelope["ok"] = true;
    envelope["result"] = result;
    envelope["error"] = nullptr;
}

void setJsonFailure(Json& envelope, const std::string& result, const JsonError& error) {
    envelope["ok"] = false;
    envelope["result"] = result;
    Json object;
    object["category"] = error.category;
    object["messages"] = error.messages;
    object["hint"] = textOrNull(error.hint);
    envelope["error"] = std::move(object);
}

std::string jsonText(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void printJson(std::ostream& out, const Json& value) {
    out << jsonText(value) << "\n" << std::flush;
}

Json textOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

Json textOrNull(const std::optional<std::string>& text) {
    return text ? textOrNull(*text) : Json(nullptr);
}

Json severityOfStyle(MessageStyle style) {
    switch (style) {
        case MessageStyle::Error:
            return "error";
        case MessageStyle::Warning:
            return "warning";
        case MessageStyle::Info:
            return "info";
        case MessageStyle::None:
        case MessageStyle::OkCancel:
        case MessageStyle::YesNo:
        case MessageStyle::Question:
            break;
    }
    return nullptr;
}

Json byteArray(const std::uint8_t* bytes, std::size_t count) {
    Json array = Json::array();
    for (std::size_t i = 0; i < count; ++i)
        array.push_back(bytes[i]);
    return array;
}

}  // namespace vkt::cli
