#include "update/radio_requests.h"

#include <algorithm>

#include "core/error_stack.h"
#include "link/sbep.h"
#include "update/progress.h"

namespace vkt::requests {
namespace {

constexpr std::uint8_t kAccepted = 0x8C;   // test mode, soft-port writes, line rate
constexpr std::uint8_t kFlashDone = 0x95;  // protection, erase, flash transfers
constexpr std::uint8_t kStatusReply = 0x90;

}  // namespace

bool testMode(SBEP& engine, std::uint8_t mode, std::span<std::uint8_t> reply) {
    std::uint8_t opcode = 0;
    const int r = engine.testModeRequest(mode, 0, 0, opcode, reply);
    return r >= 0 && opcode == kAccepted;
}

bool lineRate(SBEP& engine, std::uint32_t rate, std::uint8_t flag, std::span<std::uint8_t> reply) {
    std::uint8_t opcode = kAccepted;
    const int r = engine.setRadioBaudRate(rate, flag, opcode, reply);
    return r >= 0 && opcode == kAccepted;
}

bool protection(SBEP& engine, std::uint16_t value, std::span<std::uint8_t> reply) {
    std::uint8_t opcode = 0;
    const int r = engine.protectionMode(value, opcode, reply);
    return r >= 0 && opcode == kFlashDone;
}

bool softport(SBEP& engine, std::uint8_t function, std::uint8_t value,
              std::span<std::uint8_t> reply) {
    std::uint8_t opcode = 0;
    const int r = engine.softportWrite(function, value, 0, {}, opcode, reply);
    return r >= 0 && opcode == kAccepted;
}

bool status(SBEP& engine, std::uint8_t selector, std::span<std::uint8_t> reply, int& result) {
    std::uint8_t opcode = 0;
    result = engine.statusRequest(selector, opcode, reply);
    return result >= 0 && opcode == kStatusReply;
}

bool readRadioType(SBEP& engine, std::span<std::uint8_t> reply, std::uint8_t& radioType) {
    std::fill(reply.begin(), reply.end(), 0);
    std::uint8_t opcode = 0;
    const int r = engine.testModeRequest(8, 0, 0, opcode, reply);
    if (r < 2 || opcode != kAccepted || reply.size() < 2) {
        raiseErrorText(ErrorCategory::Update, "Error:failed to read the radio type.");
        return false;
    }
    radioType = reply[1];
    if (radioType > 2) {
        raiseError(ErrorCategory::Update, "Error:the radio type %d is not supported.", radioType);
        return false;
    }
    return true;
}

std::uint16_t lockValue(std::uint8_t radioType) {
    return radioType == 1 ? 0x840 : radioType == 2 ? 0x1040 : 0x440;
}

bool writeUserVoice(SBEP& engine, std::span<std::uint8_t> reply, std::uint32_t address,
                    std::span<const std::uint8_t> data, const UnitProgress& progress) {
    if (!testMode(engine, 8, reply) || !protection(engine, 0x3400, reply) ||
        !lineRate(engine, kWorkRate, 0, reply))
        return false;
    BlockTransfer xfer(engine, reply);
    bool ok = true;
    int failedIndex = -1;
    const std::uint32_t sectors = chunkCount(static_cast<std::uint32_t>(data.size()), kSector4K);
    if (!xfer.eraseUserVoiceArea(address, sectors, failedIndex)) {
        raiseError(ErrorCategory::Update, "Error:failed to erase user-defined voice sector [%d].",
                   failedIndex);
        ok = false;
    }
    if (ok && !xfer.writeFlash(address, data, progress)) {
        raiseError(ErrorCategory::Update, "Error:failed to write block [%s]", "USERVOI");
        ok = false;
    }
    // The radio goes back to its own line rate whatever happened.
    if (!lineRate(engine, kHomeRate, 1, reply))
        ok = false;
    return ok;
}

}  // namespace vkt::requests
