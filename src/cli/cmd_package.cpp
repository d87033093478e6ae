// `vkt package check`: loads the update package the way start-up does, then
// every file it names the way an update does, and lists every problem.
#include <filesystem>
#include <iostream>
#include <system_error>

#include "app/cable_setup.h"
#include "cli/cli_common.h"
#include "core/app_paths.h"
#include "core/error_stack.h"
#include "package/config_document.h"
#include "package/cpg.h"
#include "package/flash.h"
#include "package/ftf_file.h"
#include "package/package_config.h"
#include "package/text_util.h"
#include "update/transfer.h"

namespace vkt::cli {
namespace {

class PackageChecker {
  public:
    // Moves everything on the error stack into the problem list.
    void collect() {
        for (ErrorEntry& entry : errorEntries())
            problems_.push_back(std::move(entry));
        removeErrors(ErrorCategory::Ok);
    }
    void problem(ErrorCategory category, const std::string& text) {
        problems_.push_back({static_cast<std::int32_t>(category), text});
    }

    void run(const std::string& configFile, const std::string& setupFile) {
        removeErrors(ErrorCategory::Ok);
        ConfigDocument& store = ConfigDocument::instance();
        PackageConfig::resetInstance();
        PackageConfig& config = PackageConfig::instance();
        if (!store.createConfigDocument() || !config.loadPackageConfig(configFile, setupFile)) {
            collect();
            return;
        }
        if (!isToolRegion(config.regionName)) {
            problem(ErrorCategory::Ini, fmt::sprintf(kWrongRegionFormat, kToolRegion));
        }
        if (!config.firmwarePath.empty())
            checkFirmware(config.firmwarePath);
        std::vector<Cpg> maps;
        for (const auto& [version, path] : config.addressFiles) {
            if (auto map = loadAddressMap(path))
                maps.push_back(std::move(*map));
        }
        for (const auto& [version, path] : config.voiceFiles)
            checkStream(path);
        for (const auto& [name, model] : config.models) {
            for (const auto& [block, versions] : model.blocks) {
                for (const auto& [version, path] : versions)
                    checkStream(path);
            }
        }
        for (const Cpg& map : maps)
            checkUserInfoRanges(config, map);
    }

    const std::vector<ErrorEntry>& problems() const { return problems_; }

  private:
    bool load(const std::string& path, FtfImage& image) {
        if (loadFtfImage(path, image))
            return true;
        collect();
        return false;
    }

    void checkFirmware(const std::string& path) {
        FtfImage image;
        if (!load(path, image))
            return;
        Flash flash;
        if (image.length == 0 || !flash.setImage(image.data)) {
            collect();
            problem(ErrorCategory::Flash,
                    fmt::sprintf("Error:the firmware image of [%s] is refused.", path));
        } else if (flash.data().size() > kFirmwareAreaEnd) {
            problem(ErrorCategory::Flash,
                    fmt::sprintf("Error:the firmware image of [%s] is longer than the firmware "
                                 "area (%u bytes).",
                                 path, kFirmwareAreaEnd));
        }
    }

    std::optional<Cpg> loadAddressMap(const std::string& path) {
        FtfImage image;
        Cpg map;
        if (!loadFtfImage(path, image) || image.length == 0 ||
            !map.parseAddressMap(reinterpret_cast<const char*>(image.data.data()),
                                 image.data.size())) {
            collect();
            problem(ErrorCategory::Ini,
                    fmt::sprintf("Error:failed to parse address file [%s].", path));
            return std::nullopt;
        }
        return map;
    }

    void checkStream(const std::string& path) {
        FtfImage image;
        if (!load(path, image))
            return;
        Cpg map;
        if (image.length == 0 || !map.parseStream(image.data)) {
            collect();
            if (image.length == 0) {
                problem(ErrorCategory::Cpg, fmt::sprintf("Error:the file [%s] is empty.", path));
            }
        }
    }

    // The ranges an update may keep must fit the address map, as the
    // programming procedure checks before it touches the radio.
    void checkUserInfoRanges(const PackageConfig& config, const Cpg& map) {
        for (const auto& [kind, ranges] : config.userInfoRanges) {
            for (const UserInfoRange& range : ranges) {
                if (kind == static_cast<std::int32_t>(BlockKind::USERVOI)) {
                    if (range.length > 0xD800 || static_cast<std::uint32_t>(range.address) !=
                                                     flashLayout(2, BlockKind::USERVOI)) {
                        problem(ErrorCategory::Ini,
                                fmt::sprintf("Error:the lenth of block [%s] configured is not "
                                             "matched to the address map.",
                                             blockKindName(kind)));
                    }
                    continue;
                }
                const CpgBlock& window = map.block(kind);
                const std::int64_t start = static_cast<std::uint32_t>(range.address);
                if (start < window.address ||
                    start + range.length > std::int64_t{window.address} + window.size) {
                    problem(ErrorCategory::Ini,
                            fmt::sprintf("Error:the address or lenth of block [%s] configured is "
                                         "not matched to the address map.",
                                         blockKindName(kind)));
                }
            }
        }
    }

    std::vector<ErrorEntry> problems_;
};

int runCheck(const GlobalOptions& options, bool json) {
    StartupOptions folders;
    setStartupFolders(options, folders);
    const std::string& packageDir = folders.packageDir;
    // Checked as a start would load it: a data folder without a setup file
    // gets the shipped template on its first start, so the template is what
    // counts then.
    std::string setup = setupPath(folders.dataDir);
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(setup, ec)))
        setup = folders.setupTemplate;
    PackageChecker checker;
    checker.run(configPath(packageDir), setup);
    const auto& problems = checker.problems();
    if (json) {
        std::cout << "{\"config\":" << jsonQuote(configPath(packageDir))
                  << ",\"setup\":" << jsonQuote(setup)
                  << ",\"ok\":" << (problems.empty() ? "true" : "false") << ",\"problems\":[";
        for (std::size_t i = 0; i < problems.size(); ++i) {
            std::cout << (i ? "," : "") << "{\"category\":" << problems[i].category
                      << ",\"message\":" << jsonQuote(problems[i].message) << "}";
        }
        std::cout << "]}\n";
    } else {
        for (const ErrorEntry& entry : problems)
            std::cout << entry.message << "\n";
        if (problems.empty()) {
            std::cout << "Package OK: " << configPath(packageDir) << "\n";
        } else {
            std::cout << problems.size() << " problem(s) in the package\n";
        }
    }
    return problems.empty() ? kExitOk : kExitFailure;
}

}  // namespace

void addPackageCommands(CLI::App& app, GlobalOptions& options) {
    auto* package = app.add_subcommand("package", "Check an update package");
    package->require_subcommand(1);
    auto json = std::make_shared<bool>(false);
    auto* check = package->add_subcommand(
        "check",
        "Load the package (--package) and setup file (--data-dir) as start-up does, then every "
        "file it names as an update does; list each problem. Exit 1 when there is any");
    check->add_flag("--json", *json, "Print one JSON object");
    setHandler(check, [&options, json] { return runCheck(options, *json); });
}

}  // namespace vkt::cli
