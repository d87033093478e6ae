#include "core/app_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/version.h"

namespace vkt {
namespace {

// Sets an environment variable for one scope and restores it afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(AppPaths, FoldersAroundTheExecutable) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(executableDir(), self.parent_path().string());
    EXPECT_EQ(defaultPackageDir(), self.parent_path().string() + "/../data");
    EXPECT_EQ(configPath("/opt/vkt/bin/../data"), "/opt/vkt/bin/../data/config.xml");
    EXPECT_EQ(setupPath("/var/lib/x"), "/var/lib/x/data/setup.dat");
    EXPECT_EQ(logFolder("/var/lib/x"), "/var/lib/x/log");
}

TEST(AppPaths, DataFolderFromEnvironment) {
    {
        ScopedEnv data("VKT_DATA_DIR", "/tmp/vkt-data");
        EXPECT_EQ(defaultDataDir(), "/tmp/vkt-data");
    }
    if (std::filesystem::is_directory("/var/lib/vkt-update-tool"))
        GTEST_SKIP();
    ScopedEnv data("VKT_DATA_DIR", "");
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/tmp/xdg");
        EXPECT_EQ(defaultDataDir(), "/tmp/xdg/vkt-update-tool");
    }
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", "/home/dealer");
    EXPECT_EQ(defaultDataDir(), "/home/dealer/.local/share/vkt-update-tool");
}

// The shipped files are found from the program's folder: under
// ../share/vkt-update-tool when that exists (installed, wherever the tree was
// moved to), else in the build tree's own output folders.
TEST(AppPaths, ShippedFilesBesideTheProgram) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("vkt-paths-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "opt/usr/bin");
    fs::create_directories(root / "opt/usr/share/vkt-update-tool");
    fs::create_directories(root / "build/bin");

    const std::string bin = (root / "opt/usr/bin").string();
    const ShippedFiles installed = shippedFilesBeside(bin);
    EXPECT_TRUE(installed.installed);
    const std::string share = bin + "/../share/vkt-update-tool";
    EXPECT_EQ(installed.packageDir, share + "/data");
    EXPECT_EQ(installed.setupTemplate, share + "/setup.dat");
    EXPECT_EQ(installed.demoPackageDir, share + "/demo/data");
    EXPECT_EQ(installed.demoSetupTemplate, share + "/demo/setup.dat");
    EXPECT_EQ(installed.languageDir, share + "/lang");

    const std::string tree = (root / "build/bin").string();
    const ShippedFiles uninstalled = shippedFilesBeside(tree);
    EXPECT_FALSE(uninstalled.installed);
    EXPECT_EQ(uninstalled.packageDir, tree + "/../data");
    EXPECT_EQ(uninstalled.demoPackageDir, tree + "/../data");
    EXPECT_EQ(uninstalled.setupTemplate, tree + "/../appdata/data/setup.dat");
    EXPECT_EQ(uninstalled.demoSetupTemplate, uninstalled.setupTemplate);
    EXPECT_EQ(uninstalled.languageDir, tree + "/../lang");
    fs::remove_all(root);
}

TEST(Version, OneVersionInTwoNotations) {
    EXPECT_STREQ(toolVersion(), VKT_PROJECT_VERSION);
    EXPECT_EQ(versionLine("vkt"), std::string("vkt ") + VKT_PROJECT_VERSION);
    EXPECT_EQ(releaseNameOf(1, 3, 0), "R01.03");
    EXPECT_EQ(releaseNameOf(1, 3, 1), "R01.03.01");
    EXPECT_EQ(releaseNameOf(12, 0, 0), "R12.00");
    int major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(VKT_PROJECT_VERSION, "%d.%d.%d", &major, &minor, &patch), 3);
    EXPECT_EQ(releaseName(), releaseNameOf(major, minor, patch));
}

}  // namespace
}  // namespace vkt
