#include "update/package_images.h"

#include "core/error_stack.h"
#include "package/flash.h"
#include "package/ftf_file.h"
#include "update/transfer.h"

namespace vkt {
namespace {

bool loadImage(const std::string& path, FtfImage& image) {
    return loadFtfImage(path, image) && image.length > 0 && !image.data.empty();
}

}  // namespace

bool loadAddressMapFile(const std::string& path, Cpg& map) {
    FtfImage image;
    if (!loadImage(path, image) ||
        !map.parseAddressMap(reinterpret_cast<const char*>(image.data.data()), image.data.size())) {
        raiseError(ErrorCategory::Ini, "Error:failed to parse address file [%s].", path);
        return false;
    }
    return true;
}

bool loadFirmwareFile(const std::string& path, Flash& flash) {
    FtfImage image;
    if (!loadImage(path, image) || !flash.setImage(image.data))
        return false;
    if (flash.data().size() > kFirmwareAreaEnd) {
        raiseError(ErrorCategory::Flash,
                   "Error:the firmware image of [%s] is longer than the firmware area (%u bytes).",
                   path, kFirmwareAreaEnd);
        return false;
    }
    return true;
}

bool loadStreamFile(const std::string& path, Cpg& map) {
    FtfImage image;
    return loadImage(path, image) && map.parseStream(image.data);
}

std::optional<std::span<const std::uint8_t>> windowBytes(const Cpg& map, BlockKind kind) {
    const CpgBlock& block = map.block(kind);
    if (block.data.size() < block.size)
        return std::nullopt;
    return std::span(block.data).first(block.size);
}

}  // namespace vkt
