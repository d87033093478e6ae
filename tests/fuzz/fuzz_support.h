// Helpers shared by the fuzz targets: a private scratch folder and a way to
// hand the fuzzer's bytes to code that reads files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/error_stack.h"

namespace vkt::fuzz {

// A folder of this process, created on first use and kept for the run.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vkt-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        return pattern;
    }();
    return folder;
}

// Writes `size` bytes to `path`, replacing what was there.
inline void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);
}

// Every target leaves the process-wide error stack empty after each input.
struct ClearErrors {
    ~ClearErrors() { removeErrors(0); }
};

}  // namespace vkt::fuzz
