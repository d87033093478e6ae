// What an update from a package would do to a radio of each type that the
// package's maker may not intend: the voice block written over the DYN or
// BAK area of that type's flash, a user-defined voice that the voice erase
// wipes by design, a user-voice range that makes the update stop, or a
// package that keeps no personality at all. The programming procedure runs
// such packages as they are; `vkt package check` warns about them, naming
// the radio type, so that a maker who knows the radios can act.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "package/cpg.h"
#include "package/package_config.h"
#include "update/radio_traits.h"

namespace vkt {

struct PackageRisk {
    std::int32_t radioType = 0;
    std::string text;
};

// The risks for radio types 0 to 2, in type order. `map` is the package's
// address map (its VOI and BAK windows); `keep` the configuration's
// user-info ranges; `writesVoice` whether the package carries voice
// prompts (so that the voice area is erased and written).
std::vector<PackageRisk> packageRisks(
    const Cpg& map, const std::map<std::int32_t, std::vector<UserInfoRange>>& keep,
    bool writesVoice);

}  // namespace vkt
