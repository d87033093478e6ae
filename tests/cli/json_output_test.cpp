// The command line's JSON writer and its error lines.
#include <gtest/gtest.h>

#include "cli/command_report.h"
#include "cli/json_output.h"

namespace vkt::cli {
namespace {

TEST(JsonOutput, TextThatIsNotUtf8StillGivesOneValidObject) {
    Json envelope = jsonEnvelope("identity");
    // A model text straight from a radio: a broken sequence, a control
    // character, a quote.
    envelope["model"] = std::string("VK\xC3\"\x01\xFFX");
    const std::string text = jsonText(envelope);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    const Json back = Json::parse(text);
    EXPECT_EQ(back["model"], "VK\xEF\xBF\xBD\"\x01\xEF\xBF\xBDX");
    EXPECT_EQ(text.rfind("{\"schema\":1,\"command\":\"identity\",\"ok\":true,\"result\":\"\","
                         "\"error\":null,\"tool_version\":",
                         0),
              0u)
        << text;
}

TEST(JsonOutput, TheEnvelopeComesFirstAndEveryDeclaredFieldIsThere) {
    CommandReport report("info", true);
    report.declareFields({"cable", "model"});
    report.fields()["cable"] = "/dev/ttyUSB0";
    const Json object = report.object();
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    const std::vector<std::string> expected = {"schema", "command",      "ok",    "result",
                                               "error",  "tool_version", "cable", "model"};
    EXPECT_EQ(keys, expected);
    EXPECT_TRUE(object["model"].is_null());

    Json failed = jsonEnvelope("info");
    setJsonFailure(failed, "Failed to connect radio.",
                   {"SBEP", {"Failed to connect radio.", "Error:no reply"}, ""});
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["error"]["category"], "SBEP");
    EXPECT_EQ(failed["error"]["messages"].size(), 2u);
    EXPECT_TRUE(failed["error"]["hint"].is_null());
}

TEST(JsonOutput, ErrorLinesStartWithTheToolsNameAndEndWithTheHint) {
    const Failure failure{
        "PROT", {"Failed to connect radio.", "first line\r\n\tsecond line\n"}, "Plug it in."};
    const std::vector<std::string> expected = {"vkt: error: Failed to connect radio.", "first line",
                                               "\tsecond line", "hint: Plug it in."};
    EXPECT_EQ(failureLines(failure), expected);
    EXPECT_EQ(failureLines(Failure{"UPDATE", {}, {}}).front(), "vkt: error: the command failed");
}

}  // namespace
}  // namespace vkt::cli
