// Reading flash back and comparing it with what the update package puts
// there. Used after writing, inside a programming run, and on its own to
// check a radio without changing it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "update/transfer.h"

namespace vkt {

class Cpg;
class SBEP;

struct FlashRange {
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    bool holds(std::uint32_t a) const { return a >= address && a - address < length; }
};

// One flash area and the bytes it must hold.
struct FlashArea {
    std::string name;  // "firmware", "DEF" or "VOI"
    std::uint32_t address = 0;
    std::vector<std::uint8_t> expected;
    // Parts of the area that hold the radio's own data (its user-defined
    // voice): read, but not compared.
    std::vector<FlashRange> radioOwned;
};

// What reading one area back found.
struct AreaCheck {
    std::string name;
    std::uint32_t address = 0;
    std::uint32_t length = 0;    // bytes the area must hold
    std::uint32_t read = 0;      // bytes read back
    std::uint32_t compared = 0;  // of those, compared (the radio's own are not)
    std::uint32_t differing = 0;
    std::optional<std::uint32_t> firstDifference;  // flash address
    std::chrono::milliseconds elapsed{0};
    // Every byte was read back and equals the package's.
    bool matches() const { return read == length && differing == 0; }
};

struct VerifyReport {
    std::vector<AreaCheck> areas;
    std::chrono::milliseconds elapsed{0};
    std::uint64_t bytesRead() const;
    bool matches() const;  // every area matches
};

// The package files whose areas are checked; an empty path skips its area.
struct PackageAreaFiles {
    std::string firmware;
    std::string defaultBlock;
    std::string voice;
};

// Prepares the areas the package writes on a radio of `radioType`: the
// firmware area for the image's length, the DEF and VOI windows of
// `addressMap` (which must hold the package's address map; it is not
// changed). The bytes come from the same preparation the programming run
// writes them with. False when a file cannot be loaded (its message is on
// the error stack).
bool expectedFlashAreas(const PackageAreaFiles& files, const Cpg& addressMap,
                        std::uint8_t radioType, std::vector<FlashArea>& areas);

// Reads every area back with flash reads of up to 4096 bytes and compares.
// Reading goes on past a difference, so each area reports all it found; it
// stops at the first read that fails (the later areas are listed unread).
// Pushes FLASH messages for an area that differs or cannot be read. While
// `*stop` is true no further read goes out (null: never). True when every
// area matches.
bool verifyFlashAreas(SBEP& engine, std::span<std::uint8_t> reply,
                      const std::vector<FlashArea>& areas, VerifyReport& report,
                      const UnitProgress& progress = {}, const std::atomic<bool>* stop = nullptr);

}  // namespace vkt
