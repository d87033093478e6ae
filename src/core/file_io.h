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

// Why readRegularFile failed.
enum class ReadFailure { None, CannotOpen, NotRegularFile, TooLarge, ReadError };

// The whole file into `bytes`, for files the tool must not trust: only a
// regular file of at most `maxSize` bytes is read, so a device, a pipe or a
// huge file can neither stall the reader nor exhaust its memory. A file that
// shrinks while it is read is read as far as it goes.
ReadFailure readRegularFile(const std::string& path, std::vector<std::uint8_t>& bytes,
                            std::uint64_t maxSize);

// Makes the entries of `folder` (a file created or renamed in it) durable.
void syncFolder(const std::string& folder);

// Writes `bytes` to `path` through a temporary file in the same folder that
// is flushed to disk and then renamed over the target, so the target is
// either the old or the new content, never a mix. Keeps the target's mode,
// owner and group; where the owner cannot be given to a new file (a file of
// another user that this one may write), the file is rewritten in place.
// False when any step fails (the target is then unchanged), and for a
// read-only target.
bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace vkt
