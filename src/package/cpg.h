// The address map of a radio's codeplug: one window per block kind in the
// radio's memory address space, moved or shrunk by an address-map text, and
// the block buffers that a codeplug stream (S-record text) fills.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vkt {

enum class BlockKind : std::int32_t {
    DYN = 0,
    STA = 1,
    ERG = 2,
    FAC = 3,
    DEF = 4,
    BAK = 5,
    CH = 6,
    FRE = 7,
    VOI = 8,
    USERVOI = 9,
};
inline constexpr int kBlockKindCount = 10;

// "DYN", "STA", ... "USERVOI"; "" for a number outside 0..9.
const char* blockKindName(std::int32_t kind);
inline const char* blockKindName(BlockKind kind) {
    return blockKindName(static_cast<std::int32_t>(kind));
}

struct CpgBlock {
    std::int32_t kind = 0;
    std::uint32_t address = 0;       // first address of the window
    std::uint32_t size = 0;          // window length, and the length of data once filled
    std::vector<std::uint8_t> data;  // empty until the first codeplug stream was read
};

class Cpg {
  public:
    Cpg();
    virtual ~Cpg() = default;

    // Applies an address-map text: section keywords (DYN_START, CH_INFO_START,
    // FREQ_START, STATIC_START, ERGO_START, FACT_START, DEF_FREQ, BACKUP_FACT,
    // VOICE) select a block, "ADDRESS [=] hex" moves its window and "BSIZE [=]
    // hex" shrinks it (windows never grow). False for an empty text or a value
    // that is no hexadecimal number; pushes nothing.
    bool parseAddressMap(const char* text, std::size_t length);
    bool parseAddressMap(std::string_view text) {
        return parseAddressMap(text.data(), text.size());
    }

    // Reads S-records into the block buffers (every buffer is zeroed first).
    // Pushes "Error:failed to parse CPG stream." (CPG) on a malformed record.
    bool parseStream(const std::uint8_t* bytes, std::size_t length);
    bool parseStream(std::span<const std::uint8_t> bytes) {
        return parseStream(bytes.data(), bytes.size());
    }

    const CpgBlock& block(BlockKind kind) const { return blocks_[static_cast<std::size_t>(kind)]; }
    const CpgBlock& block(std::int32_t kind) const {
        return blocks_.at(static_cast<std::size_t>(kind));
    }

  private:
    void route(std::uint32_t address, const std::uint8_t* data, std::size_t length);

    std::array<CpgBlock, kBlockKindCount> blocks_;
};

}  // namespace vkt
