// `vkt config encode|decode`: scramble a plain XML file into the form the tool
// reads (config.xml, setup.dat), and back.
#include <iostream>

#include "cli/cli_common.h"
#include "cli/command_report.h"
#include "core/file_io.h"
#include "package/config_document.h"

namespace vkt::cli {
namespace {

int transcode(const std::string& in, const std::string& out, bool encode) {
    CommandReport report(encode ? "config encode" : "config decode", false);
    const auto fail = [&report](const std::string& text) {
        return report.fail(Failure{"FILE", {text}, {}});
    };
    std::vector<std::uint8_t> bytes;
    if (!readFile(in, bytes))
        return fail("cannot read [" + in + "]");
    if (bytes.size() > kMaxConfigFileSize)
        return fail("[" + in + "] is too large");
    std::vector<std::uint8_t> result = scrambleConfigBytes(bytes);
    // Refuse to produce a file that the tool could not parse.
    const std::vector<std::uint8_t>& plain = encode ? bytes : result;
    std::string description;
    if (!ConfigDocument::isWellFormed(
            std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()),
            description)) {
        return fail("[" + in + "] " + (encode ? "is" : "does not decode to") +
                    " well-formed XML: " + description);
    }
    if (!writeFileAtomically(out, result))
        return fail("cannot write [" + out + "]");
    return kExitOk;
}

}  // namespace

void addConfigCommands(CLI::App& app, GlobalOptions&) {
    auto* config = app.add_subcommand("config", "Scramble or unscramble config.xml / setup.dat");
    config->require_subcommand(1);
    for (bool encode : {true, false}) {
        auto paths = std::make_shared<std::pair<std::string, std::string>>();
        auto* sub = config->add_subcommand(
            encode ? "encode" : "decode",
            encode ? "Scramble a plain XML file (PLAIN.xml -> OUT)"
                   : "Unscramble a configuration file (SCRAMBLED -> OUT.xml)");
        sub->add_option(encode ? "PLAIN" : "SCRAMBLED", paths->first, "Input file")->required();
        sub->add_option("OUT", paths->second, "Output file")->required();
        setHandler(sub, [paths, encode] { return transcode(paths->first, paths->second, encode); });
    }
}

}  // namespace vkt::cli
