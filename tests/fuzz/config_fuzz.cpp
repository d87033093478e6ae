// The package configuration loader, from the scrambled files on disk. The
// input is the plain XML text; the target scrambles it as the package tools
// do, writes it as config.xml (or, built with VKT_FUZZ_SETUP_HALF, as
// setup.dat) and loads the pair. The other file of the pair and the FTF
// files config.xml names come from the demo package (VKT_FUZZ_PACKAGE and
// VKT_FUZZ_SETUP override the built-in paths).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "package/config_document.h"
#include "package/package_config.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// The scratch folder holds links to the demo package's FTF files, so the
// loader resolves the names the configuration gives, and a copy of the file
// that is not fuzzed.
void preparePackage() {
    namespace fs = std::filesystem;
    const fs::path package = setting("VKT_FUZZ_PACKAGE", VKT_FUZZ_DEFAULT_PACKAGE);
    const fs::path scratch = vkt::fuzz::scratchFolder();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(package, ec))
        if (entry.path().extension() == ".ftf")
            fs::create_symlink(entry.path(), scratch / entry.path().filename(), ec);
#ifdef VKT_FUZZ_SETUP_HALF
    fs::copy_file(package / "config.xml", scratch / "config.xml",
                  fs::copy_options::overwrite_existing, ec);
#else
    fs::copy_file(setting("VKT_FUZZ_SETUP", VKT_FUZZ_DEFAULT_SETUP), scratch / "setup.dat",
                  fs::copy_options::overwrite_existing, ec);
#endif
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    preparePackage();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vkt;
    fuzz::ClearErrors clear;
    const std::string folder = fuzz::scratchFolder();
#ifdef VKT_FUZZ_SETUP_HALF
    const std::string target = folder + "/setup.dat";
#else
    const std::string target = folder + "/config.xml";
#endif
    const auto scrambled = scrambleConfigBytes(std::span(data, size));
    fuzz::writeFile(target, scrambled.data(), scrambled.size());

    ConfigDocument store;
    if (!store.createConfigDocument())
        return 0;
    PackageConfig config(store);
    const bool loaded = config.loadPackageConfig(folder + "/config.xml", folder + "/setup.dat");
#ifdef VKT_FUZZ_SETUP_HALF
    // The language menu's rewrite edits the fuzzed text itself; the result
    // must read back with the new value.
    if (loaded && config.setDefaultLanguage("de")) {
        ConfigDocument back;
        if (!back.createConfigDocument() || !back.readScrambledFile(target) ||
            !back.parseDocument())
            std::abort();
        const auto langs = ConfigDocument::descendants(back.root().root(), "langs");
        if (langs.empty() || ConfigDocument::attribute(langs[0], "def") != "de")
            std::abort();
    }
#else
    (void)loaded;
#endif
    // Read the result the way the application does.
    for (const std::string& name : config.modelNames()) {
        ModelEntry entry;
        config.getModel(name, entry);
    }
    std::int32_t address = 0;
    std::int32_t length = 0;
    config.findUserInfoRange(0, 1, 1, address, length);
    return 0;
}
