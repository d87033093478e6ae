#include "update/transfer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/sbep.h"
#include "link/sbep_frame.h"

namespace vkt {
namespace {

constexpr std::size_t kFlashLeadingBytes = 2;

void report(const UnitProgress& progress, std::uint32_t k, std::uint32_t n) {
    if (progress)
        progress(k, n);
}

}  // namespace

bool BlockTransfer::readMemory(std::uint32_t address, std::span<std::uint8_t> out) {
    std::size_t remaining = out.size();
    std::uint32_t cursor = address;
    while (remaining > 0) {
        if (stopped())
            return false;
        const auto chunk =
            static_cast<std::uint8_t>(std::min<std::size_t>(remaining, sbep::kMaxMemPayload));
        std::uint32_t replyAddress = cursor;
        std::uint8_t opcode = 0;
        const int r = engine_.memRead(chunk, replyAddress, opcode, reply_);
        // Fewer than one byte fails; more than asked for would not fit the
        // caller's buffer and is not this request's answer either.
        if (r < 1 || static_cast<std::size_t>(r) > chunk)
            return false;
        std::copy_n(reply_.begin(), r,
                    out.begin() + static_cast<std::ptrdiff_t>(out.size() - remaining));
        cursor += static_cast<std::uint32_t>(r);
        remaining -= static_cast<std::size_t>(r);
    }
    return true;
}

bool BlockTransfer::writeMemory(std::uint32_t address, std::span<const std::uint8_t> data) {
    std::size_t remaining = data.size();
    std::uint32_t cursor = address;
    while (remaining > 0) {
        if (stopped())
            return false;
        const std::size_t chunk = std::min<std::size_t>(remaining, sbep::kMaxMemPayload);
        std::uint32_t replyAddress = cursor;
        std::uint8_t opcode = 0;
        const int r = engine_.memWrite(data.subspan(data.size() - remaining, chunk), replyAddress,
                                       opcode, reply_);
        if (r < 0 || opcode != sbep::kReplyMemWritten)
            return false;
        cursor += static_cast<std::uint32_t>(chunk);
        remaining -= chunk;
    }
    return true;
}

bool BlockTransfer::readFlash(std::uint32_t address, std::span<std::uint8_t> out,
                              const UnitProgress& progress) {
    std::size_t remaining = out.size();
    const std::uint32_t n = flashUnits(static_cast<std::uint32_t>(out.size()));
    std::uint32_t k = 0;
    std::uint32_t cursor = address;
    while (remaining > 0) {
        if (stopped())
            return false;
        const std::size_t chunk = std::min<std::size_t>(remaining, sbep::kMaxFlashChunk);
        std::uint8_t opcode = 0;
        const int r = engine_.readFlash(static_cast<std::uint32_t>(chunk), cursor, opcode, reply_);
        if (r < 0 || opcode != sbep::kReplyFlashDone)
            return false;
        // The reply must carry data after its two leading bytes, and no more
        // than was asked for.
        if (r < 3 || static_cast<std::size_t>(r) > chunk + kFlashLeadingBytes)
            return false;
        const std::size_t got = static_cast<std::size_t>(r) - kFlashLeadingBytes;
        std::copy_n(reply_.begin() + kFlashLeadingBytes, got,
                    out.begin() + static_cast<std::ptrdiff_t>(out.size() - remaining));
        cursor += static_cast<std::uint32_t>(got);
        remaining -= got;
        report(progress, ++k, n);
    }
    return true;
}

bool BlockTransfer::writeFlash(std::uint32_t address, std::span<const std::uint8_t> data,
                               const UnitProgress& progress) {
    std::size_t remaining = data.size();
    const std::uint32_t n = flashUnits(static_cast<std::uint32_t>(data.size()));
    std::uint32_t k = 0;
    std::uint32_t cursor = address;
    while (remaining > 0) {
        if (stopped())
            return false;
        const std::size_t chunk = std::min<std::size_t>(remaining, sbep::kMaxFlashChunk);
        std::uint8_t opcode = 0;
        const int r = engine_.writeFlash(data.subspan(data.size() - remaining, chunk), cursor,
                                         opcode, reply_);
        if (r < 0 || opcode != sbep::kReplyFlashDone)
            return false;
        cursor += static_cast<std::uint32_t>(chunk);
        remaining -= chunk;
        report(progress, ++k, n);
    }
    return true;
}

bool BlockTransfer::erase(std::uint8_t kind, std::uint32_t address) {
    if (stopped())
        return false;
    std::uint8_t opcode = 0;
    const int r = engine_.eraseFlash(kind, address, opcode, reply_);
    return r >= 0 && opcode == sbep::kReplyFlashDone;
}

bool BlockTransfer::eraseFirmwareArea(const UnitProgress& progress) {
    const std::uint32_t n = kFirmwareAreaEnd / kBlock64K;
    std::uint32_t k = 0;
    for (std::uint32_t address = 0; address < kFirmwareAreaEnd; address += kBlock64K) {
        if (!erase(sbep::kFlashErase64K, address))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        report(progress, ++k, n);
    }
    return true;
}

bool BlockTransfer::eraseVoiceArea(std::uint32_t start, std::uint32_t count,
                                   const UnitProgress& progress) {
    for (std::uint32_t k = 0; k < count; ++k) {
        if (!erase(sbep::kFlashErase64K, start + k * kBlock64K))
            return false;
        report(progress, k + 1, count);
    }
    return true;
}

bool BlockTransfer::eraseUserVoiceArea(std::uint32_t start, std::uint32_t count, int& failedIndex) {
    for (std::uint32_t k = 0; k < count; ++k) {
        if (!erase(sbep::kFlashErase4K, start + k * kSector4K)) {
            failedIndex = static_cast<int>(k);
            return false;
        }
    }
    return true;
}

}  // namespace vkt
