// What the update procedure must know of each radio type (0, 1 and 2, as the
// radio reports it in its test-mode reply): the protection values that open
// and lock its flash, where each block kind lives in its flash, which erase
// clears the default and the DYN areas, and whether it keeps a user-defined
// voice in flash. One table row per type; nothing else in the tool decides
// by the type's number.
#pragma once

#include <array>
#include <cstdint>

#include "package/cpg.h"

namespace vkt {

// The radio types the procedure knows.
inline constexpr std::int32_t kRadioTypes = 3;

struct RadioTraits {
    // Protection values: before the firmware erase, before the default and
    // voice blocks are written, and the one that locks the flash again at
    // the end of the work.
    std::uint16_t firmwareUnlock = 0;
    std::uint16_t blocksUnlock = 0;
    std::uint16_t lock = 0;
    // Flash address of each block kind (BlockKind order); 0: not in flash.
    std::array<std::uint32_t, kBlockKindCount> flash{};
    // The erase kinds (4 KB sector or 64 KB block) that clear the default
    // block and the DYN area before they are written.
    std::uint8_t defaultErase = 0;
    std::uint8_t dynamicErase = 0;
    // Whether a user-defined voice in flash is read before the erases and
    // written back after them.
    bool keepsUserVoice = false;
};

// The row of a radio type. A type the procedure does not know gets the
// protection values of type 0, no flash layout and no user-defined voice.
const RadioTraits& radioTraits(std::int32_t radioType);

// Flash address of a block kind for a radio type; 0 for any other type or
// kind.
std::uint32_t flashLayout(std::int32_t radioType, std::int32_t kind);
inline std::uint32_t flashLayout(std::int32_t radioType, BlockKind kind) {
    return flashLayout(radioType, static_cast<std::int32_t>(kind));
}

// Protection value that opens the flash for a user-defined voice.
inline constexpr std::uint16_t kUserVoiceUnlock = 0x3400;
// The longest user-defined voice a radio keeps.
inline constexpr std::uint32_t kMaxUserVoiceLength = 0xD800;

// The block kinds that live in the radio's memory (read and written with
// memory requests); the others live in flash.
constexpr bool isMemoryKind(std::int32_t kind) {
    return kind == static_cast<std::int32_t>(BlockKind::DYN) ||
           kind == static_cast<std::int32_t>(BlockKind::CH) ||
           kind == static_cast<std::int32_t>(BlockKind::FRE);
}

}  // namespace vkt
