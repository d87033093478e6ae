// The warnings `vkt package check` gives package makers per radio type.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "update/package_risks.h"

namespace vkt {
namespace {

using Ranges = std::map<std::int32_t, std::vector<UserInfoRange>>;

Cpg mapWithVoiceSize(std::uint32_t size) {
    Cpg map;
    const std::string text = fmt::format("VOICE ADDRESS = 830000 BSIZE = {:X}\n", size);
    EXPECT_TRUE(map.parseAddressMap(text.data(), text.size()));
    return map;
}

Ranges keepList(bool userVoice) {
    Ranges ranges;
    ranges[0].push_back({0x820000, 0x800, {}, {}});
    if (userVoice)
        ranges[9].push_back({0x117000, 0x2000, {}, {}});
    return ranges;
}

// "type: text" for each risk, in order.
std::vector<std::string> texts(const std::vector<PackageRisk>& risks) {
    std::vector<std::string> out;
    for (const PackageRisk& r : risks) {
        EXPECT_EQ(r.text.rfind(fmt::format("radio type {}: ", r.radioType), 0), 0u) << r.text;
        out.push_back(r.text);
    }
    return out;
}

TEST(RadioTraits, FlashLayoutAndProtectionOfEachType) {
    EXPECT_EQ(flashLayout(3, BlockKind::DEF), 0u);
    EXPECT_EQ(flashLayout(0xFF, BlockKind::VOI), 0u);
    EXPECT_EQ(flashLayout(-1, BlockKind::VOI), 0u);
    EXPECT_EQ(flashLayout(1, BlockKind::USERVOI), 0x117000u);
    EXPECT_EQ(flashLayout(0, BlockKind::USERVOI), 0u);
    EXPECT_EQ(flashLayout(2, BlockKind::DYN), 0x180000u);
    EXPECT_EQ(flashLayout(0, BlockKind::VOI), 0x65000u);
    EXPECT_EQ(flashLayout(1, 10), 0u);
    // A type the procedure does not know is opened and locked like type 0.
    EXPECT_EQ(radioTraits(7).firmwareUnlock, radioTraits(0).firmwareUnlock);
    EXPECT_EQ(radioTraits(7).lock, 0x440u);
    EXPECT_FALSE(radioTraits(7).keepsUserVoice);
    EXPECT_TRUE(radioTraits(2).keepsUserVoice);
}

TEST(PackageRisks, TheDefaultVoiceWindowCoversDynOrBakAndErasesTheUserVoice) {
    // The default VOI window (0xBD000 bytes) with a user-defined voice kept.
    const auto risks = texts(packageRisks(mapWithVoiceSize(0xBD000), keepList(true), true));
    const std::vector<std::string> expected = {
        "radio type 0: the voice block (flash 0x65000 to 0x121FFF) overlaps the DYN sector at "
        "0x70000",
        "radio type 0: the voice block (flash 0x65000 to 0x121FFF) overlaps the BAK block at "
        "0x69000",
        "radio type 0: an update that keeps the personality stops before it writes anything: "
        "the USERVOI range at 0x117000 is not this type's user-voice address (it has none)",
        "radio type 1: the voice block (flash 0x90000 to 0x14CFFF) overlaps the DYN sector at "
        "0xE0000",
        "radio type 1: the USERVOI range at 0x117000 (8192 bytes) overlaps the voice erase "
        "(flash 0x90000 to 0x14FFFF): the user-defined voice is erased and the update reports "
        "only a notice",
    };
    EXPECT_EQ(risks, expected);
}

TEST(PackageRisks, ASmallVoiceBlockAndAKeptPersonalityWarnOfNothingButType0sUserVoice) {
    // Up to 0x4000 bytes stay below type 0's BAK block; the erase of one
    // 64 KB block at 0x90000 ends before the user voice at 0x117000.
    EXPECT_TRUE(packageRisks(mapWithVoiceSize(0x4000), keepList(false), true).empty());
    const auto risks = packageRisks(mapWithVoiceSize(0x4000), keepList(true), true);
    ASSERT_EQ(risks.size(), 1u);
    EXPECT_EQ(risks[0].radioType, 0);
    // Without voice prompts nothing is written over DYN or BAK.
    EXPECT_TRUE(packageRisks(mapWithVoiceSize(0xBD000), keepList(false), false).empty());
}

TEST(PackageRisks, AnEmptyKeepListWarnsForEveryTypeWithItsDynSector) {
    const auto risks = texts(packageRisks(mapWithVoiceSize(0x1000), {}, true));
    const std::vector<std::string> expected = {
        "radio type 0: the package keeps no personality: the update still erases the DYN sector "
        "at 0x70000, and nothing is backed up",
        "radio type 1: the package keeps no personality: the update still erases the DYN sector "
        "at 0xE0000, and nothing is backed up",
        "radio type 2: the package keeps no personality: the update still erases the DYN sector "
        "at 0x180000, and nothing is backed up",
    };
    EXPECT_EQ(risks, expected);
}

}  // namespace
}  // namespace vkt
