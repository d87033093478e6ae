// Whole files: one reader, and one crash-safe writer for every file the
// tool keeps (the setup file, personality backups, the simulated radio's
// state, files the package tools write).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vkt {

// The whole file into `bytes`. False when it cannot be opened or read.
bool readFile(const std::string& path, std::vector<std::uint8_t>& bytes);

// Writes `bytes` to `path` through a temporary file in the same folder that
// is flushed to disk and then renamed over the target, so the target is
// either the old or the new content, never a mix. Keeps the target's mode,
// owner and group; where the owner cannot be given to a new file (a file of
// another user that this one may write), the file is rewritten in place.
// False when any step fails (the target is then unchanged), and for a
// read-only target.
bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace vkt
