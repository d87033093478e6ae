// A runtime folder of this test process's own for the `vkt` runs it starts:
// the radio lock of `vkt update`, `serial` and `personality restore` lives
// there, so tests that run at the same time do not refuse each other.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace vkt::test {

class PrivateRuntimeDir {
  public:
    PrivateRuntimeDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vkt-test-run-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~PrivateRuntimeDir() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    PrivateRuntimeDir(const PrivateRuntimeDir&) = delete;
    PrivateRuntimeDir& operator=(const PrivateRuntimeDir&) = delete;

    const std::string& path() const { return path_; }
    // "XDG_RUNTIME_DIR=<folder>", to put before a shell command.
    std::string environment() const { return "XDG_RUNTIME_DIR='" + path_ + "'"; }

  private:
    std::string path_;
};

// The process's folder, made on first use and removed at exit.
inline const PrivateRuntimeDir& privateRuntimeDir() {
    static PrivateRuntimeDir dir;
    return dir;
}

}  // namespace vkt::test
