#include "sim/sim_radio.h"
#include "sim/state_dump.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace vkt::sim {

namespace {

std::vector<std::uint8_t> defaultModel() {
    return {'Q', 'X', '7', '5', '0', '0', 'A', 0, 0, 0, 0};
}

}  // namespace

// ---------------------------------------------------------------- helpers

std::uint32_t dynFlashAddress(int radioType) {
    switch (radioType) {
        case 0:
            return 0x70000;
        case 1:
            return 0xE0000;
        case 2:
            return 0x180000;
        default:
            return 0;
    }
}

std::uint32_t defFlashAddress(int radioType) {
    switch (radioType) {
        case 0:
            return 0x64000;
        case 1:
        case 2:
            return 0x84000;
        default:
            return 0;
    }
}

std::vector<std::uint8_t> oldFlashContent(int radioType, std::size_t flashSize,
                                          std::span<const std::uint8_t> firmwareVersion,
                                          std::span<const std::uint8_t> codeplugVersion) {
    struct Area {
        std::uint32_t address;
        std::uint32_t length;
    };
    // Firmware area, codeplug blocks (ERG, STA, FAC, DEF, voice on type 0,
    // BAK), voice prompts (types 1 and 2) and the DYN block.
    static const std::vector<Area> areas[3] = {
        {{0x00000, 0x60000}, {0x61000, 0x9000}, {0x70000, 0x10000}},
        {{0x00000, 0x60000}, {0x81000, 0x9000}, {0x90000, 0xBD000}, {0xE0000, 0x10000}},
        {{0x00000, 0x60000}, {0x81000, 0x9000}, {0x90000, 0xBD000}, {0x180000, 0x10000}},
    };
    std::vector<std::uint8_t> flash(flashSize, 0xFF);
    if (radioType < 0 || radioType > 2)
        return flash;
    std::uint32_t x = 0x5EED0000u + static_cast<std::uint32_t>(radioType);
    for (const Area& area : areas[radioType]) {
        for (std::uint32_t a = area.address; a < area.address + area.length && a < flashSize; ++a) {
            x = x * 1664525u + 1013904223u;
            flash[a] = static_cast<std::uint8_t>(x >> 24);
        }
    }
    auto put = [&](std::uint32_t address, std::span<const std::uint8_t> bytes) {
        for (std::size_t i = 0; i < bytes.size() && address + i < flashSize; ++i)
            flash[address + i] = bytes[i];
    };
    const std::uint8_t marker[] = {0x09, 0xAA};
    put(0, marker);
    put(2, firmwareVersion);
    put(defFlashAddress(radioType), codeplugVersion);
    return flash;
}

std::string formatLogEntry(const RequestLogEntry& e) {
    std::string line = fmt::format("#{} op={:02X}", e.number, e.opcode);
    if (e.subFunction >= 0)
        line += fmt::format(" sub={:02X}", e.subFunction);
    if (e.address)
        line += fmt::format(" addr={:06X}", *e.address);
    if (e.length)
        line += fmt::format(" len={}", e.length);
    line += e.replyOpcode >= 0 ? fmt::format(" reply={:02X}", e.replyOpcode) : " reply=none";
    if (e.refuseReason >= 0)
        line += fmt::format(" reason={:02X}", e.refuseReason);
    line += " frame=";
    const std::size_t shown = std::min<std::size_t>(e.frame.size(), 24);
    for (std::size_t i = 0; i < shown; ++i)
        line += fmt::format("{:02X}", e.frame[i]);
    if (shown < e.frame.size())
        line += fmt::format("...({} bytes)", e.frame.size());
    return line;
}

std::chrono::nanoseconds pacedByteTime(std::uint32_t rate, double paceFactor) {
    if (paceFactor <= 0)
        return std::chrono::nanoseconds{0};
    return std::chrono::nanoseconds{
        static_cast<std::int64_t>(byteSeconds(rate) * 1e9 / paceFactor)};
}

void appendEcho(std::span<const std::uint8_t> bytes, std::chrono::nanoseconds perByte,
                Clock::time_point start, std::vector<WireByte>& out) {
    for (std::uint8_t b : bytes) {
        start += perByte;
        out.push_back(WireByte{b, 0, start});
    }
}

void mergeByDue(std::deque<WireByte>& queue, const std::vector<WireByte>& bytes) {
    for (const WireByte& b : bytes) {
        // Bytes mostly come in wire order: append without a search.
        if (queue.empty() || queue.back().due <= b.due) {
            queue.push_back(b);
            continue;
        }
        auto pos =
            std::upper_bound(queue.begin(), queue.end(), b.due,
                             [](Clock::time_point t, const WireByte& w) { return t < w.due; });
        queue.insert(pos, b);
    }
}

// ---------------------------------------------------------------- SimRadio

SimRadio::SimRadio(RadioConfig config) : config_(std::move(config)) {
    if (config_.modelRecord.size() != 11)
        config_.modelRecord = defaultModel();
    if (config_.serialNumber.size() != 10)
        config_.serialNumber.resize(10, ' ');
    if (config_.firmwareVersion.size() != 4)
        config_.firmwareVersion = {'R', 1, 0, 0};
    if (config_.codeplugVersion.size() != 4)
        config_.codeplugVersion = {'R', 1, 0, 0};
    const std::size_t flashSize = config_.flashSize ? config_.flashSize : kDefaultFlashSize;
    if (config_.oldContent)
        flash_ = oldFlashContent(config_.radioType, flashSize, config_.firmwareVersion,
                                 config_.codeplugVersion);
    else
        flash_.assign(flashSize, 0xFF);
    faults_.setPlan(std::move(config_.faults));
    config_.faults.clear();
}

SimRadio::~SimRadio() {
    if (statsFile_.empty())
        return;
    // Best effort: a radio that goes away cannot report a failure to anyone.
    std::ofstream out(statsFile_, std::ios::trunc);
    out << wireStatsJson(*this);
}

std::chrono::nanoseconds SimRadio::paced(std::chrono::nanoseconds t) const {
    if (config_.timing.paceFactor <= 0)
        return std::chrono::nanoseconds{0};
    return std::chrono::nanoseconds{
        static_cast<std::int64_t>(static_cast<double>(t.count()) / config_.timing.paceFactor)};
}

std::chrono::nanoseconds SimRadio::byteTime(std::uint32_t rate) const {
    return pacedByteTime(rate, config_.timing.paceFactor);
}

void SimRadio::receive(std::span<const std::uint8_t> bytes, std::uint32_t senderRate,
                       Clock::time_point start, std::vector<WireByte>& out) {
    std::lock_guard lock(mutex_);
    Clock::time_point t = std::max(start, inputFree_);
    const auto perByte = byteTime(senderRate);
    for (std::uint8_t raw : bytes) {
        if (pulled_)
            break;
        t += perByte;
        if (crossWire(false, raw) == ByteFate::PullCable)
            break;  // the cable went with this byte
        ++bytesIn_;
        wireSeconds_ += byteSeconds(senderRate);
        const std::uint8_t b = ratesMatch(senderRate, rate_) ? raw : garbleByte(raw);
        decoder_.feed(b);
        if (decoder_.failed()) {
            // A broken frame is dropped; a header byte that broke it may start the next one.
            decoder_.reset();
            if (b >= 0xF0)
                decoder_.feed(b);
        } else if (decoder_.done()) {
            handleFrame(decoder_, t, out);
            decoder_.reset();
        }
    }
    inputFree_ = t;
}

ByteFate SimRadio::crossWire(bool fromRadio, std::uint8_t& value) {
    const ByteFate fate = faults_.wireByte(++wireBytes_, fromRadio, value);
    if (fate == ByteFate::PullCable) {
        pulled_ = true;
        ++pullGeneration_;
    }
    return fate;
}

void SimRadio::handleFrame(const sbep::FrameDecoder& frame, Clock::time_point arrival,
                           std::vector<WireByte>& out) {
    RequestLogEntry entry;
    entry.number = ++requests_;
    entry.opcode = frame.opcode();
    entry.frame = frame.raw();
    entry.time = arrival;

    const Reply reply = faults_.answer(frame, entry);
    if (reply.pullCable) {
        pulled_ = true;
        ++pullGeneration_;
    }
    if (reply.none) {
        log_.push_back(std::move(entry));
        return;
    }
    const WireReply wire = faults_.encode(reply, wireBytes_ + 1, entry);

    radioSeconds_ += std::chrono::duration<double>(config_.timing.turnaround + reply.work).count();
    Clock::time_point t =
        std::max(arrival + paced(config_.timing.turnaround) + paced(reply.work), outputFree_) +
        wire.delay;
    const auto perByte = byteTime(rate_);
    for (std::size_t i = 0; i < wire.bytes.size(); ++i) {
        std::uint8_t value = wire.bytes[i];
        const ByteFate fate = crossWire(true, value);
        if (fate == ByteFate::PullCable)
            break;
        // A dropped byte still takes its time on the line.
        t += perByte;
        if (wire.dropped[i] || fate == ByteFate::Drop)
            continue;
        ++bytesOut_;
        wireSeconds_ += byteSeconds(rate_);
        out.push_back(WireByte{value, rate_, t});
    }
    outputFree_ = t;
    if (reply.newRate)
        rate_ = *reply.newRate;
    log_.push_back(std::move(entry));
}

// ---------------------------------------------------------------- accessors

void SimRadio::setRadioType(int type) {
    std::lock_guard l(mutex_);
    config_.radioType = type;
}
int SimRadio::radioType() const {
    std::lock_guard l(mutex_);
    return config_.radioType;
}
void SimRadio::setSerialNumber(const std::string& serial) {
    std::lock_guard l(mutex_);
    config_.serialNumber = serial;
    config_.serialNumber.resize(10, ' ');
}
std::string SimRadio::serialNumber() const {
    std::lock_guard l(mutex_);
    return config_.serialNumber;
}
void SimRadio::setModelRecord(std::vector<std::uint8_t> record) {
    std::lock_guard l(mutex_);
    record.resize(11, 0);
    config_.modelRecord = std::move(record);
}
std::vector<std::uint8_t> SimRadio::modelRecord() const {
    std::lock_guard l(mutex_);
    return config_.modelRecord;
}
void SimRadio::setFirmwareVersion(std::vector<std::uint8_t> v) {
    std::lock_guard l(mutex_);
    v.resize(4, 0);
    config_.firmwareVersion = std::move(v);
}
void SimRadio::setCodeplugVersion(std::vector<std::uint8_t> v) {
    std::lock_guard l(mutex_);
    v.resize(4, 0);
    config_.codeplugVersion = std::move(v);
}
bool SimRadio::setFirmwareVersionText(const std::string& text) {
    std::vector<std::uint8_t> v;
    if (!parseVersionText(text, true, v))
        return false;
    setFirmwareVersion(std::move(v));
    return true;
}
bool SimRadio::setCodeplugVersionText(const std::string& text) {
    std::vector<std::uint8_t> v;
    if (!parseVersionText(text, false, v))
        return false;
    setCodeplugVersion(std::move(v));
    return true;
}
std::vector<std::uint8_t> SimRadio::firmwareVersion() const {
    std::lock_guard l(mutex_);
    return config_.firmwareVersion;
}
std::vector<std::uint8_t> SimRadio::codeplugVersion() const {
    std::lock_guard l(mutex_);
    return config_.codeplugVersion;
}
void SimRadio::setStatusWord(std::uint16_t word) {
    std::lock_guard l(mutex_);
    config_.statusWord = word;
}
void SimRadio::setStatusFlags(std::uint8_t flags) {
    std::lock_guard l(mutex_);
    config_.statusFlags = flags;
}
void SimRadio::setEcho(bool on) {
    std::lock_guard l(mutex_);
    config_.echo = on;
}
bool SimRadio::echo() const {
    std::lock_guard l(mutex_);
    return config_.echo;
}
void SimRadio::setTiming(const Timing& timing) {
    std::lock_guard l(mutex_);
    config_.timing = timing;
}
Timing SimRadio::timing() const {
    std::lock_guard l(mutex_);
    return config_.timing;
}
void SimRadio::setStorageFaults(const StorageFaults& faults) {
    std::lock_guard l(mutex_);
    config_.storage = faults;
}
void SimRadio::setFaults(FaultPlan plan) {
    std::lock_guard l(mutex_);
    faults_.setPlan(std::move(plan));
}
std::uint32_t SimRadio::lineRate() const {
    std::lock_guard l(mutex_);
    return rate_;
}
std::optional<std::uint16_t> SimRadio::protection() const {
    std::lock_guard l(mutex_);
    return protection_;
}
bool SimRadio::flashUnlocked() const {
    std::lock_guard l(mutex_);
    return protection_ && unlockValue(*protection_);
}
int SimRadio::testMode() const {
    std::lock_guard l(mutex_);
    return testMode_;
}
std::string SimRadio::factorySerialNumber() const {
    std::lock_guard l(mutex_);
    return factorySerial_;
}
std::vector<std::uint8_t> SimRadio::factoryModelRecord() const {
    std::lock_guard l(mutex_);
    return factoryModel_;
}
std::uint64_t SimRadio::bytesIn() const {
    std::lock_guard l(mutex_);
    return bytesIn_;
}
std::uint64_t SimRadio::bytesOut() const {
    std::lock_guard l(mutex_);
    return bytesOut_;
}
double SimRadio::wireSeconds() const {
    std::lock_guard l(mutex_);
    return wireSeconds_;
}
double SimRadio::radioSeconds() const {
    std::lock_guard l(mutex_);
    return radioSeconds_;
}
void SimRadio::setStatsFile(std::string path) {
    std::lock_guard l(mutex_);
    statsFile_ = std::move(path);
}

void SimRadio::loadMemory(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::lock_guard l(mutex_);
    for (std::size_t i = 0; i < bytes.size() && address + i < kAddressLimit; ++i) {
        setMemByte(static_cast<std::uint32_t>(address + i), bytes[i]);
    }
}

std::vector<std::uint8_t> SimRadio::memory(std::uint32_t address, std::size_t length) const {
    std::lock_guard l(mutex_);
    std::vector<std::uint8_t> out;
    out.reserve(length);
    for (std::size_t i = 0; i < length && address + i < kAddressLimit; ++i) {
        out.push_back(memByte(static_cast<std::uint32_t>(address + i)));
    }
    return out;
}

void SimRadio::loadFlash(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::lock_guard l(mutex_);
    for (std::size_t i = 0; i < bytes.size() && address + i < flash_.size(); ++i) {
        flash_[address + i] = bytes[i];
    }
}

std::vector<std::uint8_t> SimRadio::flash(std::uint32_t address, std::size_t length) const {
    std::lock_guard l(mutex_);
    if (address >= flash_.size())
        return {};
    length = std::min(length, flash_.size() - address);
    return {flash_.begin() + address,
            flash_.begin() + address + static_cast<std::ptrdiff_t>(length)};
}

std::size_t SimRadio::flashSize() const {
    std::lock_guard l(mutex_);
    return flash_.size();
}

std::vector<RequestLogEntry> SimRadio::requestLog() const {
    std::lock_guard l(mutex_);
    return log_;
}
std::vector<RequestLogEntry> SimRadio::requestLogSince(std::size_t first) const {
    std::lock_guard l(mutex_);
    if (first >= log_.size())
        return {};
    return {log_.begin() + static_cast<std::ptrdiff_t>(first), log_.end()};
}
void SimRadio::clearRequestLog() {
    std::lock_guard l(mutex_);
    log_.clear();
}

void SimRadio::pullCable() {
    std::lock_guard l(mutex_);
    pulled_ = true;
    ++pullGeneration_;
}
void SimRadio::powerCycle() {
    std::lock_guard l(mutex_);
    rate_ = kSlowLineRate;
    protection_.reset();
    testMode_ = -1;
    decoder_.reset();
    inputFree_ = outputFree_ = Clock::time_point{};
}
void SimRadio::replug() {
    std::lock_guard l(mutex_);
    pulled_ = false;
    decoder_.reset();
}
bool SimRadio::cablePulled() const {
    std::lock_guard l(mutex_);
    return pulled_;
}
std::uint64_t SimRadio::pullGeneration() const {
    std::lock_guard l(mutex_);
    return pullGeneration_;
}

}  // namespace vkt::sim
