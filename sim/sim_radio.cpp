#include "sim/sim_radio.h"
#include "sim/state_dump.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace vkt::sim {

namespace {

constexpr std::uint32_t kPageSize = 0x1000;
constexpr std::uint32_t kAddressLimit = 0x1000000;  // 24-bit memory space

std::uint32_t be24(const std::vector<std::uint8_t>& d, std::size_t at) {
    return (std::uint32_t{d[at]} << 16) | (std::uint32_t{d[at + 1]} << 8) | d[at + 2];
}

void putAddress(std::vector<std::uint8_t>& out, std::uint32_t address) {
    out.push_back(static_cast<std::uint8_t>(address >> 24));
    out.push_back(static_cast<std::uint8_t>(address >> 16));
    out.push_back(static_cast<std::uint8_t>(address >> 8));
    out.push_back(static_cast<std::uint8_t>(address));
}

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
    byteFaultDone_.assign(config_.faults.size(), false);
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
        countWireByte();
        if (pulled_)
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

void SimRadio::countWireByte() {
    ++wireBytes_;
    for (std::size_t i = 0; i < config_.faults.size(); ++i) {
        const Fault& f = config_.faults[i];
        if (f.kind == FaultKind::PullCable && f.trigger == FaultTrigger::WireByte &&
            !byteFaultDone_[i] && wireBytes_ >= f.at) {
            byteFaultDone_[i] = true;
            pulled_ = true;
            ++pullGeneration_;
        }
    }
}

const Fault* SimRadio::requestFault(FaultKind kind, std::uint64_t request) const {
    for (const Fault& f : config_.faults) {
        if (f.kind == kind && f.trigger == FaultTrigger::Request && request >= f.at &&
            request < f.at + f.count) {
            return &f;
        }
    }
    return nullptr;
}

void SimRadio::handleFrame(const sbep::FrameDecoder& frame, Clock::time_point arrival,
                           std::vector<WireByte>& out) {
    RequestLogEntry entry;
    entry.number = ++requests_;
    entry.opcode = frame.opcode();
    entry.frame = frame.raw();
    entry.time = arrival;

    if (requestFault(FaultKind::PullCable, entry.number)) {
        pulled_ = true;
        ++pullGeneration_;
        log_.push_back(std::move(entry));
        return;
    }

    Reply reply;
    if (const Fault* f = requestFault(FaultKind::Refuse, entry.number))
        reply = refuse(f->value ? static_cast<std::uint8_t>(f->value)
                                : static_cast<std::uint8_t>(kRefuseMalformed),
                       entry);
    else
        reply = dispatch(frame.opcode(), frame.data(), entry);
    if (reply.none) {
        log_.push_back(std::move(entry));
        return;
    }

    // Faults that shape the whole reply.
    std::uint64_t firstWire = wireBytes_ + 1;
    auto wholeReplyFault = [&](FaultKind kind) -> const Fault* {
        if (const Fault* f = requestFault(kind, entry.number))
            return f;
        for (std::size_t i = 0; i < config_.faults.size(); ++i) {
            const Fault& f = config_.faults[i];
            if (f.kind == kind && f.trigger == FaultTrigger::WireByte && !byteFaultDone_[i] &&
                firstWire >= f.at) {
                byteFaultDone_[i] = true;
                return &f;
            }
        }
        return nullptr;
    };
    if (const Fault* f = wholeReplyFault(FaultKind::WrongOpcode)) {
        std::uint8_t wrong = static_cast<std::uint8_t>(f->value);
        if (f->value == 0 || wrong == reply.opcode)
            wrong =
                reply.opcode == sbep::kReplyAccepted ? sbep::kReplyFlashDone : sbep::kReplyAccepted;
        reply.opcode = wrong;
    }
    entry.replyOpcode = reply.opcode;

    std::vector<std::uint8_t> bytes;
    const bool omitAck = wholeReplyFault(FaultKind::OmitAck) != nullptr;
    if (!omitAck)
        bytes.push_back(sbep::kAck);
    const auto frameBytes = sbep::encodeFrame(reply.opcode, reply.data);
    bytes.insert(bytes.end(), frameBytes.begin(), frameBytes.end());
    if (wholeReplyFault(FaultKind::CorruptChecksum))
        bytes.back() ^= 0xFF;
    std::chrono::nanoseconds extra{0};
    if (const Fault* f = wholeReplyFault(FaultKind::Delay))
        extra = std::chrono::milliseconds(f->value);
    // Byte faults by offset in this reply.
    std::vector<bool> drop(bytes.size(), false);
    for (const Fault& f : config_.faults) {
        if (f.trigger != FaultTrigger::Request || entry.number < f.at ||
            entry.number >= f.at + f.count || f.offset >= bytes.size()) {
            continue;
        }
        if (f.kind == FaultKind::DropByte)
            drop[f.offset] = true;
        if (f.kind == FaultKind::CorruptByte) {
            bytes[f.offset] ^= static_cast<std::uint8_t>(f.value ? f.value : 0x55);
        }
    }

    radioSeconds_ += std::chrono::duration<double>(config_.timing.turnaround + reply.work).count();
    Clock::time_point t =
        std::max(arrival + paced(config_.timing.turnaround) + paced(reply.work), outputFree_) +
        extra;
    const auto perByte = byteTime(rate_);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        countWireByte();
        if (pulled_)
            break;
        std::uint8_t value = bytes[i];
        bool dropped = drop[i];
        for (std::size_t k = 0; k < config_.faults.size(); ++k) {
            const Fault& f = config_.faults[k];
            if (f.trigger != FaultTrigger::WireByte || byteFaultDone_[k] || wireBytes_ < f.at) {
                continue;
            }
            if (f.kind == FaultKind::DropByte) {
                dropped = true;
                byteFaultDone_[k] = true;
            } else if (f.kind == FaultKind::CorruptByte) {
                value ^= static_cast<std::uint8_t>(f.value ? f.value : 0x55);
                byteFaultDone_[k] = true;
            }
        }
        t += perByte;
        if (dropped)
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

SimRadio::Reply SimRadio::refuse(std::uint8_t reason, RequestLogEntry& log) {
    log.refuseReason = reason;
    Reply r;
    r.opcode = sbep::kReplyRefused;
    r.data = {reason};
    return r;
}

SimRadio::Reply SimRadio::dispatch(std::uint8_t opcode, const std::vector<std::uint8_t>& d,
                                   RequestLogEntry& log) {
    if (!d.empty() &&
        (opcode == sbep::kOpFlash || opcode == sbep::kOpSoftport || opcode == sbep::kOpRadioInfo ||
         opcode == sbep::kOpStatus || opcode == sbep::kOpTestMode)) {
        log.subFunction = d[0];
    }
    Reply r;
    switch (opcode) {
        case sbep::kOpRadioInfo:
            return radioInfo(d);
        case sbep::kOpStatus: {
            if (d.size() != 1)
                return refuse(kRefuseMalformed, log);
            r.opcode = sbep::kReplyStatus;
            if (d[0] == sbep::kStatusWord) {
                r.data = {static_cast<std::uint8_t>(config_.statusWord >> 8),
                          static_cast<std::uint8_t>(config_.statusWord & 0xFF)};
            } else {
                r.data = {0x00, config_.statusFlags};
            }
            return r;
        }
        case sbep::kOpMemRead: {
            if (d.size() != 4)
                return refuse(kRefuseMalformed, log);
            const std::uint32_t count = d[0];
            const std::uint32_t address = be24(d, 1);
            log.address = address;
            log.length = count;
            if (address + count > kAddressLimit)
                return refuse(kRefuseRange, log);
            r.opcode = sbep::kReplyMemData;
            putAddress(r.data, address);
            for (std::uint32_t i = 0; i < count; ++i)
                r.data.push_back(memByte(address + i));
            return r;
        }
        case sbep::kOpMemWrite: {
            if (d.size() < 4)
                return refuse(kRefuseMalformed, log);
            const std::uint32_t address = be24(d, 1);
            const std::uint32_t count = static_cast<std::uint32_t>(d.size() - 4);
            log.address = address;
            log.length = count;
            if (testMode_ < 0)
                return refuse(kRefuseNotTestMode, log);
            if (address + count > kAddressLimit)
                return refuse(kRefuseRange, log);
            for (std::uint32_t i = 0; i < count; ++i)
                setMemByte(address + i, d[4 + i]);
            if (const auto bad = config_.storage.memoryByte; bad && *bad - address < count)
                setMemByte(*bad, static_cast<std::uint8_t>(~d[4 + (*bad - address)]));
            r.opcode = sbep::kReplyMemWritten;
            putAddress(r.data, address);
            return r;
        }
        case sbep::kOpTestMode:
            if (d.size() != 3)
                return refuse(kRefuseMalformed, log);
            testMode_ = d[0];
            r.opcode = sbep::kReplyAccepted;
            r.data = {d[0], static_cast<std::uint8_t>(config_.radioType)};
            return r;
        case sbep::kOpSoftport:
            return softport(d, log);
        case sbep::kOpUpdateSerial: {
            if (d.size() != 2 + 10 || d[0] != sbep::kSerialTarget[0] ||
                d[1] != sbep::kSerialTarget[1])
                return refuse(kRefuseMalformed, log);
            if (config_.statusFlags & sbep::kFlagSerialLocked)
                return refuse(kRefuseSerial, log);
            config_.serialNumber.assign(d.begin() + 2, d.end());
            r.opcode = sbep::kReplyAccepted;
            return r;
        }
        case sbep::kOpFlash:
            return flashRequest(d, log);
        default:
            // The echo probe and anything the radio does not know go unanswered.
            r.none = true;
            return r;
    }
}

SimRadio::Reply SimRadio::radioInfo(const std::vector<std::uint8_t>& d) {
    Reply r;
    r.opcode = sbep::kReplyRadioInfo;
    if (d.size() != 1)
        return r;
    const std::uint8_t item = d[0];
    const std::vector<std::uint8_t>* value = nullptr;
    std::vector<std::uint8_t> serial(config_.serialNumber.begin(), config_.serialNumber.end());
    switch (item) {
        case sbep::kItemModel:
            value = &config_.modelRecord;
            break;
        case sbep::kItemSerial:
            value = &serial;
            break;
        case sbep::kItemFirmware:
            value = &config_.firmwareVersion;
            break;
        case sbep::kItemCodeplug:
            value = &config_.codeplugVersion;
            break;
        default:
            return r;  // unknown item: an empty reply
    }
    r.data = {item, 0x00};
    r.data.insert(r.data.end(), value->begin(), value->end());
    return r;
}

SimRadio::Reply SimRadio::softport(const std::vector<std::uint8_t>& d, RequestLogEntry& log) {
    if (d.size() < 4)
        return refuse(kRefuseMalformed, log);
    const std::uint8_t function = d[0];
    Reply r;
    r.opcode = sbep::kReplyAccepted;
    r.data = {function};
    log.length = static_cast<std::uint32_t>(d.size() - 4);
    switch (function) {
        case sbep::kSoftportLineRate: {
            if (d.size() < 8)
                return refuse(kRefuseMalformed, log);
            const std::uint32_t rate = (std::uint32_t{d[4]} << 24) | (std::uint32_t{d[5]} << 16) |
                                       (std::uint32_t{d[6]} << 8) | d[7];
            if (rate == 0)
                return refuse(kRefuseMalformed, log);
            log.address = rate;
            r.newRate = rate;  // the reply still leaves at the old rate
            return r;
        }
        case sbep::kSoftportFactoryBackup:
            factorySerial_ = config_.serialNumber;
            factoryModel_ = config_.modelRecord;
            return r;
        case sbep::kSoftportCommitDefault:
            // Committing a rewritten default block resets the serial number.
            if (defTouched_) {
                config_.serialNumber = kDefaultSerial;
                // The codeplug names its version in the first bytes of the DEF block.
                if (const std::uint32_t def = defFlashAddress(config_.radioType))
                    adoptVersion(def, config_.codeplugVersion);
            }
            defTouched_ = false;
            return r;
        default:
            return r;  // the follow-ups and others: accepted and logged
    }
}

bool SimRadio::unlockValue(std::uint16_t v) const {
    switch (config_.radioType) {
        case 0:
            return v == 0x800 || v == 0x840 || v == 0x3400;
        case 1:
            return v == 0x1000 || v == 0x3000 || v == 0x3400;
        case 2:
            return v == 0x3040 || v == 0x3000 || v == 0x3400;
        default:
            return false;
    }
}

void SimRadio::markDefTouched(std::uint32_t address, std::size_t length) {
    const std::uint32_t def = defFlashAddress(config_.radioType);
    if (def && address < def + kSectorSize && address + length > def)
        defTouched_ = true;
}

void SimRadio::adoptVersion(std::uint32_t flashAddress, std::vector<std::uint8_t>& version) {
    if (std::size_t{flashAddress} + 4 > flash_.size())
        return;
    const auto* at = flash_.data() + flashAddress;
    // Only an ASCII letter starts a version; erased flash (0xFF) keeps the old one.
    if (at[0] < 0x80 && std::isalpha(at[0]))
        version.assign(at, at + 4);
}

void SimRadio::eraseSectors(std::uint32_t firstSector, std::uint32_t count) {
    const std::uint32_t dyn = dynFlashAddress(config_.radioType);
    bool wipePersonality = false;
    for (std::uint32_t s = firstSector; s < firstSector + count; ++s) {
        const std::size_t begin = std::size_t{s} * kSectorSize;
        if (begin >= flash_.size())
            break;
        std::fill_n(flash_.begin() + static_cast<std::ptrdiff_t>(begin), kSectorSize, 0xFF);
        markDefTouched(static_cast<std::uint32_t>(begin), kSectorSize);
        if (dyn && begin >= dyn && begin < dyn + 0x10000)
            wipePersonality = true;
    }
    if (wipePersonality) {
        for (std::uint32_t a = kPersonalityStart; a < kPersonalityStart + kPersonalitySize;
             a += kPageSize) {
            memoryPages_[a / kPageSize].assign(kPageSize, 0xFF);
        }
    }
}

SimRadio::Reply SimRadio::flashRequest(const std::vector<std::uint8_t>& d, RequestLogEntry& log) {
    if (d.empty())
        return refuse(kRefuseMalformed, log);
    const std::uint8_t sub = d[0];
    Reply r;
    r.opcode = sbep::kReplyFlashDone;
    r.data = {sub, 0x00};
    const auto& t = config_.timing;
    switch (sub) {
        case sbep::kFlashProtection: {
            if (d.size() != 4)
                return refuse(kRefuseMalformed, log);
            const std::uint16_t value = static_cast<std::uint16_t>((d[2] << 8) | d[3]);
            log.address = value;
            protection_ = value;
            return r;
        }
        case sbep::kFlashErase4K:
        case sbep::kFlashErase64K: {
            if (d.size() != 4)
                return refuse(kRefuseMalformed, log);
            const std::uint32_t address = be24(d, 1);
            log.address = address;
            if (!protection_ || !unlockValue(*protection_))
                return refuse(kRefuseLocked, log);
            if (address >= flash_.size())
                return refuse(kRefuseRange, log);
            const bool sector = sub == sbep::kFlashErase4K;
            eraseSectors(address / kSectorSize, sector ? 1 : 16);
            r.work = sector ? t.erase4k : t.erase64k;
            return r;
        }
        case sbep::kFlashRead: {
            if (d.size() != 6)
                return refuse(kRefuseMalformed, log);
            const std::uint32_t address = be24(d, 1);
            const std::uint32_t count = (std::uint32_t{d[4]} << 8) | d[5];
            log.address = address;
            log.length = count;
            if (count > sbep::kMaxFlashChunk || std::size_t{address} + count > flash_.size()) {
                return refuse(kRefuseRange, log);
            }
            r.data.insert(r.data.end(), flash_.begin() + address, flash_.begin() + address + count);
            return r;
        }
        case sbep::kFlashWrite: {
            if (d.size() < 4)
                return refuse(kRefuseMalformed, log);
            const std::uint32_t address = be24(d, 1);
            const std::size_t count = d.size() - 4;
            log.address = address;
            log.length = static_cast<std::uint32_t>(count);
            if (!protection_ || !unlockValue(*protection_))
                return refuse(kRefuseLocked, log);
            if (count > sbep::kMaxFlashChunk || std::size_t{address} + count > flash_.size())
                return refuse(kRefuseRange, log);
            // NOR programming can only clear bits.
            for (std::size_t i = 0; i < count; ++i)
                flash_[address + i] &= d[4 + i];
            if (const auto bad = config_.storage.flashBit; bad && *bad - address < count)
                flash_[*bad] ^= config_.storage.flashBitMask;
            markDefTouched(address, count);
            // The firmware's first two bytes are written last; once they are in,
            // the version the image carries at bytes 2..5 is the running one.
            if (address == 0 && count > 0)
                adoptVersion(2, config_.firmwareVersion);
            r.work = t.programPerByte * static_cast<std::int64_t>(count);
            return r;
        }
        default:
            return refuse(kRefuseMalformed, log);
    }
}

std::uint8_t SimRadio::memByte(std::uint32_t address) const {
    auto it = memoryPages_.find(address / kPageSize);
    return it == memoryPages_.end() ? 0x00 : it->second[address % kPageSize];
}

void SimRadio::setMemByte(std::uint32_t address, std::uint8_t value) {
    auto& page = memoryPages_[address / kPageSize];
    if (page.empty())
        page.assign(kPageSize, 0x00);
    page[address % kPageSize] = value;
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
    config_.faults = std::move(plan);
    byteFaultDone_.assign(config_.faults.size(), false);
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
