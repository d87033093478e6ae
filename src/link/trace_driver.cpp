// Wire trace: a CableDriver decorator that logs what crosses the cable.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "link/cable_backends.h"
#include "link/sbep_protocol.h"

namespace vkt {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBytesPerLine = 16;

// The open trace file, shared by the driver and every port it opens.
class TraceLog {
  public:
    explicit TraceLog(std::FILE* file) : file_(file), start_(Clock::now()) {}
    ~TraceLog() { std::fclose(file_); }
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    void line(const std::string& text, Clock::time_point at = Clock::now()) {
        const double seconds = std::chrono::duration<double>(at - start_).count();
        std::lock_guard lock(lock_);
        fmt::print(file_, "[{:12.6f}] {}\n", seconds, text);
        std::fflush(file_);
    }

    // One line per 16 bytes: "RX 16406 +0000: 50 F2 8C 00 81"; the offset
    // counts from the first byte of the run.
    void bytes(const char* direction, std::uint32_t rate, const std::uint8_t* data,
               std::size_t count, Clock::time_point at = Clock::now()) {
        for (std::size_t offset = 0; offset < count; offset += kBytesPerLine) {
            std::string text = fmt::format("{} {} +{:04}:", direction, rate, offset);
            for (std::size_t i = offset; i < count && i < offset + kBytesPerLine; ++i)
                text += fmt::format(" {:02X}", data[i]);
            line(text, at);
        }
    }

  private:
    std::mutex lock_;
    std::FILE* file_;
    Clock::time_point start_;
};

class TracePort : public CablePort {
  public:
    TracePort(std::unique_ptr<CablePort> inner, std::shared_ptr<TraceLog> log, std::uint32_t index)
        : inner_(std::move(inner)), log_(std::move(log)), index_(index) {}
    ~TracePort() override {
        flushReceived();
        log_->line(fmt::format("CLOSE {}", index_));
    }
    TracePort(const TracePort&) = delete;
    TracePort& operator=(const TracePort&) = delete;

    // Replies are read a byte at a time: received bytes are gathered into
    // full lines until something else happens on the port.
    std::uint32_t read(std::uint8_t* buffer, std::size_t count, std::size_t& got) override {
        const std::uint32_t status = inner_->read(buffer, count, got);
        noteReceived(buffer, count, got, status);
        return status;
    }
    // Traced like a read of the one byte it waits for.
    std::uint32_t readAvailable(std::uint8_t* buffer, std::size_t max, std::size_t& got) override {
        const std::uint32_t status = inner_->readAvailable(buffer, max, got);
        noteReceived(buffer, max < 1 ? max : 1, got, status);
        return status;
    }
    void noteReceived(const std::uint8_t* buffer, std::size_t count, std::size_t got,
                      std::uint32_t status) {
        if (got > 0) {
            if (received_.empty())
                receivedAt_ = Clock::now();
            received_.insert(received_.end(), buffer, buffer + got);
            if (received_.size() >= 4 * kBytesPerLine)
                flushReceived();
        }
        if (status != kCableOk || got < count) {
            flushReceived();
            log_->line(fmt::format("RX {} {} {} of {} bytes, status {}", rate_,
                                   status == kCableOk ? "time-out after" : "failed after", got,
                                   count, status));
        }
    }
    std::uint32_t write(const std::uint8_t* buffer, std::size_t count,
                        std::size_t& written) override {
        flushReceived();
        const std::uint32_t status = inner_->write(buffer, count, written);
        log_->bytes("TX", rate_, buffer, written);
        if (status != kCableOk || written < count)
            log_->line(fmt::format("TX {} wrote {} of {} bytes, status {}", rate_, written, count,
                                   status));
        return status;
    }
    std::uint32_t setBaudRate(std::uint32_t rate) override {
        flushReceived();
        const std::uint32_t status = inner_->setBaudRate(rate);
        log_->line(fmt::format("RATE {} -> {} status {}", rate_, rate, status));
        if (status == kCableOk)
            rate_ = rate;
        return status;
    }
    std::uint32_t setDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                         std::uint8_t parity) override {
        flushReceived();
        const std::uint32_t status = inner_->setDataCharacteristics(wordLength, stopBits, parity);
        log_->line(fmt::format("LINE bits {} stop {} parity {} status {}", wordLength, stopBits,
                               parity, status));
        return status;
    }
    std::uint32_t setFlowControl(std::uint16_t flow, std::uint8_t xon, std::uint8_t xoff) override {
        flushReceived();
        const std::uint32_t status = inner_->setFlowControl(flow, xon, xoff);
        log_->line(fmt::format("FLOW {:#06x} status {}", flow, status));
        return status;
    }
    std::uint32_t setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) override {
        flushReceived();
        const std::uint32_t status = inner_->setTimeouts(readMs, writeMs);
        log_->line(
            fmt::format("TIMEOUTS read {} ms write {} ms status {}", readMs, writeMs, status));
        return status;
    }
    std::uint32_t purge(std::uint32_t mask) override {
        flushReceived();
        const std::uint32_t status = inner_->purge(mask);
        log_->line(fmt::format("PURGE {} status {}", mask, status));
        return status;
    }
    std::uint32_t setLatencyTimer(std::uint8_t ms) override {
        flushReceived();
        const std::uint32_t status = inner_->setLatencyTimer(ms);
        log_->line(fmt::format("LATENCY {} ms status {}", ms, status));
        return status;
    }

  private:
    void flushReceived() {
        log_->bytes("RX", rate_, received_.data(), received_.size(), receivedAt_);
        received_.clear();
    }

    std::unique_ptr<CablePort> inner_;
    std::shared_ptr<TraceLog> log_;
    std::uint32_t index_;
    std::vector<std::uint8_t> received_;
    Clock::time_point receivedAt_;
    // A port starts at the rate the tool connects with until told otherwise;
    // back-ends open at that rate too.
    std::uint32_t rate_ = kSlowLineRate;
};

class TraceDriver : public CableDriver {
  public:
    TraceDriver(std::shared_ptr<CableDriver> inner, std::shared_ptr<TraceLog> log)
        : inner_(std::move(inner)), log_(std::move(log)) {}

    const char* name() const override { return inner_->name(); }
    std::uint32_t countDevices(std::uint32_t& count) override {
        const std::uint32_t status = inner_->countDevices(count);
        log_->line(fmt::format("COUNT {} status {}", status == kCableOk ? count : 0, status));
        return status;
    }
    std::uint32_t deviceDescription(std::uint32_t index, std::string& description,
                                    CableSystemError& systemError) override {
        const std::uint32_t status = inner_->deviceDescription(index, description, systemError);
        log_->line(fmt::format("DESCRIBE {} \"{}\" status {}", index, description, status));
        return status;
    }
    std::uint32_t deviceInfo(std::uint32_t index, CableDeviceInfo& info,
                             bool probeAccess) override {
        return inner_->deviceInfo(index, info, probeAccess);
    }
    std::uint32_t open(std::uint32_t index, std::unique_ptr<CablePort>& port) override {
        std::unique_ptr<CablePort> inner;
        const std::uint32_t status = inner_->open(index, inner);
        log_->line(fmt::format("OPEN {} ({}) status {}", index, inner_->name(), status));
        if (status == kCableOk && inner) {
            port = std::make_unique<TracePort>(std::move(inner), log_, index);
        }
        return status;
    }

  private:
    std::shared_ptr<CableDriver> inner_;
    std::shared_ptr<TraceLog> log_;
};

}  // namespace

std::shared_ptr<CableDriver> wrapWithTrace(std::shared_ptr<CableDriver> inner,
                                           const std::string& path, std::string& error) {
    if (!inner)
        return inner;
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        error = "cannot open the trace file \"" + path + "\"";
        return inner;
    }
    auto log = std::make_shared<TraceLog>(file);
    log->line(fmt::format("TRACE start, back-end {}", inner->name()));
    return std::make_shared<TraceDriver>(std::move(inner), std::move(log));
}

std::shared_ptr<CableDriver> wrapWithTrace(std::shared_ptr<CableDriver> inner,
                                           const std::string& path) {
    std::string error;
    return wrapWithTrace(std::move(inner), path, error);
}

}  // namespace vkt
