// Chunked transfers between the PC and the radio: memory reads and writes
// of at most 200 bytes a request, flash reads and writes of at most 4096
// bytes a request, and the erase runs. Each stops at its first failed
// request and reports failure; the caller pushes the step's own message.
//
// A request counts as failed when its result is negative or when the radio
// answered with another opcode than the one the request expects: such a
// reply carries the request's own message on the error stack and must not
// be taken for success.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>

namespace vkt {

class SBEP;

// Called after unit k (1-based) of n of a transfer that reports progress.
using UnitProgress = std::function<void(std::uint32_t k, std::uint32_t n)>;

inline constexpr std::uint32_t kSector4K = 0x1000;
inline constexpr std::uint32_t kBlock64K = 0x10000;
inline constexpr std::uint32_t kFirmwareAreaEnd = 0x60000;

class BlockTransfer {
  public:
    // `reply` is the run's reply buffer; it must hold the largest reply
    // (4109 bytes).
    BlockTransfer(SBEP& engine, std::span<std::uint8_t> reply) : engine_(engine), reply_(reply) {}

    // READ MEMORY BLOCK: memRead in chunks of up to 200 bytes.
    bool readMemory(std::uint32_t address, std::span<std::uint8_t> out);
    // WRITE MEMORY BLOCK: memWrite in chunks of up to 200 bytes.
    bool writeMemory(std::uint32_t address, std::span<const std::uint8_t> data);
    // READ FLASH BLOCK: readFlash in chunks of up to 4096 bytes; each reply
    // carries two leading bytes before its data.
    bool readFlash(std::uint32_t address, std::span<std::uint8_t> out,
                   const UnitProgress& progress = {});
    // WRITE FLASH BLOCK: writeFlash in chunks of up to 4096 bytes.
    bool writeFlash(std::uint32_t address, std::span<const std::uint8_t> data,
                    const UnitProgress& progress = {});
    // ERASE FIRMWARE AREA: six 64 KB erases from 0, 1 ms pause after each.
    bool eraseFirmwareArea(const UnitProgress& progress = {});
    // ERASE VOICE AREA: `count` 64 KB erases from `start`.
    bool eraseVoiceArea(std::uint32_t start, std::uint32_t count,
                        const UnitProgress& progress = {});
    // ERASE USER VOICE AREA: `count` 4 KB erases from `start`; on failure
    // `failedIndex` is the 0-based index of the erase that failed.
    bool eraseUserVoiceArea(std::uint32_t start, std::uint32_t count, int& failedIndex);

    // One erase of the given kind (4 KB sector or 64 KB block).
    bool erase(std::uint8_t kind, std::uint32_t address);

    // While `*stop` is true no further request goes out: the transfer in
    // progress ends at its next request, as failed. Not owned; null: never.
    void setStop(const std::atomic<bool>* stop) { stop_ = stop; }

  private:
    bool stopped() const { return stop_ != nullptr && stop_->load(); }

    SBEP& engine_;
    std::span<std::uint8_t> reply_;
    const std::atomic<bool>* stop_ = nullptr;
};

// Number of progress units of a flash transfer of `length` bytes.
inline std::uint32_t flashUnits(std::uint32_t length) {
    return (length + 4095) / 4096;
}

}  // namespace vkt
