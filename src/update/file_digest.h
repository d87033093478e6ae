// SHA-256 digests as lower-case hex text: of bytes, and of a file's bytes.
// The update journal records one for the personality backup and for every
// package file an update writes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vkt {

std::string sha256Hex(std::span<const std::uint8_t> bytes);
// False (and `hex` unchanged) when the file cannot be read.
bool fileSha256Hex(const std::string& path, std::string& hex);

}  // namespace vkt
