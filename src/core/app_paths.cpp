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

std::string defaultPackageDir() {
    return executableDir() + "/../data";
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
