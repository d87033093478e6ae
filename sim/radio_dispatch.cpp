// The simulated radio's protocol: a table from request opcode to handler,
// the handlers, and what they do to flash and memory.
#include "sim/sim_radio.h"

#include <algorithm>
#include <cctype>

namespace vkt::sim {

namespace {

std::uint32_t be24(const std::vector<std::uint8_t>& d, std::size_t at) {
    return (std::uint32_t{d[at]} << 16) | (std::uint32_t{d[at + 1]} << 8) | d[at + 2];
}

void putAddress(std::vector<std::uint8_t>& out, std::uint32_t address) {
    out.push_back(static_cast<std::uint8_t>(address >> 24));
    out.push_back(static_cast<std::uint8_t>(address >> 16));
    out.push_back(static_cast<std::uint8_t>(address >> 8));
    out.push_back(static_cast<std::uint8_t>(address));
}

}  // namespace

Reply SimRadio::answer(const sbep::FrameDecoder& frame, RequestLogEntry& log) {
    struct Handler {
        std::uint8_t opcode;
        bool logsSubFunction;  // the first data byte says what the request is for
        Reply (SimRadio::*handle)(const Data&, RequestLogEntry&);
    };
    static constexpr Handler kHandlers[] = {
        {sbep::kOpStatus, true, &SimRadio::status},
        {sbep::kOpMemRead, false, &SimRadio::memoryRead},
        {sbep::kOpMemWrite, false, &SimRadio::memoryWrite},
        {sbep::kOpUpdateSerial, false, &SimRadio::updateSerial},
        {sbep::kOpTestMode, true, &SimRadio::enterTestMode},
        {sbep::kOpRadioInfo, true, &SimRadio::radioInfo},
        {sbep::kOpSoftport, true, &SimRadio::softport},
        {sbep::kOpFlash, true, &SimRadio::flashRequest},
    };
    const Data& d = frame.data();
    for (const Handler& h : kHandlers) {
        if (h.opcode != frame.opcode())
            continue;
        if (h.logsSubFunction && !d.empty())
            log.subFunction = d[0];
        return (this->*h.handle)(d, log);
    }
    // The echo probe and anything the radio does not know go unanswered.
    Reply r;
    r.none = true;
    return r;
}

WireReply SimRadio::encode(const Reply& reply, std::uint64_t /*firstWireByte*/,
                           RequestLogEntry& log) {
    log.replyOpcode = reply.opcode;
    WireReply wire;
    wire.bytes.push_back(sbep::kAck);
    const auto frame = sbep::encodeFrame(reply.opcode, reply.data);
    wire.bytes.insert(wire.bytes.end(), frame.begin(), frame.end());
    wire.dropped.assign(wire.bytes.size(), false);
    return wire;
}

ByteFate SimRadio::wireByte(std::uint64_t /*number*/, bool /*fromRadio*/, std::uint8_t& /*value*/) {
    return ByteFate::Pass;
}

Reply SimRadio::status(const Data& d, RequestLogEntry& log) {
    if (d.size() != 1)
        return refusal(kRefuseMalformed, log);
    Reply r;
    r.opcode = sbep::kReplyStatus;
    if (d[0] == sbep::kStatusWord) {
        r.data = {static_cast<std::uint8_t>(config_.statusWord >> 8),
                  static_cast<std::uint8_t>(config_.statusWord & 0xFF)};
    } else {
        r.data = {0x00, config_.statusFlags};
    }
    return r;
}

Reply SimRadio::memoryRead(const Data& d, RequestLogEntry& log) {
    if (d.size() != 4)
        return refusal(kRefuseMalformed, log);
    const std::uint32_t count = d[0];
    const std::uint32_t address = be24(d, 1);
    log.address = address;
    log.length = count;
    if (address + count > kAddressLimit)
        return refusal(kRefuseRange, log);
    Reply r;
    r.opcode = sbep::kReplyMemData;
    putAddress(r.data, address);
    for (std::uint32_t i = 0; i < count; ++i)
        r.data.push_back(memByte(address + i));
    return r;
}

Reply SimRadio::memoryWrite(const Data& d, RequestLogEntry& log) {
    if (d.size() < 4)
        return refusal(kRefuseMalformed, log);
    const std::uint32_t address = be24(d, 1);
    const std::uint32_t count = static_cast<std::uint32_t>(d.size() - 4);
    log.address = address;
    log.length = count;
    if (testMode_ < 0)
        return refusal(kRefuseNotTestMode, log);
    if (address + count > kAddressLimit)
        return refusal(kRefuseRange, log);
    for (std::uint32_t i = 0; i < count; ++i)
        setMemByte(address + i, d[4 + i]);
    if (const auto bad = config_.storage.memoryByte; bad && *bad - address < count)
        setMemByte(*bad, static_cast<std::uint8_t>(~d[4 + (*bad - address)]));
    Reply r;
    r.opcode = sbep::kReplyMemWritten;
    putAddress(r.data, address);
    return r;
}

Reply SimRadio::enterTestMode(const Data& d, RequestLogEntry& log) {
    if (d.size() != 3)
        return refusal(kRefuseMalformed, log);
    testMode_ = d[0];
    Reply r;
    r.opcode = sbep::kReplyAccepted;
    r.data = {d[0], static_cast<std::uint8_t>(config_.radioType)};
    return r;
}

Reply SimRadio::updateSerial(const Data& d, RequestLogEntry& log) {
    if (d.size() != 2 + 10 || d[0] != sbep::kSerialTarget[0] || d[1] != sbep::kSerialTarget[1])
        return refusal(kRefuseMalformed, log);
    if (config_.statusFlags & sbep::kFlagSerialLocked)
        return refusal(kRefuseSerial, log);
    config_.serialNumber.assign(d.begin() + 2, d.end());
    Reply r;
    r.opcode = sbep::kReplyAccepted;
    return r;
}

Reply SimRadio::radioInfo(const Data& d, RequestLogEntry& /*log*/) {
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

Reply SimRadio::softport(const Data& d, RequestLogEntry& log) {
    if (d.size() < 4)
        return refusal(kRefuseMalformed, log);
    const std::uint8_t function = d[0];
    Reply r;
    r.opcode = sbep::kReplyAccepted;
    r.data = {function};
    log.length = static_cast<std::uint32_t>(d.size() - 4);
    switch (function) {
        case sbep::kSoftportLineRate: {
            if (d.size() < 8)
                return refusal(kRefuseMalformed, log);
            const std::uint32_t rate = (std::uint32_t{d[4]} << 24) | (std::uint32_t{d[5]} << 16) |
                                       (std::uint32_t{d[6]} << 8) | d[7];
            if (rate == 0)
                return refusal(kRefuseMalformed, log);
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

Reply SimRadio::flashRequest(const Data& d, RequestLogEntry& log) {
    if (d.empty())
        return refusal(kRefuseMalformed, log);
    const std::uint8_t sub = d[0];
    Reply r;
    r.opcode = sbep::kReplyFlashDone;
    r.data = {sub, 0x00};
    const auto& t = config_.timing;
    switch (sub) {
        case sbep::kFlashProtection: {
            if (d.size() != 4)
                return refusal(kRefuseMalformed, log);
            const std::uint16_t value = static_cast<std::uint16_t>((d[2] << 8) | d[3]);
            log.address = value;
            protection_ = value;
            return r;
        }
        case sbep::kFlashErase4K:
        case sbep::kFlashErase64K: {
            if (d.size() != 4)
                return refusal(kRefuseMalformed, log);
            const std::uint32_t address = be24(d, 1);
            log.address = address;
            if (!protection_ || !unlockValue(*protection_))
                return refusal(kRefuseLocked, log);
            if (address >= flash_.size())
                return refusal(kRefuseRange, log);
            const bool sector = sub == sbep::kFlashErase4K;
            eraseSectors(address / kSectorSize, sector ? 1 : 16);
            r.work = sector ? t.erase4k : t.erase64k;
            return r;
        }
        case sbep::kFlashRead: {
            if (d.size() != 6)
                return refusal(kRefuseMalformed, log);
            const std::uint32_t address = be24(d, 1);
            const std::uint32_t count = (std::uint32_t{d[4]} << 8) | d[5];
            log.address = address;
            log.length = count;
            if (count > sbep::kMaxFlashChunk || std::size_t{address} + count > flash_.size()) {
                return refusal(kRefuseRange, log);
            }
            r.data.insert(r.data.end(), flash_.begin() + address, flash_.begin() + address + count);
            return r;
        }
        case sbep::kFlashWrite: {
            if (d.size() < 4)
                return refusal(kRefuseMalformed, log);
            const std::uint32_t address = be24(d, 1);
            const std::size_t count = d.size() - 4;
            log.address = address;
            log.length = static_cast<std::uint32_t>(count);
            if (!protection_ || !unlockValue(*protection_))
                return refusal(kRefuseLocked, log);
            if (count > sbep::kMaxFlashChunk || std::size_t{address} + count > flash_.size())
                return refusal(kRefuseRange, log);
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
            return refusal(kRefuseMalformed, log);
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

}  // namespace vkt::sim
