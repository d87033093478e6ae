// The simulated radio's state file. Layout (numbers big-endian):
//   "VKTSIM" magic, 1 format-version byte (1)
//   u32 body length, body, u32 CRC-32 of the body
// Body:
//   u8 radio type, 10 bytes serial, 11 bytes model record,
//   4 bytes firmware version, 4 bytes codeplug version,
//   u16 status word, u8 status flags, u8 echo,
//   u8 protection set, u16 protection value, i16 test mode,
//   u8 length + factory serial, u8 length + factory model record,
//   u8 default block touched since the last commit,
//   u32 flash size, u32 n, n x (u32 sector number, 4096 bytes) for every
//   flash sector that is not fully erased,
//   u32 m, m x (u32 page number, 4096 bytes) for every memory page written.
#include <algorithm>

#include "sim/sim_radio.h"

namespace vkt::sim {

namespace {

constexpr char kMagic[] = "VKTSIM";
constexpr std::size_t kMagicSize = 6;
constexpr std::uint8_t kFormatVersion = 1;
constexpr std::uint32_t kBlock = 0x1000;
constexpr std::size_t kMaxStateFlash = 0x1000000;

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

class Writer {
  public:
    std::vector<std::uint8_t> out;
    void u8(std::uint8_t v) { out.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v >> 8));
        u8(static_cast<std::uint8_t>(v));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v >> 16));
        u16(static_cast<std::uint16_t>(v));
    }
    void bytes(std::span<const std::uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); }
    void counted(std::span<const std::uint8_t> b) {
        u8(static_cast<std::uint8_t>(std::min<std::size_t>(b.size(), 255)));
        bytes(b.first(std::min<std::size_t>(b.size(), 255)));
    }
};

// Every read checks the remaining length; a short input sets `ok` false.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
    bool ok = true;
    std::size_t left() const { return in_.size() - pos_; }
    std::span<const std::uint8_t> bytes(std::size_t n) {
        if (!ok || n > left()) {
            ok = false;
            return {};
        }
        auto s = in_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    std::uint8_t u8() {
        auto s = bytes(1);
        return ok ? s[0] : 0;
    }
    std::uint16_t u16() {
        const std::uint16_t hi = u8();
        return static_cast<std::uint16_t>((hi << 8) | u8());
    }
    std::uint32_t u32() {
        const std::uint32_t hi = u16();
        return (hi << 16) | u16();
    }
    std::vector<std::uint8_t> counted() {
        auto s = bytes(u8());
        return {s.begin(), s.end()};
    }

  private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
};

}  // namespace

std::vector<std::uint8_t> SimRadio::saveState() const {
    std::lock_guard l(mutex_);
    Writer w;
    w.u8(static_cast<std::uint8_t>(config_.radioType));
    std::string serial = config_.serialNumber;
    serial.resize(10, ' ');
    w.bytes({reinterpret_cast<const std::uint8_t*>(serial.data()), 10});
    w.bytes(config_.modelRecord);
    w.bytes(config_.firmwareVersion);
    w.bytes(config_.codeplugVersion);
    w.u16(config_.statusWord);
    w.u8(config_.statusFlags);
    w.u8(config_.echo ? 1 : 0);
    w.u8(protection_ ? 1 : 0);
    w.u16(protection_.value_or(0));
    w.u16(static_cast<std::uint16_t>(static_cast<std::int16_t>(testMode_)));
    w.counted(
        {reinterpret_cast<const std::uint8_t*>(factorySerial_.data()), factorySerial_.size()});
    w.counted(factoryModel_);
    w.u8(defTouched_ ? 1 : 0);

    w.u32(static_cast<std::uint32_t>(flash_.size()));
    std::vector<std::uint32_t> sectors;
    for (std::size_t at = 0; at < flash_.size(); at += kBlock) {
        const auto end =
            flash_.begin() + static_cast<std::ptrdiff_t>(std::min(flash_.size(), at + kBlock));
        if (std::any_of(flash_.begin() + static_cast<std::ptrdiff_t>(at), end,
                        [](std::uint8_t b) { return b != 0xFF; }))
            sectors.push_back(static_cast<std::uint32_t>(at / kBlock));
    }
    w.u32(static_cast<std::uint32_t>(sectors.size()));
    for (std::uint32_t s : sectors) {
        w.u32(s);
        std::vector<std::uint8_t> block(kBlock, 0xFF);
        const std::size_t at = std::size_t{s} * kBlock;
        std::copy_n(flash_.begin() + static_cast<std::ptrdiff_t>(at),
                    std::min<std::size_t>(kBlock, flash_.size() - at), block.begin());
        w.bytes(block);
    }
    w.u32(static_cast<std::uint32_t>(memoryPages_.size()));
    for (const auto& [page, bytes] : memoryPages_) {
        w.u32(page);
        std::vector<std::uint8_t> block(kBlock, 0x00);
        std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), kBlock), block.begin());
        w.bytes(block);
    }

    Writer file;
    file.bytes({reinterpret_cast<const std::uint8_t*>(kMagic), kMagicSize});
    file.u8(kFormatVersion);
    file.u32(static_cast<std::uint32_t>(w.out.size()));
    file.bytes(w.out);
    file.u32(crc32(w.out));
    return file.out;
}

bool SimRadio::loadState(std::span<const std::uint8_t> bytes, std::string& error) {
    Reader file(bytes);
    const auto magic = file.bytes(kMagicSize);
    if (!file.ok || !std::equal(magic.begin(), magic.end(), kMagic)) {
        error = "not a simulated radio state file";
        return false;
    }
    if (const std::uint8_t version = file.u8(); version != kFormatVersion) {
        error = "unsupported state file version " + std::to_string(version);
        return false;
    }
    const std::uint32_t length = file.u32();
    const auto body = file.bytes(length);
    const std::uint32_t checksum = file.u32();
    if (!file.ok || file.left() != 0) {
        error = "the state file is truncated or has trailing bytes";
        return false;
    }
    if (crc32(body) != checksum) {
        error = "the state file's checksum does not match";
        return false;
    }

    Reader r(body);
    RadioConfig config;
    config.radioType = r.u8();
    const auto serial = r.bytes(10);
    config.serialNumber.assign(serial.begin(), serial.end());
    const auto model = r.bytes(11);
    config.modelRecord.assign(model.begin(), model.end());
    const auto firmware = r.bytes(4);
    config.firmwareVersion.assign(firmware.begin(), firmware.end());
    const auto codeplug = r.bytes(4);
    config.codeplugVersion.assign(codeplug.begin(), codeplug.end());
    config.statusWord = r.u16();
    config.statusFlags = r.u8();
    config.echo = r.u8() != 0;
    const bool hasProtection = r.u8() != 0;
    const std::uint16_t protection = r.u16();
    const int testMode = static_cast<std::int16_t>(r.u16());
    const auto factorySerial = r.counted();
    const auto factoryModel = r.counted();
    const bool defTouched = r.u8() != 0;
    const std::uint32_t flashSize = r.u32();
    if (!r.ok || config.radioType > 2 || flashSize < kBlock || flashSize > kMaxStateFlash) {
        error = "the state file holds an impossible radio";
        return false;
    }
    std::vector<std::uint8_t> flash(flashSize, 0xFF);
    const std::uint32_t sectors = r.u32();
    for (std::uint32_t i = 0; r.ok && i < sectors; ++i) {
        const std::size_t at = std::size_t{r.u32()} * kBlock;
        const auto block = r.bytes(kBlock);
        if (!r.ok || at >= flash.size()) {
            r.ok = false;
            break;
        }
        std::copy_n(block.begin(), std::min<std::size_t>(kBlock, flash.size() - at),
                    flash.begin() + static_cast<std::ptrdiff_t>(at));
    }
    std::map<std::uint32_t, std::vector<std::uint8_t>> pages;
    const std::uint32_t pageCount = r.ok ? r.u32() : 0;
    for (std::uint32_t i = 0; r.ok && i < pageCount; ++i) {
        const std::uint32_t page = r.u32();
        const auto block = r.bytes(kBlock);
        if (!r.ok || page >= 0x1000000 / kBlock) {
            r.ok = false;
            break;
        }
        pages[page].assign(block.begin(), block.end());
    }
    if (!r.ok || r.left() != 0) {
        error = "the state file's contents are inconsistent";
        return false;
    }

    std::lock_guard l(mutex_);
    config.flashSize = flashSize;
    config.timing = config_.timing;
    config_ = std::move(config);
    rate_ = kSlowLineRate;
    protection_.reset();
    if (hasProtection)
        protection_ = protection;
    testMode_ = testMode;
    factorySerial_.assign(factorySerial.begin(), factorySerial.end());
    factoryModel_ = factoryModel;
    defTouched_ = defTouched;
    flash_ = std::move(flash);
    memoryPages_ = std::move(pages);
    decoder_.reset();
    return true;
}

}  // namespace vkt::sim
