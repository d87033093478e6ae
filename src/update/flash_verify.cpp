#include "update/flash_verify.h"

#include <algorithm>

#include "core/error_stack.h"
#include "package/cpg.h"
#include "package/flash.h"
#include "update/package_images.h"
#include "update/progress.h"
#include "update/radio_traits.h"

namespace vkt {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

bool addWindow(const std::string& path, BlockKind kind, const Cpg& addressMap,
               std::uint8_t radioType, std::vector<FlashArea>& areas) {
    if (path.empty())
        return true;
    // A copy: reading a stream zeroes every block buffer of the map.
    Cpg map = addressMap;
    if (!loadStreamFile(path, map))
        return false;
    const auto bytes = windowBytes(map, kind);
    if (!bytes)
        return false;
    areas.push_back(
        {blockKindName(kind), flashLayout(radioType, kind), {bytes->begin(), bytes->end()}, {}});
    return true;
}

}  // namespace

std::uint64_t VerifyReport::bytesRead() const {
    std::uint64_t sum = 0;
    for (const AreaCheck& a : areas)
        sum += a.read;
    return sum;
}

bool VerifyReport::matches() const {
    return std::all_of(areas.begin(), areas.end(), [](const AreaCheck& a) { return a.matches(); });
}

bool expectedFlashAreas(const PackageAreaFiles& files, const Cpg& addressMap,
                        std::uint8_t radioType, std::vector<FlashArea>& areas) {
    areas.clear();
    if (!files.firmware.empty()) {
        Flash image;
        if (!loadFirmwareFile(files.firmware, image))
            return false;
        areas.push_back({"firmware", 0, image.data(), {}});
    }
    return addWindow(files.defaultBlock, BlockKind::DEF, addressMap, radioType, areas) &&
           addWindow(files.voice, BlockKind::VOI, addressMap, radioType, areas);
}

bool verifyFlashAreas(SBEP& engine, std::span<std::uint8_t> reply,
                      const std::vector<FlashArea>& areas, VerifyReport& report,
                      const UnitProgress& progress, const std::atomic<bool>* stop) {
    const auto start = Clock::now();
    report.areas.clear();
    std::uint32_t units = 0;
    for (const FlashArea& area : areas)
        units += chunkCount(static_cast<std::uint32_t>(area.expected.size()), kSector4K);
    std::uint32_t unit = 0;

    BlockTransfer xfer(engine, reply);
    xfer.setStop(stop);
    std::vector<std::uint8_t> piece(kSector4K);
    bool readable = true;
    for (const FlashArea& area : areas) {
        const auto areaStart = Clock::now();
        AreaCheck& check = report.areas.emplace_back();
        check.name = area.name;
        check.address = area.address;
        check.length = static_cast<std::uint32_t>(area.expected.size());
        // After a failed read the later areas are listed, not read.
        while (readable && check.read < check.length) {
            const std::uint32_t n = std::min<std::uint32_t>(check.length - check.read, kSector4K);
            const std::uint32_t address = area.address + check.read;
            const std::span<std::uint8_t> got = std::span(piece).first(n);
            if (!xfer.readFlash(address, got)) {
                // A read cut short by a stop request is the caller's to report.
                if (stop == nullptr || !stop->load())
                    raiseError(ErrorCategory::Flash,
                               "Error:the %s area could not be read back at address 0x%06X.",
                               area.name, address);
                readable = false;
                break;
            }
            const auto want = area.expected.begin() + check.read;
            for (std::uint32_t i = 0; i < n; ++i) {
                if (std::any_of(area.radioOwned.begin(), area.radioOwned.end(),
                                [a = address + i](const FlashRange& r) { return r.holds(a); }))
                    continue;
                ++check.compared;
                if (got[i] == want[i])
                    continue;
                if (!check.firstDifference)
                    check.firstDifference = address + i;
                ++check.differing;
            }
            check.read += n;
            if (progress)
                progress(++unit, units);
        }
        check.elapsed = since(areaStart);
        if (check.firstDifference) {
            raiseError(ErrorCategory::Flash,
                       "Error:the %s area differs from the update package at address 0x%06X "
                       "(%u of %u bytes differ).",
                       area.name, *check.firstDifference, check.differing, check.compared);
        }
    }
    report.elapsed = since(start);
    return report.matches();
}

}  // namespace vkt
