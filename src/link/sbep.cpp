#include "link/sbep.h"

#include <algorithm>
#include <array>

#include "core/error_stack.h"
#include "link/sbep_frame.h"

namespace vkt {
namespace {

// The echo probe: a short frame without data that no radio answers.
constexpr std::array<std::uint8_t, 3> kEchoProbe = {0xF1, sbep::kOpEchoProbe, 0xCE};
static_assert(kEchoProbe[2] == 255 - ((kEchoProbe[0] + kEchoProbe[1]) & 0xFF));
constexpr const char* kSoftportFailure = "Error:failed to do softport wirte.";

void putAddress(std::vector<std::uint8_t>& data, std::uint32_t address) {
    data.push_back(static_cast<std::uint8_t>((address >> 16) & 0xFF));
    data.push_back(static_cast<std::uint8_t>((address >> 8) & 0xFF));
    data.push_back(static_cast<std::uint8_t>(address & 0xFF));
}

}  // namespace

SBEP::SBEP(USBSerial& cable) : cable_(cable), receive_(sbep::kReceiveBufferSize, 0) {}

std::uint8_t SBEP::checksum(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr)
        return 255;
    return sbep::checksum(std::span<const std::uint8_t>(bytes, length));
}

bool SBEP::usable() const {
    return cable_.isOpen() && cable_.lastStatus() == kCableOk;
}

int SBEP::readWithTrials(std::size_t count, std::uint8_t* destination) {
    if (usable() && destination != nullptr) {
        for (int i = 0; i < trials_; ++i) {
            if (cable_.read(destination, count) == count)
                return static_cast<int>(count);
            if (!usable())
                break;
        }
    }
    raiseError(ErrorCategory::Prot, "Error:failed to read port for %d bytes after %d trials.",
               count, trials_);
    return -1;
}

int SBEP::writeWithTrials(const std::uint8_t* bytes, std::size_t count) {
    if (!usable() || bytes == nullptr)
        return -1;
    for (int i = 0; i < trials_; ++i) {
        if (cable_.write(bytes, count) == count) {
            if (echoFlag_) {
                // The cable hands every sent byte back; read them off the line
                // so the reply parser starts at the acknowledge.
                if (echo_.size() < count)
                    echo_.resize(count);
                readWithTrials(count, echo_.data());
            }
            return static_cast<int>(count);
        }
    }
    raiseError(ErrorCategory::Prot, "Error:failed to write port with %d bytes after %d trials.",
               count, trials_);
    return -1;
}

int SBEP::transact(const std::uint8_t* frame, std::size_t frameLength, std::uint32_t& address,
                   std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData) {
    const int savedTrials = trials_;
    const int savedAckTrials = ackTrials_;
    int result = -1;
    if (usable() && frame != nullptr && frameLength > 0) {
        std::uint8_t opcode = frame[0] >> 4;
        if (frame[0] >= 0xF0)
            opcode = frameLength > 1 ? frame[1] : 0;
        cable_.purge(kPurgeRx | kPurgeTx);
        if (opcode == sbep::kOpFlash) {
            cable_.setTimeouts(300, 3000);
        } else if (opcode == sbep::kOpStatus) {
            trials_ = 500;
            ackTrials_ = 4;
            cable_.setTimeouts(300, 200);
        } else if (opcode == sbep::kOpRadioInfo) {
            ackTrials_ = 1;
            cable_.setTimeouts(100, 300);
        } else if (opcode == sbep::kOpSoftport && frameLength > 4 &&
                   (frame[4] == sbep::kSoftportCommitDefault ||
                    frame[4] == sbep::kSoftportLineRate)) {
            // Sub-functions that make the radio work a while before it
            // answers: long wait for the acknowledge, time-outs unchanged.
            ackTrials_ = 100;
        } else {
            cable_.setTimeouts(250, 300);
        }
        if (writeWithTrials(frame, frameLength) == static_cast<int>(frameLength)) {
            result = parseReply(address, replyOpcode, replyData);
        }
    }
    trials_ = savedTrials;
    ackTrials_ = savedAckTrials;
    return result;
}

int SBEP::parseReply(std::uint32_t& address, std::uint8_t& replyOpcode,
                     std::span<std::uint8_t> replyData) {
    address = 0;
    replyOpcode = 0;
    const int exchangeTrials = trials_;
    trials_ = ackTrials_;
    std::size_t received = 0;
    std::uint8_t byte = 0;
    // Every byte lands in the bounded receive buffer; a reply that does not
    // fit, garbage included, is a protocol error.
    auto next = [&]() -> bool {
        if (received >= receive_.size())
            return false;
        if (readWithTrials(1, &receive_[received]) != 1)
            return false;
        answered_ = true;
        byte = receive_[received++];
        return true;
    };
    auto fail = [&]() {
        trials_ = exchangeTrials;
        return -1;
    };

    if (!next())
        return fail();
    if (byte != sbep::kAck) {
        replyOpcode = sbep::kNoAckOpcode;
        return fail();
    }
    // The frame itself goes through the shared decoder. The acknowledge,
    // the header and the opcode are waited for with ackTrials; once a byte
    // has been skipped as garbage, or the opcode is in, reads go back to the
    // exchange's trials. Address and data are handed out as they arrive.
    decoder_.reset();
    bool addressed = false;
    std::size_t stored = 0;
    for (;;) {
        if (!next())
            return fail();
        const auto before = decoder_.state();
        const auto state = decoder_.feed(byte);
        using State = sbep::FrameDecoder::State;
        if (state == State::Failed)
            return fail();
        if (state == State::Done)
            break;
        if (state == State::Header) {
            trials_ = exchangeTrials;
        } else if (before == State::Opcode) {
            replyOpcode = decoder_.opcode();
            addressed = sbep::replyHasAddress(replyOpcode);
            trials_ = exchangeTrials;
        } else if (before == State::Body) {
            // An addressed reply's first four data bytes are its address.
            if (addressed && decoder_.data().size() <= 4) {
                address = (address << 8) | byte;
            } else {
                if (stored >= replyData.size())
                    return fail();
                replyData[stored++] = byte;
            }
        }
    }
    trials_ = exchangeTrials;
    return static_cast<int>(stored);
}

void SBEP::discardLateReply() {
    // One read time-out of quiet ends the wait; the receive buffer bounds it.
    while (cable_.read(receive_.data(), receive_.size()) == receive_.size()) {
    }
    cable_.purge(kPurgeRx);
}

EchoResult SBEP::detectEcho() {
    if (!usable())
        return EchoResult::Undecided;
    cable_.setTimeouts(20, 300);
    for (int i = 0; i < trials_; ++i) {
        cable_.purge(kPurgeRx | kPurgeTx);
        if (cable_.write(kEchoProbe.data(), kEchoProbe.size()) != kEchoProbe.size())
            continue;
        if (readWithTrials(kEchoProbe.size(), receive_.data()) !=
            static_cast<int>(kEchoProbe.size())) {
            echoFlag_ = false;
            return EchoResult::Silent;
        }
        if (std::equal(kEchoProbe.begin(), kEchoProbe.end(), receive_.begin())) {
            cable_.purge(kPurgeRx | kPurgeTx);
            echoFlag_ = true;
            return EchoResult::Echoes;
        }
    }
    return EchoResult::Undecided;
}

template <typename Judge>
int SBEP::attempts(const std::vector<std::uint8_t>& frame, std::uint32_t& address,
                   std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData, Judge judge,
                   bool& succeeded, Resend resend) {
    succeeded = false;
    answered_ = false;
    int result = -1;
    const int count = trials_;
    for (int i = 0; i < count; ++i) {
        result = transact(frame.data(), frame.size(), address, replyOpcode, replyData);
        Verdict verdict = judge(result, replyOpcode);
        // A whole reply that is not this request's answer can be the late
        // answer to an earlier attempt (it arrived after the purge); the
        // radio answers in order, so this request's answer may follow it.
        // Read on before sending again: a second send could reach a radio
        // that already acted on the first (a line-rate switch, for one).
        // When nothing more comes, the last whole reply stands as the answer.
        for (int late = 0; late < kLateReplies && verdict == Verdict::Retry && result >= 0;
             ++late) {
            const std::uint32_t lastAddress = address;
            const std::uint8_t lastOpcode = replyOpcode;
            const int next = parseReply(address, replyOpcode, replyData);
            if (next < 0) {
                address = lastAddress;
                replyOpcode = lastOpcode;
                break;
            }
            result = next;
            verdict = judge(result, replyOpcode);
        }
        if (verdict == Verdict::Success) {
            succeeded = true;
            // A retry that succeeded may have taken the first attempt's late
            // answer; its own answer would then be taken for the next
            // request's. Let it arrive and drop it.
            if (i > 0)
                discardLateReply();
            return result;
        }
        if (verdict == Verdict::Stop)
            return result;
        // A failed attempt leaves no port errors behind.
        removeErrors(ErrorCategory::Prot);
        if (resend == Resend::WhileUnanswered && answered_)
            break;
    }
    return result;
}

int SBEP::expectOpcode(const std::vector<std::uint8_t>& frame, std::uint8_t expected, int minResult,
                       const char* failureMessage, std::uint8_t& replyOpcode,
                       std::span<std::uint8_t> replyData, Resend resend) {
    std::uint32_t address = 0;
    bool ok = false;
    const int result = attempts(
        frame, address, replyOpcode, replyData,
        [&](int r, std::uint8_t op) {
            return r >= minResult && op == expected ? Verdict::Success : Verdict::Retry;
        },
        ok, resend);
    if (replyOpcode != expected)
        raiseError(ErrorCategory::Sbep, "%s", failureMessage);
    return result;
}

int SBEP::readRadioInfo(std::uint8_t item, std::uint8_t& replyOpcode,
                        std::span<std::uint8_t> replyData) {
    if (!usable())
        return -1;
    const std::uint8_t data[] = {item};
    const auto frame = sbep::encodeFrame(sbep::kOpRadioInfo, data);
    std::uint32_t address = 0;
    bool ok = false;
    return attempts(
        frame, address, replyOpcode, replyData,
        [](int r, std::uint8_t) { return r > 0 ? Verdict::Success : Verdict::Retry; }, ok);
}

int SBEP::statusRequest(std::uint8_t selector, std::uint8_t& replyOpcode,
                        std::span<std::uint8_t> replyData) {
    if (!usable())
        return -1;
    const std::uint8_t data[] = {selector};
    const auto frame = sbep::encodeFrame(sbep::kOpStatus, data, false);
    std::uint32_t address = 0;
    bool ok = false;
    return attempts(
        frame, address, replyOpcode, replyData,
        [](int r, std::uint8_t) { return r >= 0 ? Verdict::Success : Verdict::Retry; }, ok);
}

int SBEP::memRead(std::uint8_t count, std::uint32_t& address, std::uint8_t& replyOpcode,
                  std::span<std::uint8_t> replyData) {
    if (count == 0 || count > maxPayload_ || !usable())
        return -1;
    std::vector<std::uint8_t> data{count};
    putAddress(data, address);
    const auto frame = sbep::encodeFrame(sbep::kOpMemRead, data, false);
    const std::uint32_t requested = address;
    bool ok = false;
    return attempts(
        frame, address, replyOpcode, replyData,
        [&address, requested](int r, std::uint8_t) {
            return r > 0 && memoryReplyAnswers(address, requested) ? Verdict::Success
                                                                   : Verdict::Retry;
        },
        ok);
}

int SBEP::memWrite(std::span<const std::uint8_t> bytes, std::uint32_t& address,
                   std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData) {
    if (bytes.size() > maxPayload_ || !usable())
        return -1;
    std::vector<std::uint8_t> data{0x00};
    putAddress(data, address);
    data.insert(data.end(), bytes.begin(), bytes.end());
    const auto frame = sbep::encodeFrame(sbep::kOpMemWrite, data, false);
    const std::uint32_t requested = address;
    bool ok = false;
    const int result = attempts(
        frame, address, replyOpcode, replyData,
        [&address, requested](int r, std::uint8_t op) {
            if (r < 0)
                return Verdict::Retry;
            if (op != sbep::kReplyMemWritten)
                return Verdict::Stop;
            return memoryReplyAnswers(address, requested) ? Verdict::Success : Verdict::Retry;
        },
        ok);
    if (!ok)
        raiseError(ErrorCategory::Sbep, "Error:failed to do memWrite.");
    return result;
}

int SBEP::testModeRequest(std::uint8_t mode, std::uint8_t p0, std::uint8_t p1,
                          std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData) {
    if (!usable())
        return -1;
    const std::uint8_t data[] = {mode, p0, p1};
    return expectOpcode(sbep::encodeFrame(sbep::kOpTestMode, data), sbep::kReplyAccepted, 0,
                        "Error:failed to request for test mode.", replyOpcode, replyData);
}

int SBEP::softportWrite(std::uint8_t f, std::uint8_t v, std::uint8_t w,
                        std::span<const std::uint8_t> payload, std::uint8_t& replyOpcode,
                        std::span<std::uint8_t> replyData) {
    // The frame's size is one byte: payload + 5 must stay below 256.
    if (payload.size() > kMaxSoftportPayload || !usable())
        return -1;
    return expectOpcode(softportFrame(f, v, w, payload), sbep::kReplyAccepted, 0, kSoftportFailure,
                        replyOpcode, replyData);
}

std::vector<std::uint8_t> SBEP::softportFrame(std::uint8_t f, std::uint8_t v, std::uint8_t w,
                                              std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> data{f, v, 0x00, w};
    data.insert(data.end(), payload.begin(), payload.end());
    return sbep::encodeFrame(sbep::kOpSoftport, data, false);
}

int SBEP::factoryBlockBackup(std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData) {
    replyOpcode = sbep::kNoAckOpcode;
    if (!usable())
        return -1;
    const std::uint8_t data[] = {sbep::kSoftportFactoryBackup, 0x00, 0x00, 0x00};
    return expectOpcode(sbep::encodeFrame(sbep::kOpSoftport, data), sbep::kReplyAccepted, 0,
                        "Error:failed to request to do factory block backup.", replyOpcode,
                        replyData);
}

int SBEP::updateSN(std::span<const std::uint8_t> serial10, std::uint8_t& replyOpcode,
                   std::span<std::uint8_t> replyData) {
    if (serial10.size() != 10 || !usable())
        return -1;
    std::vector<std::uint8_t> data(sbep::kSerialTarget.begin(), sbep::kSerialTarget.end());
    data.insert(data.end(), serial10.begin(), serial10.end());
    const auto frame = sbep::encodeFrame(sbep::kOpUpdateSerial, data);
    std::uint32_t address = 0;
    bool ok = false;
    const int result = attempts(
        frame, address, replyOpcode, replyData,
        [](int r, std::uint8_t) { return r >= 0 ? Verdict::Success : Verdict::Retry; }, ok);
    if (replyOpcode != sbep::kReplyAccepted)
        raiseError(ErrorCategory::Sbep, "Error:failed to request to update SN.");
    return result;
}

int SBEP::protectionMode(std::uint16_t value, std::uint8_t& replyOpcode,
                         std::span<std::uint8_t> replyData) {
    if (!usable())
        return -1;
    const std::uint8_t data[] = {sbep::kFlashProtection, 0x00,
                                 static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value & 0xFF)};
    return expectOpcode(sbep::encodeFrame(sbep::kOpFlash, data), sbep::kReplyFlashDone, 0,
                        "Error:failed to request for protection model.", replyOpcode, replyData);
}

int SBEP::eraseFlash(std::uint8_t sub, std::uint32_t address, std::uint8_t& replyOpcode,
                     std::span<std::uint8_t> replyData) {
    if (!usable())
        return -1;
    std::vector<std::uint8_t> data{sub};
    putAddress(data, address);
    return expectOpcode(sbep::encodeFrame(sbep::kOpFlash, data, false), sbep::kReplyFlashDone, 0,
                        "Error:failed to request for erase falsh.", replyOpcode, replyData);
}

int SBEP::readFlash(std::uint32_t count, std::uint32_t address, std::uint8_t& replyOpcode,
                    std::span<std::uint8_t> replyData) {
    if (!usable())
        return -1;
    count = std::min<std::uint32_t>(count, sbep::kMaxFlashChunk);
    std::vector<std::uint8_t> data{sbep::kFlashRead};
    putAddress(data, address);
    data.push_back(static_cast<std::uint8_t>(count >> 8));
    data.push_back(static_cast<std::uint8_t>(count & 0xFF));
    return expectOpcode(sbep::encodeFrame(sbep::kOpFlash, data, false), sbep::kReplyFlashDone, 1,
                        "Error:failed to request to do falsh read.", replyOpcode, replyData);
}

int SBEP::writeFlash(std::span<const std::uint8_t> bytes, std::uint32_t address,
                     std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData) {
    const std::size_t length = std::min(bytes.size(), sbep::kMaxFlashChunk);
    int result = -1;
    if (usable()) {
        std::vector<std::uint8_t> data{sbep::kFlashWrite};
        putAddress(data, address);
        data.insert(data.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        const auto frame = sbep::encodeFrame(sbep::kOpFlash, data, false);
        std::uint32_t replyAddress = 0;
        bool ok = false;
        result = attempts(
            frame, replyAddress, replyOpcode, replyData,
            [](int r, std::uint8_t op) {
                return r >= 0 && op == sbep::kReplyFlashDone ? Verdict::Success : Verdict::Retry;
            },
            ok);
        if (ok)
            return result;
    }
    raiseError(ErrorCategory::Sbep,
               "Error:failed to request to write flash with %d bytes after %d trials. The last "
               "OPC is %d.",
               length + 9, trials_, replyOpcode);
    return result;
}

int SBEP::setRadioBaudRate(std::uint32_t rate, std::uint8_t w, std::uint8_t& replyOpcode,
                           std::span<std::uint8_t> replyData) {
    if (!usable())
        return -1;
    if (rate == cable_.baudRate())
        return 0;
    const std::uint8_t payload[] = {
        static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>((rate >> 16) & 0xFF),
        static_cast<std::uint8_t>((rate >> 8) & 0xFF), static_cast<std::uint8_t>(rate & 0xFF)};
    const auto frame = softportFrame(sbep::kSoftportLineRate, 0, w, payload);
    int result = -1;
    for (int i = 0; i < trials_; ++i) {
        result = expectOpcode(frame, sbep::kReplyAccepted, 0, kSoftportFailure, replyOpcode,
                              replyData, Resend::WhileUnanswered);
        if (result >= 0)
            break;
        removeErrors(ErrorCategory::Prot);
        if (answered_)
            break;
    }
    if (result < 0)
        return result;
    // The rate switch waits in the back-end until the request has left.
    if (!cable_.setBaudRate(rate))
        return -1;
    return result;
}

}  // namespace vkt
