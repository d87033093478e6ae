// `vkt ftf pack|show|extract`: tools for the people who build update packages.
#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "cli/cli_common.h"
#include "core/error_stack.h"
#include "package/config_document.h"
#include "package/ftf_file.h"
#include "package/text_util.h"

namespace vkt::cli {
namespace {

bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Prints every message on the error stack (oldest first) and clears it.
void printErrors() {
    for (const ErrorEntry& entry : errorEntries())
        std::cerr << entry.message << "\n";
    removeErrors(ErrorCategory::Ok);
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
    FtfSource source;
    source.type = o.type;
    auto latin1 = [](const std::string& text, const char* what, std::string& out) {
        auto bytes = utf8ToLatin1(text);
        if (!bytes) {
            std::cerr << "vkt ftf pack: the " << what
                      << " must use single-byte (Latin-1) characters only\n";
            return false;
        }
        out = *bytes;
        return true;
    };
    if (!latin1(o.name, "internal name", source.internalName) ||
        !latin1(o.model, "model number", source.modelNumber) ||
        !latin1(o.region, "region name", source.regionName)) {
        return kExitUsage;
    }
    if (!parseVersionBytes(o.version, source.version)) {
        std::cerr << "vkt ftf pack: --version must look like R01.02.03\n";
        return kExitUsage;
    }
    const std::string& cpv = o.codeplugVersion.empty() ? o.version : o.codeplugVersion;
    if (!parseVersionBytes(cpv, source.codeplugVersion)) {
        std::cerr << "vkt ftf pack: --codeplug-version must look like R01.02.03\n";
        return kExitUsage;
    }
    if (!readWholeFile(o.image, source.image)) {
        std::cerr << "vkt ftf pack: cannot read the image [" << o.image << "]\n";
        return kExitFailure;
    }
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!buildFtfFile(source, bytes, error)) {
        std::cerr << "vkt ftf pack: " << error << "\n";
        return kExitUsage;
    }
    if (!writeFileAtomically(o.out, bytes)) {
        std::cerr << "vkt ftf pack: cannot write [" << o.out << "]\n";
        return kExitFailure;
    }
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
    std::vector<std::uint8_t> raw;
    FtfInfo info;
    if (!readFtfInfo(path, info) || !readWholeFile(path, raw) || raw.size() < kFtfHeaderSize) {
        printErrors();
        return kExitFailure;
    }
    FtfImage image;
    const bool loads = loadFtfImage(path, image);
    std::string loadError = loads ? std::string() : firstErrorText();
    removeErrors(ErrorCategory::Ok);
    const auto digest = md5Digest(std::span(raw).subspan(24));
    const bool digestOk = std::equal(digest.begin(), digest.end(), raw.begin() + 8);
    const std::uint32_t payload = (std::uint32_t{raw[29]} << 24) | (std::uint32_t{raw[30]} << 16) |
                                  (std::uint32_t{raw[31]} << 8) | raw[32];
    std::string model(info.modelNumber.begin(), info.modelNumber.begin() + info.modelNumberLength);
    model = latin1ToUtf8(model);
    const bool hasCodeplug = info.type <= 2;
    if (json) {
        std::cout << "{\"file\":" << jsonQuote(path) << ",\"type\":" << info.type
                  << ",\"version\":" << jsonQuote(versionBytesText(&raw[24]))
                  << ",\"internalName\":" << jsonQuote(info.internalName)
                  << ",\"payloadLength\":" << payload << ",\"imageLength\":" << info.imageLength;
        if (hasCodeplug) {
            std::cout << ",\"codeplugVersion\":"
                      << jsonQuote(versionBytesText(info.codeplugVersion.data()));
        }
        if (info.type == 0)
            std::cout << ",\"modelNumber\":" << jsonQuote(model);
        if (info.type == 3)
            std::cout << ",\"regionName\":" << jsonQuote(info.regionName);
        std::cout << ",\"digest\":" << jsonQuote(hexBytes(&raw[8], 16))
                  << ",\"digestMatches\":" << (digestOk ? "true" : "false")
                  << ",\"loads\":" << (loads ? "true" : "false");
        if (!loads)
            std::cout << ",\"error\":" << jsonQuote(loadError);
        std::cout << "}\n";
    } else {
        std::cout << "file:             " << path << "\n"
                  << "type:             " << info.type << "\n"
                  << "version:          " << versionBytesText(&raw[24]) << "\n"
                  << "internal name:    " << info.internalName << "\n"
                  << "payload length:   " << payload << "\n"
                  << "image length:     " << info.imageLength << "\n";
        if (hasCodeplug) {
            std::cout << "codeplug version: " << versionBytesText(info.codeplugVersion.data())
                      << "\n";
        }
        if (info.type == 0)
            std::cout << "model number:     " << model << "\n";
        if (info.type == 3)
            std::cout << "region name:      " << info.regionName << "\n";
        std::cout << "digest:           " << hexBytes(&raw[8], 16)
                  << (digestOk ? " (matches)" : " (does not match)") << "\n";
        if (!loads)
            std::cout << "load error:       " << loadError << "\n";
    }
    return loads ? kExitOk : kExitFailure;
}

int runExtract(const std::string& path, const std::string& out) {
    FtfImage image;
    if (!loadFtfImage(path, image)) {
        printErrors();
        return kExitFailure;
    }
    if (!writeFileAtomically(out, image.data)) {
        std::cerr << "vkt ftf extract: cannot write [" << out << "]\n";
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

void addFtfCommands(CLI::App& app, GlobalOptions&) {
    auto* ftf = app.add_subcommand("ftf", "Build and inspect FTF flash files");
    ftf->require_subcommand(1);

    auto pack = std::make_shared<PackOptions>();
    auto* packCmd = ftf->add_subcommand(
        "pack", "Wrap an image in an FTF file (header, digest, type header, scrambled image)");
    packCmd->add_option("--type", pack->type, "FTF type: 0 (model), 1, 2 (codeplug), 3 (region)")
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
