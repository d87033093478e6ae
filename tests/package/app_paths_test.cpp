#include "core/app_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

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

}  // namespace
}  // namespace vkt
