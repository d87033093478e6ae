// A scripted cable for the link tests: a driver with described devices and
// a port whose line is shared with the test. Reads never wait: an empty
// line behaves like a read time-out.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "link/cable_driver.h"
#include "link/sbep_frame.h"

namespace vkt::test {

struct FakeLine {
    std::deque<std::uint8_t> incoming;              // what the next reads return
    std::vector<std::vector<std::uint8_t>> writes;  // one entry per write call
    std::vector<std::uint32_t> purges;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> timeouts;
    std::vector<std::uint32_t> rates;
    std::vector<std::size_t> readRequests;  // count asked by each read call
    bool echo = false;                      // hand every written byte back, like the cable's echo
    std::uint32_t purgeStatus = kCableOk;
    std::uint32_t rateStatus = kCableOk;
    std::uint32_t readStatus = kCableOk;
    std::size_t readLimit = SIZE_MAX;  // bytes one read call may return
    // readAvailable hands over every incoming byte (else it reads one, as
    // the default does); each such call is counted.
    bool bulk = false;
    int availableCalls = 0;
    int latency = -1;
    // Called with each written chunk after the echo; may append to incoming.
    std::function<void(FakeLine&, const std::vector<std::uint8_t>&)> onWrite;

    std::vector<std::uint8_t> allWritten() const {
        std::vector<std::uint8_t> all;
        for (const auto& w : writes)
            all.insert(all.end(), w.begin(), w.end());
        return all;
    }
    void push(std::initializer_list<std::uint8_t> bytes) {
        incoming.insert(incoming.end(), bytes.begin(), bytes.end());
    }
    void push(const std::vector<std::uint8_t>& bytes) {
        incoming.insert(incoming.end(), bytes.begin(), bytes.end());
    }
};

class FakePort : public CablePort {
  public:
    explicit FakePort(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}
    std::uint32_t read(std::uint8_t* buffer, std::size_t count, std::size_t& got) override {
        line_->readRequests.push_back(count);
        got = 0;
        if (line_->readStatus != kCableOk)
            return line_->readStatus;
        while (got < count && got < line_->readLimit && !line_->incoming.empty()) {
            buffer[got++] = line_->incoming.front();
            line_->incoming.pop_front();
        }
        return kCableOk;
    }
    std::uint32_t readAvailable(std::uint8_t* buffer, std::size_t max, std::size_t& got) override {
        if (!line_->bulk)
            return CablePort::readAvailable(buffer, max, got);
        ++line_->availableCalls;
        got = 0;
        if (line_->readStatus != kCableOk)
            return line_->readStatus;
        while (got < max && !line_->incoming.empty()) {
            buffer[got++] = line_->incoming.front();
            line_->incoming.pop_front();
        }
        return kCableOk;
    }
    std::uint32_t write(const std::uint8_t* buffer, std::size_t count,
                        std::size_t& written) override {
        std::vector<std::uint8_t> chunk(buffer, buffer + count);
        line_->writes.push_back(chunk);
        if (line_->echo)
            line_->push(chunk);
        if (line_->onWrite)
            line_->onWrite(*line_, chunk);
        written = count;
        return kCableOk;
    }
    std::uint32_t setBaudRate(std::uint32_t rate) override {
        if (line_->rateStatus == kCableOk)
            line_->rates.push_back(rate);
        return line_->rateStatus;
    }
    std::uint32_t setDataCharacteristics(std::uint8_t, std::uint8_t, std::uint8_t) override {
        return kCableOk;
    }
    std::uint32_t setFlowControl(std::uint16_t, std::uint8_t, std::uint8_t) override {
        return kCableOk;
    }
    std::uint32_t setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) override {
        line_->timeouts.emplace_back(readMs, writeMs);
        return kCableOk;
    }
    std::uint32_t purge(std::uint32_t mask) override {
        line_->purges.push_back(mask);
        if (line_->purgeStatus == kCableOk && (mask & kPurgeRx) != 0)
            line_->incoming.clear();
        return line_->purgeStatus;
    }
    std::uint32_t setLatencyTimer(std::uint8_t ms) override {
        line_->latency = ms;
        return kCableOk;
    }

  private:
    std::shared_ptr<FakeLine> line_;
};

struct FakeDevice {
    std::string description;
    // Failures the description query gives before it succeeds (forever
    // when `failForever`).
    std::deque<std::pair<std::uint32_t, CableSystemError>> failures;
    bool failForever = false;
    int queries = 0;
};

class FakeDriver : public CableDriver {
  public:
    std::vector<FakeDevice> devices;
    std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
    std::uint32_t countStatus = kCableOk;
    std::uint32_t openStatus = kCableOk;

    const char* name() const override { return "fake"; }
    std::uint32_t countDevices(std::uint32_t& count) override {
        count = countStatus == kCableOk ? static_cast<std::uint32_t>(devices.size()) : 0;
        return countStatus;
    }
    std::uint32_t deviceDescription(std::uint32_t index, std::string& description,
                                    CableSystemError& systemError) override {
        if (index >= devices.size())
            return kCableDeviceNotFound;
        FakeDevice& d = devices[index];
        ++d.queries;
        if (!d.failures.empty()) {
            auto [status, error] = d.failures.front();
            if (!d.failForever)
                d.failures.pop_front();
            systemError = error;
            return status;
        }
        description = d.description;
        return kCableOk;
    }
    int lastOpened = -1;  // the index of the last open that got through
    std::uint32_t open(std::uint32_t index, std::unique_ptr<CablePort>& port) override {
        if (openStatus != kCableOk)
            return openStatus;
        lastOpened = static_cast<int>(index);
        if (index >= devices.size() && !devices.empty())
            return kCableDeviceNotFound;
        port = std::make_unique<FakePort>(line);
        return kCableOk;
    }
};

// Acknowledge plus one reply frame, as the radio sends it.
inline std::vector<std::uint8_t> radioReply(std::uint8_t opcode,
                                            std::vector<std::uint8_t> data = {}) {
    std::vector<std::uint8_t> reply{sbep::kAck};
    const auto frame = sbep::encodeFrame(opcode, data);
    reply.insert(reply.end(), frame.begin(), frame.end());
    return reply;
}

// A radio that answers each request frame with the next scripted reply (an
// empty one means silence) and ignores the echo probe.
struct ScriptedRadio {
    std::deque<std::vector<std::uint8_t>> replies;
    void attach(FakeLine& line) {
        line.onWrite = [this](FakeLine& l, const std::vector<std::uint8_t>& chunk) {
            if (chunk.size() >= 2 && chunk[0] >= 0xF0 && chunk[1] == 0x40)
                return;
            if (replies.empty())
                return;
            l.push(replies.front());
            replies.pop_front();
        };
    }
};

}  // namespace vkt::test
