#include "update/radio_traits.h"

#include "link/sbep_protocol.h"

namespace vkt {
namespace {

// Flash addresses in BlockKind order:
//            DYN       STA      ERG      FAC      DEF      BAK      CH FRE VOI      USERVOI
constexpr std::array<RadioTraits, kRadioTypes> kTraits = {{
    {.firmwareUnlock = 0x800,
     .blocksUnlock = 0x840,
     .lock = 0x440,
     .flash = {0x70000, 0x62000, 0x61000, 0x63000, 0x64000, 0x69000, 0, 0, 0x65000, 0},
     .defaultErase = sbep::kFlashErase4K,
     .dynamicErase = sbep::kFlashErase64K,
     .keepsUserVoice = false},
    {.firmwareUnlock = 0x1000,
     .blocksUnlock = 0x3000,
     .lock = 0x840,
     .flash = {0xE0000, 0x82000, 0x81000, 0x83000, 0x84000, 0x89000, 0, 0, 0x90000, 0x117000},
     .defaultErase = sbep::kFlashErase4K,
     .dynamicErase = sbep::kFlashErase64K,
     .keepsUserVoice = false},
    {.firmwareUnlock = 0x3040,
     .blocksUnlock = 0x3000,
     .lock = 0x1040,
     .flash = {0x180000, 0x82000, 0x81000, 0x83000, 0x84000, 0x89000, 0, 0, 0x90000, 0x117000},
     .defaultErase = sbep::kFlashErase4K,
     .dynamicErase = sbep::kFlashErase64K,
     .keepsUserVoice = true},
}};

// A type the procedure does not know: type 0's protection values, nothing
// in flash.
constexpr RadioTraits kOtherType = [] {
    RadioTraits t = kTraits[0];
    t.flash = {};
    return t;
}();

}  // namespace

const RadioTraits& radioTraits(std::int32_t radioType) {
    if (radioType < 0 || radioType >= kRadioTypes)
        return kOtherType;
    return kTraits[static_cast<std::size_t>(radioType)];
}

std::uint32_t flashLayout(std::int32_t radioType, std::int32_t kind) {
    if (kind < 0 || kind >= kBlockKindCount)
        return 0;
    return radioTraits(radioType).flash[static_cast<std::size_t>(kind)];
}

}  // namespace vkt
