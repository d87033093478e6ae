#include "sim/radio_faults.h"

#include <chrono>
#include <utility>

namespace vkt::sim {

namespace {

std::uint8_t xorMask(const Fault& f) {
    return static_cast<std::uint8_t>(f.value ? f.value : 0x55);
}

bool covers(const Fault& f, std::uint64_t request) {
    return f.trigger == FaultTrigger::Request && request >= f.at && request < f.at + f.count;
}

}  // namespace

FaultInjector::FaultInjector(RadioResponder& inner, FaultPlan plan) : inner_(inner) {
    setPlan(std::move(plan));
}

void FaultInjector::setPlan(FaultPlan plan) {
    plan_ = std::move(plan);
    fired_.assign(plan_.size(), false);
}

const Fault* FaultInjector::requestFault(FaultKind kind, std::uint64_t request) const {
    for (const Fault& f : plan_) {
        if (f.kind == kind && covers(f, request))
            return &f;
    }
    return nullptr;
}

const Fault* FaultInjector::replyFault(FaultKind kind, std::uint64_t request,
                                       std::uint64_t firstWireByte) {
    if (const Fault* f = requestFault(kind, request))
        return f;
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const Fault& f = plan_[i];
        if (f.kind == kind && f.trigger == FaultTrigger::WireByte && !fired_[i] &&
            firstWireByte >= f.at) {
            fired_[i] = true;
            return &f;
        }
    }
    return nullptr;
}

Reply FaultInjector::answer(const sbep::FrameDecoder& frame, RequestLogEntry& entry) {
    if (requestFault(FaultKind::PullCable, entry.number)) {
        Reply r;
        r.none = true;
        r.pullCable = true;
        return r;
    }
    // A refused request is not carried out: the radio never sees it.
    if (const Fault* f = requestFault(FaultKind::Refuse, entry.number))
        return refusal(f->value ? static_cast<std::uint8_t>(f->value)
                                : static_cast<std::uint8_t>(kRefuseMalformed),
                       entry);
    return inner_.answer(frame, entry);
}

WireReply FaultInjector::encode(const Reply& reply, std::uint64_t firstWireByte,
                                RequestLogEntry& entry) {
    const std::uint64_t request = entry.number;
    Reply shaped = reply;
    if (const Fault* f = replyFault(FaultKind::WrongOpcode, request, firstWireByte)) {
        auto wrong = static_cast<std::uint8_t>(f->value);
        if (f->value == 0 || wrong == reply.opcode)
            wrong =
                reply.opcode == sbep::kReplyAccepted ? sbep::kReplyFlashDone : sbep::kReplyAccepted;
        shaped.opcode = wrong;
    }
    WireReply wire = inner_.encode(shaped, firstWireByte, entry);
    if (replyFault(FaultKind::OmitAck, request, firstWireByte) && !wire.bytes.empty()) {
        wire.bytes.erase(wire.bytes.begin());
        wire.dropped.erase(wire.dropped.begin());
    }
    if (replyFault(FaultKind::CorruptChecksum, request, firstWireByte) && !wire.bytes.empty())
        wire.bytes.back() ^= 0xFF;
    if (const Fault* f = replyFault(FaultKind::Delay, request, firstWireByte))
        wire.delay += std::chrono::milliseconds(f->value);
    // Byte faults by offset in this reply (0: its first byte on the wire).
    for (const Fault& f : plan_) {
        if (!covers(f, request) || f.offset >= wire.bytes.size())
            continue;
        if (f.kind == FaultKind::DropByte)
            wire.dropped[f.offset] = true;
        if (f.kind == FaultKind::CorruptByte)
            wire.bytes[f.offset] ^= xorMask(f);
    }
    return wire;
}

ByteFate FaultInjector::wireByte(std::uint64_t number, bool fromRadio, std::uint8_t& value) {
    // The cable goes before anything else can happen to the byte.
    bool pulled = false;
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const Fault& f = plan_[i];
        if (f.kind == FaultKind::PullCable && f.trigger == FaultTrigger::WireByte && !fired_[i] &&
            number >= f.at) {
            fired_[i] = true;
            pulled = true;
        }
    }
    if (pulled)
        return ByteFate::PullCable;
    ByteFate fate = inner_.wireByte(number, fromRadio, value);
    if (!fromRadio || fate == ByteFate::PullCable)
        return fate;
    // Byte faults by wire position apply to the first reply byte at or after it.
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const Fault& f = plan_[i];
        if (f.trigger != FaultTrigger::WireByte || fired_[i] || number < f.at)
            continue;
        if (f.kind == FaultKind::DropByte) {
            fate = ByteFate::Drop;
            fired_[i] = true;
        } else if (f.kind == FaultKind::CorruptByte) {
            value ^= xorMask(f);
            fired_[i] = true;
        }
    }
    return fate;
}

}  // namespace vkt::sim
