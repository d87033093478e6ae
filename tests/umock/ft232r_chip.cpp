#include "ft232r_chip.h"

#include <algorithm>
#include <cmath>

namespace vkt::umock {
namespace {

constexpr std::size_t kPacketData = Ft232rChip::kPacketSize - 2;
constexpr double kBaseClock = 3000000.0;

// Request codes of the chip's vendor requests.
enum : std::uint8_t {
    kReset = 0,
    kModemCtrl = 1,
    kSetFlowCtrl = 2,
    kSetBaudRate = 3,
    kSetData = 4,
    kPollModemStatus = 5,
    kSetEventChar = 6,
    kSetErrorChar = 7,
    kSetLatencyTimer = 9,
    kGetLatencyTimer = 10,
    kSetBitMode = 11,
    kReadPins = 12,
};

// First modem-status byte: the low nibble reads 1 on this chip family; CTS
// and DSR are asserted by a cable whose far end is idle.
constexpr std::uint8_t kModemStatus = 0x01 | 0x10 | 0x20;
// Second byte: transmitter holding register empty, transmitter empty.
constexpr std::uint8_t kThre = 0x20;
constexpr std::uint8_t kTemt = 0x40;

void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

}  // namespace

double ft232rRate(std::uint16_t value, std::uint16_t index) {
    // Fraction code -> eighths: 0, 1/2, 1/4, 1/8, 3/8, 5/8, 3/4, 7/8.
    static constexpr int kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const int integer = value & 0x3FFF;
    const int code = (value >> 14) | ((index & 1) << 2);
    if (code == 0 && integer == 0)
        return 3000000.0;
    if (code == 0 && integer == 1)
        return 2000000.0;
    return kBaseClock * 8.0 / (integer * 8 + kEighths[code]);
}

Ft232rChip::Ft232rChip(Ft232rStrings strings, std::shared_ptr<sim::SimRadio> radio)
    : strings_(std::move(strings)), radio_(std::move(radio)), lastPacket_(Clock::now()) {
    if (radio_)
        line_.emplace(*radio_);
}

std::vector<std::uint8_t> Ft232rChip::descriptors() const {
    std::vector<std::uint8_t> d = {18, 1};
    put16(d, 0x0200);                        // USB 2.0
    d.insert(d.end(), {0, 0, 0, 8});         // class per interface, 8-byte EP0
    put16(d, 0x0403);                        // vendor
    put16(d, 0x6001);                        // product
    put16(d, 0x0600);                        // bcdDevice: FT232R
    d.insert(d.end(), {1, 2, 3, 1});         // strings 1..3, one configuration
    d.insert(d.end(), {9, 2});               // configuration
    put16(d, 9 + 9 + 7 + 7);                 // total length
    d.insert(d.end(), {1, 1, 0, 0xA0, 45});  // one interface, bus powered, remote wake-up, 90 mA
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2});  // vendor-specific interface
    d.insert(d.end(), {7, 5, kInEndpoint, 2});
    put16(d, kPacketSize);
    d.push_back(0);
    d.insert(d.end(), {7, 5, kOutEndpoint, 2});
    put16(d, kPacketSize);
    d.push_back(0);
    return d;
}

bool Ft232rChip::control(const UsbSetup& setup, std::span<const std::uint8_t> out,
                         std::vector<std::uint8_t>& in) {
    (void)out;  // no request of this chip carries an OUT data stage
    std::lock_guard lock(mutex_);
    in.clear();
    bool ok = false;
    switch (setup.requestType & 0x60) {
        case 0x00:
            ok = standard(setup, in);
            break;
        case 0x40:
            ok = vendor(setup, in);
            break;
        default:
            ok = false;
    }
    if (in.size() > setup.length)
        in.resize(setup.length);
    return ok;
}

bool Ft232rChip::standard(const UsbSetup& setup, std::vector<std::uint8_t>& in) const {
    const bool toHost = (setup.requestType & 0x80) != 0;
    switch (setup.request) {
        case 0:  // GET_STATUS
            in = {0, 0};
            return toHost;
        case 1:   // CLEAR_FEATURE
        case 9:   // SET_CONFIGURATION
        case 11:  // SET_INTERFACE
            return !toHost;
        case 6: {  // GET_DESCRIPTOR
            const std::uint8_t type = setup.value >> 8;
            const std::uint8_t number = setup.value & 0xFF;
            const auto all = descriptors();
            if (type == 1 && number == 0) {
                in.assign(all.begin(), all.begin() + 18);
            } else if (type == 2 && number == 0) {
                in.assign(all.begin() + 18, all.end());
            } else if (type == 3) {
                in = stringDescriptor(number);
            }
            return toHost && !in.empty();
        }
        case 8:  // GET_CONFIGURATION
            in = {1};
            return toHost;
        default:
            return false;
    }
}

std::vector<std::uint8_t> Ft232rChip::stringDescriptor(std::uint8_t index) const {
    if (index == 0)
        return {4, 3, 0x09, 0x04};  // US English only
    const std::string* text = index == 1   ? &strings_.manufacturer
                              : index == 2 ? &strings_.product
                              : index == 3 ? &strings_.serial
                                           : nullptr;
    if (!text)
        return {};
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text->size()), 3};
    for (char c : *text)
        put16(d, static_cast<std::uint8_t>(c));
    return d;
}

bool Ft232rChip::vendor(const UsbSetup& setup, std::vector<std::uint8_t>& in) {
    const bool toHost = (setup.requestType & 0x80) != 0;
    const auto now = Clock::now();
    switch (setup.request) {
        case kReset:
            if (toHost || setup.value > 2)
                return false;
            // 1: bytes on their way to the line; 2: bytes waiting for the host.
            if (setup.value != 0)
                purges_.push_back(setup.value);
            if (line_ && setup.value != 1)
                line_->dropDue(now);
            if (setup.value != 1)
                inData_.clear();
            return true;
        case kModemCtrl:
        case kSetEventChar:
        case kSetErrorChar:
        case kSetBitMode:
            return !toHost;
        case kSetFlowCtrl:
            flow_ = setup.index >> 8;
            return !toHost;
        case kSetBaudRate: {
            if (toHost)
                return false;
            RateChange change;
            change.at = now;
            change.value = setup.value;
            change.index = setup.index;
            change.rate = ft232rRate(setup.value, setup.index);
            change.transmitterBusy = line_ && now < line_->transmitterFreeAt();
            rateChanges_.push_back(change);
            // What has arrived was received at the old rate.
            if (line_)
                line_->settle(now, static_cast<std::uint32_t>(std::lround(rate_)));
            rate_ = change.rate;
            return true;
        }
        case kSetData:
            data_ = setup.value;
            return !toHost;
        case kPollModemStatus:
            in = {kModemStatus, lineStatus(now)};
            return toHost;
        case kSetLatencyTimer:
            if (toHost || (setup.value & 0xFF) == 0)
                return false;
            latency_ = setup.value & 0xFF;
            return true;
        case kGetLatencyTimer:
            in = {latency_};
            return toHost;
        case kReadPins:
            in = {0xFF};
            return toHost;
        default:
            return false;
    }
}

std::uint8_t Ft232rChip::lineStatus(Clock::time_point now) const {
    if (line_ && now < line_->transmitterFreeAt())
        return 0;
    return kThre | kTemt;
}

void Ft232rChip::bulkOut(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (line_)
        line_->send(bytes, static_cast<std::uint32_t>(std::lround(rate_)), Clock::now());
}

void Ft232rChip::appendPacket(std::vector<std::uint8_t>& data, std::size_t count,
                              Clock::time_point now) {
    data.push_back(kModemStatus);
    data.push_back(lineStatus(now));
    if (line_)
        line_->take(now, static_cast<std::uint32_t>(std::lround(rate_)), data, count);
    lastPacket_ = now;
}

bool Ft232rChip::pollIn(std::uint64_t transfer, std::size_t length, Clock::time_point now,
                        std::vector<std::uint8_t>& data) {
    std::lock_guard lock(mutex_);
    if (transfer != inTransfer_) {
        inTransfer_ = transfer;
        inData_.clear();
    }
    const std::size_t packets = std::max<std::size_t>(length / kPacketSize, 1);
    const auto due = [&] { return line_ ? line_->dueBy(now) : 0; };
    bool complete = false;
    while (!complete && due() >= kPacketData) {
        appendPacket(inData_, kPacketData, now);
        complete = inData_.size() >= packets * kPacketSize;
    }
    if (!complete && now >= lastPacket_ + std::chrono::milliseconds(latency_)) {
        appendPacket(inData_, due(), now);
        complete = true;
    }
    if (!complete)
        return false;
    data = std::move(inData_);
    inData_.clear();
    inTransfer_ = 0;
    return true;
}

std::vector<std::uint8_t> Ft232rChip::cancelIn(std::uint64_t transfer) {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> data;
    if (transfer == inTransfer_) {
        data = std::move(inData_);
        inData_.clear();
        inTransfer_ = 0;
    }
    return data;
}

Clock::time_point Ft232rChip::nextInEvent() const {
    std::lock_guard lock(mutex_);
    auto next = lastPacket_ + std::chrono::milliseconds(latency_);
    if (line_ && line_->size() >= kPacketData)
        next = std::min(next, line_->dueOf(kPacketData - 1));
    return next;
}

double Ft232rChip::lineRate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

std::vector<RateChange> Ft232rChip::rateChanges() const {
    std::lock_guard lock(mutex_);
    return rateChanges_;
}

std::uint8_t Ft232rChip::latencyMs() const {
    std::lock_guard lock(mutex_);
    return latency_;
}

std::uint16_t Ft232rChip::dataCharacteristics() const {
    std::lock_guard lock(mutex_);
    return data_;
}

std::uint16_t Ft232rChip::flowControl() const {
    std::lock_guard lock(mutex_);
    return flow_;
}

std::vector<int> Ft232rChip::purges() const {
    std::lock_guard lock(mutex_);
    return purges_;
}

}  // namespace vkt::umock
