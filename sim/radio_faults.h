// Faults on the simulated radio's line: a plan of what to break, and the
// injector that carries it out. The injector wraps the radio's responder
// (radio_responder.h): it answers in the radio's place when a fault says so,
// reshapes replies and drops or changes bytes as they cross the wire, and
// otherwise passes everything through untouched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/radio_responder.h"

namespace vkt::sim {

enum class FaultKind {
    DropByte,         // one reply byte is not sent
    CorruptByte,      // one reply byte is XORed with `value` (0x55 when 0)
    CorruptChecksum,  // the reply's checksum byte is inverted
    Delay,            // the reply starts `value` ms later (real time, not paced)
    OmitAck,          // the reply is sent without its acknowledge byte
    WrongOpcode,      // the reply frame carries opcode `value` (0: a plausible wrong one)
    PullCable,        // the cable is pulled: nothing more passes until replug()
    Refuse,           // the request is not carried out; refusal 0x8F, reason `value` (0x04 when 0)
};

enum class FaultTrigger {
    Request,   // the reply to the request with this number (1 = first request)
    WireByte,  // at this wire byte (1 = first byte, both directions counted in order)
};

struct Fault {
    FaultKind kind = FaultKind::DropByte;
    FaultTrigger trigger = FaultTrigger::Request;
    std::uint64_t at = 1;
    // DropByte / CorruptByte with a Request trigger: offset in the reply
    // (0 = acknowledge byte). CorruptByte: XOR mask. Delay: milliseconds.
    // WrongOpcode: the opcode.
    std::uint32_t offset = 0;
    std::uint32_t value = 0;
    // Request triggers: the fault applies to `count` requests in a row.
    std::uint32_t count = 1;
};

using FaultPlan = std::vector<Fault>;

// Parses one fault from text: KIND@rN or KIND@bN, then optional :VALUE,
// optional +OFFSET, optional xCOUNT. Kinds: drop, corrupt, checksum, delay,
// noack, opcode, pull, refuse. Examples: "drop@r3+1", "delay@r2:400", "noack@r5x2",
// "opcode@r4:0x95", "pull@b900". Returns false with a message on error.
bool parseFault(const std::string& text, Fault& fault, std::string& error);
std::string describeFault(const Fault& fault);

// A request-triggered fault covers the requests from `at` on, `count` of
// them; a wire-byte fault fires once, at the first chance from its byte on.
class FaultInjector : public RadioResponder {
  public:
    explicit FaultInjector(RadioResponder& inner, FaultPlan plan = {});

    // A new plan; its wire-byte faults have not fired yet.
    void setPlan(FaultPlan plan);

    Reply answer(const sbep::FrameDecoder& frame, RequestLogEntry& entry) override;
    WireReply encode(const Reply& reply, std::uint64_t firstWireByte,
                     RequestLogEntry& entry) override;
    ByteFate wireByte(std::uint64_t number, bool fromRadio, std::uint8_t& value) override;

  private:
    const Fault* requestFault(FaultKind kind, std::uint64_t request) const;
    // A fault of `kind` that shapes the whole reply to `request`, whose
    // first byte will be wire byte `firstWireByte`.
    const Fault* replyFault(FaultKind kind, std::uint64_t request, std::uint64_t firstWireByte);

    RadioResponder& inner_;
    FaultPlan plan_;
    std::vector<bool> fired_;  // per wire-byte fault
};

}  // namespace vkt::sim
