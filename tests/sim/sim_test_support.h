// A virtual cable with a simulated radio on its far end, driven by raw
// frames the way the tool's protocol engine would send them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "link/sbep_frame.h"
#include "sim/sim_radio.h"
#include "sim/virtual_cable.h"

namespace vkt::sim::testing {

using Bytes = std::vector<std::uint8_t>;

struct Reply {
    bool acked = false;
    bool complete = false;   // a whole frame with a good checksum
    std::uint8_t first = 0;  // the first byte received (ack or not)
    std::uint8_t opcode = 0;
    Bytes data;
    Bytes raw;  // every byte read, ack included
};

class Bench {
  public:
    explicit Bench(RadioConfig config = {}, std::uint32_t readMs = 40)
        : radio(std::make_shared<SimRadio>(std::move(config))),
          driver(std::make_shared<VirtualCableDriver>(radio)) {
        EXPECT_EQ(driver->open(0, port), kCableOk);
        port->setTimeouts(readMs, 100);
    }

    // head followed by tail (sized first: GCC 12 warns wrongly about insert after a list).
    static Bytes joined(const Bytes& head, const Bytes& tail) {
        Bytes d(head.size() + tail.size());
        std::copy(head.begin(), head.end(), d.begin());
        std::copy(tail.begin(), tail.end(), d.begin() + static_cast<std::ptrdiff_t>(head.size()));
        return d;
    }

    static Bytes frame(std::uint8_t opcode, const Bytes& data, bool longForm = false) {
        return sbep::encodeFrame(opcode, data, !longForm);
    }

    void write(const Bytes& bytes) {
        std::size_t written = 0;
        ASSERT_EQ(port->write(bytes.data(), bytes.size(), written), kCableOk);
        ASSERT_EQ(written, bytes.size());
    }

    Bytes readUpTo(std::size_t count) {
        Bytes out(count);
        std::size_t got = 0;
        port->read(out.data(), count, got);
        out.resize(got);
        return out;
    }

    // Sends a frame, swallows the echo when the cable echoes, and parses
    // the acknowledge and reply frame one byte at a time.
    Reply exchange(const Bytes& request) {
        write(request);
        if (radio->echo()) {
            Bytes echo = readUpTo(request.size());
            EXPECT_EQ(echo, request) << "the echo must come back first";
        }
        return readReply();
    }

    Reply readReply() {
        Reply r;
        Bytes b = readUpTo(1);
        if (b.empty())
            return r;
        r.raw = b;
        r.first = b[0];
        r.acked = b[0] == sbep::kAck;
        if (!r.acked)
            return r;
        sbep::FrameDecoder decoder;
        for (;;) {
            b = readUpTo(1);
            if (b.empty())
                return r;
            r.raw.push_back(b[0]);
            decoder.feed(b[0]);
            if (decoder.failed())
                return r;
            if (decoder.done())
                break;
        }
        r.complete = true;
        r.opcode = decoder.opcode();
        r.data = decoder.data();
        return r;
    }

    Reply request(std::uint8_t opcode, const Bytes& data, bool longForm = false) {
        return exchange(frame(opcode, data, longForm));
    }

    // Requests in the shapes the tool uses.
    Reply protection(std::uint16_t value) {
        return request(0x72, {0x08, 0x00, std::uint8_t(value >> 8), std::uint8_t(value)});
    }
    Reply erase(std::uint8_t sub, std::uint32_t a) {
        return request(0x72, {sub, std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)},
                       true);
    }
    Reply flashWrite(std::uint32_t a, const Bytes& bytes) {
        return request(
            0x72,
            joined({0x01, std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)}, bytes),
            true);
    }
    Reply flashRead(std::uint32_t a, std::uint16_t n) {
        return request(0x72,
                       {0x03, std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a),
                        std::uint8_t(n >> 8), std::uint8_t(n)},
                       true);
    }
    Reply testMode(std::uint8_t mode) { return request(0x22, {mode, 0, 0}); }
    Reply memWrite(std::uint32_t a, const Bytes& bytes) {
        return request(
            0x17,
            joined({0x00, std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)}, bytes),
            true);
    }
    Reply memRead(std::uint32_t a, std::uint8_t n) {
        return request(0x11, {n, std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)},
                       true);
    }
    Reply softport(std::uint8_t f, const Bytes& payload = {}, std::uint8_t w = 0) {
        return request(0x38, joined({f, 0x00, 0x00, w}, payload), true);
    }
    Reply status(std::uint8_t selector) { return request(0x10, {selector}, true); }

    std::shared_ptr<SimRadio> radio;
    std::shared_ptr<VirtualCableDriver> driver;
    std::unique_ptr<CablePort> port;
};

}  // namespace vkt::sim::testing
