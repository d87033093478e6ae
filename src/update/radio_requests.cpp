#include "update/radio_requests.h"

#include <algorithm>

#include "core/error_stack.h"
#include "link/sbep.h"
#include "link/sbep_protocol.h"
#include "link/usb_serial.h"
#include "update/progress.h"
#include "update/radio_traits.h"

namespace vkt::requests {
namespace {

Answer answerOf(int result, std::uint8_t opcode, std::uint8_t expected) {
    if (result < 0)
        return Answer::None;
    return opcode == expected ? Answer::Accepted : Answer::Unexpected;
}

}  // namespace

Answer testModeAnswer(SBEP& engine, std::uint8_t mode, std::span<std::uint8_t> reply) {
    std::uint8_t opcode = 0;
    const int r = engine.testModeRequest(mode, 0, 0, opcode, reply);
    return answerOf(r, opcode, sbep::kReplyAccepted);
}

bool testMode(SBEP& engine, std::uint8_t mode, std::span<std::uint8_t> reply) {
    return testModeAnswer(engine, mode, reply) == Answer::Accepted;
}

bool lineRate(SBEP& engine, std::uint32_t rate, std::uint8_t flag, std::span<std::uint8_t> reply) {
    std::uint8_t opcode = sbep::kReplyAccepted;
    const int r = engine.setRadioBaudRate(rate, flag, opcode, reply);
    return r >= 0 && opcode == sbep::kReplyAccepted;
}

bool protection(SBEP& engine, std::uint16_t value, std::span<std::uint8_t> reply) {
    std::uint8_t opcode = 0;
    const int r = engine.protectionMode(value, opcode, reply);
    return r >= 0 && opcode == sbep::kReplyFlashDone;
}

Answer softportAnswer(SBEP& engine, std::uint8_t function, std::uint8_t value,
                      std::span<std::uint8_t> reply) {
    std::uint8_t opcode = 0;
    const int r = engine.softportWrite(function, value, 0, {}, opcode, reply);
    return answerOf(r, opcode, sbep::kReplyAccepted);
}

bool softport(SBEP& engine, std::uint8_t function, std::uint8_t value,
              std::span<std::uint8_t> reply) {
    return softportAnswer(engine, function, value, reply) == Answer::Accepted;
}

bool status(SBEP& engine, std::uint8_t selector, std::span<std::uint8_t> reply, int& result) {
    // The status reply has no opcode of its own to check.
    std::uint8_t opcode = 0;
    result = engine.statusRequest(selector, opcode, reply);
    return result >= 0;
}

bool readRadioType(SBEP& engine, std::span<std::uint8_t> reply, std::uint8_t& radioType) {
    std::fill(reply.begin(), reply.end(), 0);
    std::uint8_t opcode = 0;
    const int r = engine.testModeRequest(sbep::kTestModeRadioType, 0, 0, opcode, reply);
    if (r < 2 || opcode != sbep::kReplyAccepted || reply.size() < 2) {
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

bool returnHome(SBEP& engine, std::span<std::uint8_t> reply) {
    USBSerial& cable = engine.cable();
    // Where the radio is, is not known. Asking at 16406 first is cheap; a
    // rate switch sent to a radio that cannot hear it waits long for its
    // acknowledge.
    cable.setBaudRate(kSlowLineRate);
    int r = 0;
    if (status(engine, sbep::kStatusFlags, reply, r))
        return true;
    // No answer at 16406: the radio runs at 240000.
    if (!cable.setBaudRate(kFastLineRate))
        return false;
    if (lineRate(engine, kSlowLineRate, 1, reply))
        return true;
    cable.setBaudRate(kSlowLineRate);
    return false;
}

bool writeUserVoice(SBEP& engine, std::span<std::uint8_t> reply, std::uint32_t address,
                    std::span<const std::uint8_t> data, const UnitProgress& progress) {
    if (!testMode(engine, sbep::kTestModeRadioType, reply) ||
        !protection(engine, kUserVoiceUnlock, reply))
        return false;
    if (!lineRate(engine, kFastLineRate, 0, reply)) {
        // The switch may have taken effect on one side only.
        returnHome(engine, reply);
        return false;
    }
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
    if (!lineRate(engine, kSlowLineRate, 1, reply))
        ok = false;
    return ok;
}

}  // namespace vkt::requests
