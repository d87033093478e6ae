#include "update/package_risks.h"

#include <fmt/format.h>

#include "update/progress.h"
#include "update/transfer.h"

namespace vkt {

namespace {

// A flash range [start, end).
struct Range {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool overlaps(const Range& other) const { return start < other.end && other.start < end; }
    bool inside(const Range& other) const { return start >= other.start && end <= other.end; }
    std::string text() const { return fmt::format("0x{:X} to 0x{:X}", start, end - 1); }
};

}  // namespace

std::vector<PackageRisk> packageRisks(
    const Cpg& map, const std::map<std::int32_t, std::vector<UserInfoRange>>& keep,
    bool writesVoice) {
    std::vector<PackageRisk> risks;
    const CpgBlock& voi = map.block(BlockKind::VOI);
    const CpgBlock& bak = map.block(BlockKind::BAK);
    const auto userVoice = keep.find(static_cast<std::int32_t>(BlockKind::USERVOI));
    for (std::int32_t type = 0; type < kRadioTypes; ++type) {
        const auto add = [&risks, type](std::string text) {
            risks.push_back({type, fmt::format("radio type {}: {}", type, text)});
        };
        const std::uint64_t voiStart = flashLayout(type, BlockKind::VOI);
        const Range written{voiStart, voiStart + voi.size};
        const Range erased{voiStart,
                           voiStart + std::uint64_t{chunkCount(voi.size, kBlock64K)} * kBlock64K};
        const std::uint64_t dyn = flashLayout(type, BlockKind::DYN);
        const Range dynSector{dyn, dyn + kBlock64K};
        const std::uint64_t bakStart = flashLayout(type, BlockKind::BAK);
        const Range bakArea{bakStart, bakStart + bak.size};
        if (writesVoice && voi.size > 0) {
            if (written.overlaps(dynSector)) {
                add(fmt::format("the voice block (flash {}) overlaps the DYN sector at 0x{:X}",
                                written.text(), dyn));
            }
            if (written.overlaps(bakArea)) {
                add(fmt::format("the voice block (flash {}) overlaps the BAK block at 0x{:X}",
                                written.text(), bakStart));
            }
        }
        if (userVoice != keep.end()) {
            for (const UserInfoRange& range : userVoice->second) {
                const auto address = static_cast<std::uint32_t>(range.address);
                const Range user{address,
                                 std::uint64_t{address} + static_cast<std::uint32_t>(range.length)};
                const std::uint32_t own = flashLayout(type, BlockKind::USERVOI);
                if (!radioTraits(type).keepsUserVoice && address != own) {
                    add(fmt::format(
                        "an update that keeps the personality stops before it writes anything: "
                        "the USERVOI range at 0x{:X} is not this type's user-voice address ({})",
                        address,
                        own == 0 ? std::string("it has none") : fmt::format("0x{:X}", own)));
                } else if (!radioTraits(type).keepsUserVoice && writesVoice &&
                           user.overlaps(erased)) {
                    add(
                        fmt::format("the USERVOI range at 0x{:X} ({} bytes) overlaps the voice "
                                    "erase (flash {}): the user-defined voice is erased and the "
                                    "update reports only a notice",
                                    address, range.length, erased.text()));
                }
            }
        }
        if (keep.empty()) {
            add(
                fmt::format("the package keeps no personality: the update still erases the DYN "
                            "sector at 0x{:X}, and nothing is backed up",
                            dyn));
        }
    }
    return risks;
}

}  // namespace vkt
