// `vkt package check`: loads the update package the way start-up does (going
// on past each problem), then every file it names the way an update does,
// and lists every problem; then warns, per radio type, where an update from
// the package would do what its maker may not intend.
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <system_error>

#include "app/cable_setup.h"
#include "cli/cli_common.h"
#include "cli/command_report.h"
#include "core/app_paths.h"
#include "core/error_stack.h"
#include "package/config_document.h"
#include "package/cpg.h"
#include "package/flash.h"
#include "package/ftf_file.h"
#include "package/package_config.h"
#include "package/text_util.h"
#include "update/package_risks.h"
#include "update/radio_traits.h"
#include "update/transfer.h"

namespace vkt::cli {
namespace {

struct Problem {
    std::int32_t category = 0;
    std::string message;
    std::string internalName;               // the internal name looked for (a lost file)
    bool warning = false;                   // the package works, but maybe not as meant
    std::optional<std::int32_t> radioType;  // the radio type a warning is about
};

class PackageChecker {
  public:
    // Moves everything on the error stack into the problem list.
    void collect() {
        for (ErrorEntry& entry : errorEntries())
            problems_.push_back({entry.category, std::move(entry.message), {}, false, {}});
        removeErrors(ErrorCategory::Ok);
    }
    void problem(ErrorCategory category, const std::string& text) {
        problems_.push_back({static_cast<std::int32_t>(category), text, {}, false, {}});
    }

    // `radioType`: warn about that radio type only (all when empty).
    void run(const std::string& configFile, const std::string& setupFile,
             std::optional<std::int32_t> radioType) {
        removeErrors(ErrorCategory::Ok);
        ConfigDocument& store = ConfigDocument::instance();
        PackageConfig::resetInstance();
        PackageConfig& config = PackageConfig::instance();
        if (!store.createConfigDocument()) {
            collect();
            return;
        }
        // Every problem of the configuration, not only the first.
        PackageCheckReport report;
        config.checkPackageConfig(configFile, setupFile, report);
        for (PackageProblem& p : report.problems)
            problems_.push_back(
                {p.category, std::move(p.message), std::move(p.internalName), false, {}});
        if (!config.regionName.empty() && !isToolRegion(config.regionName)) {
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
        // What an update would do to each radio type that the maker may not
        // intend; the same text from two address maps is listed once.
        std::set<std::string> seen;
        for (const Cpg& map : maps) {
            for (PackageRisk& risk :
                 packageRisks(map, config.userInfoRanges, !config.voiceFiles.empty())) {
                if ((radioType && risk.radioType != *radioType) || !seen.insert(risk.text).second)
                    continue;
                problems_.push_back({static_cast<std::int32_t>(ErrorCategory::Ini),
                                     std::move(risk.text),
                                     {},
                                     true,
                                     risk.radioType});
            }
        }
    }

    const std::vector<Problem>& problems() const { return problems_; }

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
                    if (range.length > std::int64_t{kMaxUserVoiceLength} ||
                        static_cast<std::uint32_t>(range.address) !=
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

    std::vector<Problem> problems_;
};

int runCheck(const GlobalOptions& options, bool json, int radioType) {
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
    checker.run(configPath(packageDir), setup,
                radioType >= 0 ? std::optional<std::int32_t>(radioType) : std::nullopt);
    CommandReport report("package check", json);
    report.declareFields({"config", "setup", "problems"});
    report.fields()["config"] = configPath(packageDir);
    report.fields()["setup"] = setup;
    Json list = Json::array();
    std::size_t errors = 0;
    std::size_t warnings = 0;
    for (const Problem& p : checker.problems()) {
        Json problem;
        problem["category"] = errorCategoryName(p.category);
        problem["severity"] = p.warning ? "warning" : "error";
        problem["message"] = p.message;
        problem["internal_name"] = textOrNull(p.internalName);
        problem["radio_type"] = p.radioType ? Json(*p.radioType) : Json(nullptr);
        list.push_back(std::move(problem));
        (p.warning ? warnings : errors) += 1;
        report.text() << (p.warning ? "warning: " : "") << p.message << "\n";
        if (!p.internalName.empty()) {
            report.text() << "  (no FTF file in " << packageDir << " has the internal name "
                          << p.internalName << ")\n";
        }
    }
    report.fields()["problems"] = std::move(list);
    std::string summary =
        errors == 0 ? "Package OK" : std::to_string(errors) + " problem(s) in the package";
    if (warnings > 0)
        summary += ", " + std::to_string(warnings) + " warning(s)";
    if (errors == 0) {
        report.text() << summary << ": " << configPath(packageDir) << "\n";
        return report.succeed(summary);
    }
    for (const Problem& p : checker.problems()) {
        if (!p.warning)
            return report.fail(Failure{errorCategoryName(p.category), {summary}, {}});
    }
    return kExitFailure;
}

}  // namespace

void addPackageCommands(CLI::App& app, GlobalOptions& options) {
    auto* package = app.add_subcommand("package", "Check an update package");
    package->require_subcommand(1);
    auto json = std::make_shared<bool>(false);
    auto radioType = std::make_shared<int>(-1);
    auto* check = package->add_subcommand(
        "check",
        "Load the package (--package) and setup file (--data-dir) as start-up does, then every "
        "file it names as an update does; list each problem, with the internal names looked "
        "for, and warn per radio type where an update would overwrite the DYN or BAK area, "
        "erase the user-defined voice or keep no personality. Exit 1 when there is any "
        "problem; warnings alone exit 0");
    check->add_flag("--json", *json, "Print one JSON object");
    check->add_option("--radio-type", *radioType, "Warn only about radios of this type (0, 1 or 2)")
        ->check(CLI::Range(0, 2));
    setHandler(check, [&options, json, radioType] { return runCheck(options, *json, *radioType); });
}

}  // namespace vkt::cli
