// `vkt ftf pack|show|extract`: tools for the people who build update packages.
#include <array>
#include <filesystem>
#include <iostream>
#include <tuple>

#include "cli/cli_common.h"
#include "cli/command_report.h"
#include "core/error_stack.h"
#include "core/file_io.h"
#include "package/config_document.h"
#include "package/ftf_file.h"
#include "package/text_util.h"

namespace vkt::cli {
namespace {

// The error stack's messages after `message` as a failure; the stack is
// cleared.
Failure stackFailure(const std::string& message) {
    Failure failure{"FILE", {message}, {}};
    const std::vector<ErrorEntry> errors = errorEntries();
    if (!errors.empty())
        failure.category = errorCategoryName(errors.front().category);
    for (const ErrorEntry& entry : errors)
        failure.messages.push_back(entry.message);
    removeErrors(ErrorCategory::Ok);
    return failure;
}

struct PackOptions {
    int type = -1;
    std::string name;
    std::string version;
    std::string codeplugVersion;
    std::string model;
    std::string region;
    std::string image;
    std::string out;
};

int runPack(const PackOptions& o) {
    CommandReport report("ftf pack", false);
    const auto usage = [&report](const std::string& text) {
        return report.fail(Failure{"USAGE", {text}, {}}, kExitUsage);
    };
    FtfSource source;
    source.type = o.type;
    auto latin1 = [](const std::string& text, std::string& out) {
        auto bytes = utf8ToLatin1(text);
        if (bytes)
            out = *bytes;
        return bytes.has_value();
    };
    for (const auto& [text, what, out] :
         {std::tuple{&o.name, "internal name", &source.internalName},
          std::tuple{&o.model, "model number", &source.modelNumber},
          std::tuple{&o.region, "region name", &source.regionName}}) {
        if (!latin1(*text, *out))
            return usage(std::string("the ") + what +
                         " must use single-byte (Latin-1) characters only");
    }
    if (!parseVersionBytes(o.version, source.version))
        return usage("--version must look like R01.02.03");
    const std::string& cpv = o.codeplugVersion.empty() ? o.version : o.codeplugVersion;
    if (!parseVersionBytes(cpv, source.codeplugVersion))
        return usage("--codeplug-version must look like R01.02.03");
    if (!readFile(o.image, source.image))
        return report.fail(Failure{"FILE", {"cannot read the image [" + o.image + "]"}, {}});
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!buildFtfFile(source, bytes, error))
        return usage(error);
    if (!writeFileAtomically(o.out, bytes))
        return report.fail(Failure{"FILE", {"cannot write [" + o.out + "]"}, {}});
    return kExitOk;
}

std::string hexBytes(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += fmt::sprintf("%02x", p[i]);
    return out;
}

std::string versionBytesText(const std::uint8_t* v) {
    return fmt::sprintf("%c%02d.%02d.%02d", static_cast<char>(v[0]), v[1], v[2], v[3]);
}

int runShow(const std::string& path, bool json) {
    CommandReport report("ftf show", json);
    report.declareFields({"file", "type", "type_header", "usual_content", "version",
                          "internal_name", "payload_length", "image_length", "codeplug_version",
                          "model_number", "region_name", "digest", "digest_matches", "loads"});
    report.fields()["file"] = path;
    std::vector<std::uint8_t> raw;
    FtfInfo info;
    if (!readFtfInfo(path, info) || !readFile(path, raw) || raw.size() < kFtfHeaderSize)
        return report.fail(stackFailure("[" + path + "] is not a readable FTF file"));
    FtfImage image;
    const bool loads = loadFtfImage(path, image);
    std::string loadError = loads ? std::string() : firstErrorText();
    const std::int32_t loadCategory = firstErrorCode();
    removeErrors(ErrorCategory::Ok);
    const auto digest = md5Digest(std::span(raw).subspan(24));
    const bool digestOk = std::equal(digest.begin(), digest.end(), raw.begin() + 8);
    const std::uint32_t payload = (std::uint32_t{raw[29]} << 24) | (std::uint32_t{raw[30]} << 16) |
                                  (std::uint32_t{raw[31]} << 8) | raw[32];
    std::string model(info.modelNumber.begin(), info.modelNumber.begin() + info.modelNumberLength);
    model = latin1ToUtf8(model);
    const bool hasCodeplug = info.type <= 2;
    const FtfTypeWords words = ftfTypeWords(info.type);

    Json& fields = report.fields();
    fields["type"] = info.type;
    fields["type_header"] = words.header ? Json(words.header) : Json(nullptr);
    fields["usual_content"] = words.usualContent ? Json(words.usualContent) : Json(nullptr);
    fields["version"] = versionBytesText(&raw[24]);
    fields["internal_name"] = info.internalName;
    fields["payload_length"] = payload;
    fields["image_length"] = info.imageLength;
    fields["codeplug_version"] =
        hasCodeplug ? Json(versionBytesText(info.codeplugVersion.data())) : Json(nullptr);
    fields["model_number"] = info.type == 0 ? Json(model) : Json(nullptr);
    fields["region_name"] = info.type == 3 ? Json(info.regionName) : Json(nullptr);
    fields["digest"] = hexBytes(&raw[8], 16);
    fields["digest_matches"] = digestOk;
    fields["loads"] = loads;

    std::ostream& out = report.text();
    out << "file:             " << path << "\n"
        << "type:             " << info.type;
    if (words.header)
        out << " (" << words.header << " header; " << words.usualContent << " by convention)";
    out << "\n"
        << "version:          " << versionBytesText(&raw[24]) << "\n"
        << "internal name:    " << info.internalName << "\n"
        << "payload length:   " << payload << "\n"
        << "image length:     " << info.imageLength << "\n";
    if (hasCodeplug)
        out << "codeplug version: " << versionBytesText(info.codeplugVersion.data()) << "\n";
    if (info.type == 0)
        out << "model number:     " << model << "\n";
    if (info.type == 3)
        out << "region name:      " << info.regionName << "\n";
    out << "digest:           " << hexBytes(&raw[8], 16)
        << (digestOk ? " (matches)" : " (does not match)") << "\n";
    if (!loads) {
        return report.fail(
            Failure{errorCategoryName(loadCategory), {"the file does not load", loadError}, {}});
    }
    return report.succeed("The file loads.");
}

int runExtract(const std::string& path, const std::string& out) {
    CommandReport report("ftf extract", false);
    FtfImage image;
    if (!loadFtfImage(path, image))
        return report.fail(stackFailure("cannot load [" + path + "]"));
    if (!writeFileAtomically(out, image.data))
        return report.fail(Failure{"FILE", {"cannot write [" + out + "]"}, {}});
    return kExitOk;
}

}  // namespace

void addFtfCommands(CLI::App& app, GlobalOptions&) {
    auto* ftf = app.add_subcommand("ftf", "Build and inspect FTF flash files");
    ftf->require_subcommand(1);

    auto pack = std::make_shared<PackOptions>();
    auto* packCmd = ftf->add_subcommand(
        "pack", "Wrap an image in an FTF file (header, digest, type header, scrambled image)");
    packCmd
        ->add_option("--type", pack->type,
                     "FTF type by its type header: 0 (model: default blocks), 1 (codeplug: "
                     "voice prompts), 2 (codeplug: address map), 3 (region: firmware)")
        ->required()
        ->check(CLI::Range(0, 3));
    packCmd->add_option("--name", pack->name, "Internal name (how config.xml refers to the file)")
        ->required();
    packCmd->add_option("--version", pack->version, "File version, e.g. R01.02.03")->required();
    packCmd->add_option("--codeplug-version", pack->codeplugVersion,
                        "Codeplug version of the type header (types 0-2); default --version");
    packCmd->add_option("--model", pack->model, "Model number (type 0), at most 20 characters");
    packCmd->add_option("--region", pack->region, "Region name (type 3), at most 10 characters");
    packCmd->add_option("IMAGE", pack->image, "The plain image")->required();
    packCmd->add_option("OUT", pack->out, "The FTF file to write")->required();
    setHandler(packCmd, [pack] { return runPack(*pack); });

    auto show = std::make_shared<std::pair<std::string, bool>>();
    auto* showCmd = ftf->add_subcommand(
        "show", "Print an FTF file's header, type header, image length and digest check");
    showCmd->add_option("FILE", show->first, "The FTF file")->required();
    showCmd->add_flag("--json", show->second, "Print one JSON object");
    setHandler(showCmd, [show] { return runShow(show->first, show->second); });

    auto extract = std::make_shared<std::pair<std::string, std::string>>();
    auto* extractCmd = ftf->add_subcommand("extract", "Write an FTF file's descrambled image");
    extractCmd->add_option("FILE", extract->first, "The FTF file")->required();
    extractCmd->add_option("OUT", extract->second, "Where to write the image")->required();
    setHandler(extractCmd, [extract] { return runExtract(extract->first, extract->second); });
}

}  // namespace vkt::cli
