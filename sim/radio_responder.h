// The seam between the simulated radio's wire side (its serial port: it
// decodes frames, paces bytes at the line rate and counts them) and what
// answers the frames. The radio's protocol implements RadioResponder
// plainly; the fault injector (radio_faults.h) wraps it, the way the wire
// trace wraps a cable driver, and breaks what passes through.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/sbep_frame.h"
#include "link/sbep_protocol.h"

namespace vkt::sim {

using Clock = std::chrono::steady_clock;

// One received frame as the radio saw it.
struct RequestLogEntry {
    std::uint64_t number = 0;  // 1-based request number
    std::uint8_t opcode = 0;
    int subFunction = -1;  // first data byte of a status, test-mode, radio-info, soft-port
                           // or flash request; else -1
    std::optional<std::uint32_t> address;
    std::uint32_t length = 0;         // bytes read or written, 0 for commands
    std::vector<std::uint8_t> frame;  // every byte of the frame, checksum included
    Clock::time_point time;
    int replyOpcode = -1;   // -1: no reply
    int refuseReason = -1;  // reason byte of a refusal (kReplyRefused)
};

std::string formatLogEntry(const RequestLogEntry& entry);

// The answer to one request, before it goes on the wire.
struct Reply {
    std::uint8_t opcode = 0;
    std::vector<std::uint8_t> data;
    bool none = false;                  // no reply at all
    bool pullCable = false;             // the cable is pulled as the request arrives (with `none`)
    std::chrono::microseconds work{0};  // radio time before the reply starts
    std::optional<std::uint32_t> newRate;  // switch after the reply has left
};

// Reason byte of a refused request (reply opcode 0x8F).
enum RefuseReason : std::uint8_t {
    kRefuseLocked = 0x01,       // flash protection is not at an unlock value
    kRefuseNotTestMode = 0x02,  // memory write outside test mode
    kRefuseRange = 0x03,        // address or length outside memory or flash
    kRefuseMalformed = 0x04,    // data too short or inconsistent for the request
    kRefuseSerial = 0x05,       // serial-number update refused by the status flag
};

// A refusal (reply opcode 0x8F) with its reason byte, noted in `log`.
inline Reply refusal(std::uint8_t reason, RequestLogEntry& log) {
    log.refuseReason = reason;
    Reply r;
    r.opcode = sbep::kReplyRefused;
    r.data = {reason};
    return r;
}

// The bytes of one reply as they leave the radio.
struct WireReply {
    std::vector<std::uint8_t> bytes;    // the acknowledge byte, then the frame
    std::vector<bool> dropped;          // per byte: it takes its line time but never arrives
    std::chrono::nanoseconds delay{0};  // extra wait before the first byte (not paced)
};

// What happens to one byte as it crosses the wire.
enum class ByteFate {
    Pass,
    Drop,       // it takes its line time but never arrives
    PullCable,  // the cable goes with this byte: it and everything after are lost
};

class RadioResponder {
  public:
    virtual ~RadioResponder() = default;

    // Answers one complete request frame; `entry` arrives with its number,
    // opcode, frame and time, and the answer fills in what it learns.
    virtual Reply answer(const sbep::FrameDecoder& frame, RequestLogEntry& entry) = 0;
    // The reply's bytes on the wire; notes the reply opcode in `entry`.
    // `firstWireByte` is the number the first of them will have on the wire.
    virtual WireReply encode(const Reply& reply, std::uint64_t firstWireByte,
                             RequestLogEntry& entry) = 0;
    // Byte `number` (counted from 1 over both directions, in wire order)
    // crosses the wire; `fromRadio` tells a reply byte, which `value` may
    // change, from a host byte.
    virtual ByteFate wireByte(std::uint64_t number, bool fromRadio, std::uint8_t& value) = 0;
};

}  // namespace vkt::sim
