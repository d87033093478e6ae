#include "package/flash.h"

#include "core/error_stack.h"

namespace vkt {
namespace {

std::uint32_t be16(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 8) | p[1];
}

}  // namespace

bool Flash::setImage(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0)
        return false;
    std::size_t pos = 0;
    if (length > pos + 2) {
        if (be16(bytes + pos) != kFirmwareMarker)
            return false;
        pos += 2;
    }
    if (length > pos + 4)
        pos += 4;  // a 32-bit value that nothing reads
    if (length > pos + 2) {
        const std::size_t tableEnd = pos + 2 + 4 * std::size_t{be16(bytes + pos)};
        if (tableEnd >= length)
            return false;
        pos = tableEnd;
    }
    int sections = 0;
    while (sections < kMaxFirmwareSections && pos + 2 <= length) {
        const std::size_t sectionLength = be16(bytes + pos);
        pos += 2;
        if (sectionLength == 0)
            continue;  // a 2-byte filler
        ++sections;
        std::size_t words = sectionLength + 2;
        if (words % 4 != 0)
            words += 4 - words % 4;
        const std::size_t end = pos + 2 * words;
        if (end >= length)
            break;  // keep the length word of a section that reaches the end
        pos = end;
    }
    if (pos > kMaxFirmwareLength) {
        raiseError(ErrorCategory::Flash, "Error:bad flash.");
        return false;
    }
    data_.assign(bytes, bytes + pos);
    return true;
}

}  // namespace vkt
