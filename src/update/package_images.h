// The bytes a programming run puts into flash, prepared from the package's
// FTF files. The programming run and the verification both take them from
// here, so what is compared is exactly what is written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "package/cpg.h"

namespace vkt {

class Flash;

// Loads the address-map file and applies it to `map`. Pushes INI
// "Error:failed to parse address file [%s]." when the file cannot be read,
// is empty or does not parse.
bool loadAddressMapFile(const std::string& path, Cpg& map);

// Loads the firmware file into `flash` (the image check keeps the part the
// section walk covers). Fails when the file cannot be read or is empty,
// when the image check refuses it, and (FLASH message) when the image is
// longer than the firmware area: only that area is erased before writing.
bool loadFirmwareFile(const std::string& path, Flash& flash);

// Loads a codeplug-stream file (default block or voice prompts) into the
// block buffers of `map`; every buffer is zeroed first.
bool loadStreamFile(const std::string& path, Cpg& map);

// The whole window of `kind` as the last stream filled it, including the
// 0x00 bytes no record covered; nullopt when the buffer is shorter than the
// window (no stream was read since the window was set).
std::optional<std::span<const std::uint8_t>> windowBytes(const Cpg& map, BlockKind kind);

}  // namespace vkt
