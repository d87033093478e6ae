#include "core/app_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vkt {
namespace fs = std::filesystem;

namespace {

constexpr const char* kToolFolder = "vkt-update-tool";
constexpr const char* kSystemDataDir = "/var/lib/vkt-update-tool";

std::string nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string executableDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || !exe.has_parent_path())
        return ".";
    return exe.parent_path().string();
}

ShippedFiles shippedFilesBeside(const std::string& binDir) {
    ShippedFiles files;
    const std::string share = binDir + "/../share/" + kToolFolder;
    std::error_code ec;
    if (fs::is_directory(share, ec)) {
        files.installed = true;
        files.packageDir = share + "/data";
        files.setupTemplate = share + "/setup.dat";
        files.demoPackageDir = share + "/demo/data";
        files.demoSetupTemplate = share + "/demo/setup.dat";
        files.languageDir = share + "/lang";
    } else {
        const std::string tree = binDir + "/..";
        files.packageDir = tree + "/data";
        files.setupTemplate = tree + "/appdata/data/setup.dat";
        files.demoPackageDir = files.packageDir;
        files.demoSetupTemplate = files.setupTemplate;
        files.languageDir = tree + "/lang";
    }
    return files;
}

ShippedFiles shippedFiles() {
    return shippedFilesBeside(executableDir());
}

std::string defaultPackageDir() {
    return shippedFiles().packageDir;
}

std::string defaultDataDir() {
    if (std::string dir = nonEmptyEnv("VKT_DATA_DIR"); !dir.empty())
        return dir;
    std::error_code ec;
    if (fs::is_directory(kSystemDataDir, ec) && ::access(kSystemDataDir, W_OK) == 0) {
        return kSystemDataDir;
    }
    if (std::string xdg = nonEmptyEnv("XDG_DATA_HOME"); !xdg.empty()) {
        return xdg + "/" + kToolFolder;
    }
    const std::string home = nonEmptyEnv("HOME");
    return (home.empty() ? std::string(".") : home) + "/.local/share/" + kToolFolder;
}

std::string configPath(const std::string& packageDir) {
    return packageDir + "/config.xml";
}

std::string setupPath(const std::string& dataDir) {
    return dataDir + "/data/setup.dat";
}

std::string logFolder(const std::string& dataDir) {
    return dataDir + "/log";
}

}  // namespace vkt
